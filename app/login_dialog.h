#pragma once

#include <QDialog>
#include <string>

class QLineEdit;
class QLabel;

namespace tallon::db {
class Engine;
}

namespace tallon::app {

// The box the database engine raises when an external alias wants a
// password it does not hold: user name (suggested by the alias) and
// password, OK or Cancel.
class LoginDialog : public QDialog {
    Q_OBJECT

  public:
    LoginDialog(const std::string& alias, const std::string& userName, QWidget* parent = nullptr);

    std::string UserName() const;
    std::string Password() const;

    QLineEdit* userNameEdit() const { return userName_; }
    QLineEdit* passwordEdit() const { return password_; }

  private:
    QLineEdit* userName_;
    QLineEdit* password_;
};

// Runs the box modally; fills the answers and returns true on OK.
bool AskDatabaseLogin(const std::string& alias, std::string& userName, std::string& password);

// Makes the box the engine's login prompt.
void InstallLoginPrompt(db::Engine& engine);

}  // namespace tallon::app
