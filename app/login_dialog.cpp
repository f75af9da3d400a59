#include "app/login_dialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/error_box.h"
#include "db/engine.h"

namespace tallon::app {

LoginDialog::LoginDialog(const std::string& alias, const std::string& userName, QWidget* parent)
    : QDialog(parent) {
    setObjectName("LoginDialog");
    setWindowTitle("Database Login");

    auto* database = new QLabel(this);
    database->setObjectName("DatabaseLabel");
    database->setText("Database: " + ToQString(alias));

    userName_ = new QLineEdit(this);
    userName_->setObjectName("UserNameEdit");
    userName_->setText(ToQString(userName));
    password_ = new QLineEdit(this);
    password_->setObjectName("PasswordEdit");
    password_->setEchoMode(QLineEdit::Password);

    auto* form = new QFormLayout;
    form->addRow("User Name:", userName_);
    form->addRow("Password:", password_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(database);
    layout->addLayout(form);
    layout->addWidget(buttons);

    // With the user name already known, the operator only owes the password.
    if (userName.empty()) {
        userName_->setFocus();
    } else {
        password_->setFocus();
    }
}

std::string LoginDialog::UserName() const {
    return FromQString(userName_->text());
}

std::string LoginDialog::Password() const {
    return FromQString(password_->text());
}

bool AskDatabaseLogin(const std::string& alias, std::string& userName, std::string& password) {
    LoginDialog dialog(alias, userName, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    userName = dialog.UserName();
    password = dialog.Password();
    return true;
}

void InstallLoginPrompt(db::Engine& engine) {
    engine.SetLoginPrompt(&AskDatabaseLogin);
}

}  // namespace tallon::app
