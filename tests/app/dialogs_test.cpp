#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QTest>
#include <set>
#include <string>

#include "app/login_dialog.h"
#include "app/raw_file_dialog.h"
#include "tests/support/temp_dir.h"

namespace tallon::app::test {
namespace {

// Names the dialog's file list offers in its current folder.
std::set<std::string> OfferedNames(QFileDialog& dialog, size_t expected) {
    auto* view = dialog.findChild<QListView*>("listView");
    EXPECT_NE(view, nullptr);
    if (view == nullptr) {
        return {};
    }
    const auto collect = [view] {
        std::set<std::string> names;
        const QModelIndex root = view->rootIndex();
        QAbstractItemModel* model = view->model();
        for (int row = 0; row < model->rowCount(root); ++row) {
            const QModelIndex index = model->index(row, 0, root);
            if (model->flags(index) & Qt::ItemIsEnabled) {
                names.insert(model->data(index).toString().toStdString());
            }
        }
        return names;
    };
    // The model reads the folder on a thread of its own; give stragglers a
    // moment after the expected count is reached.
    EXPECT_TRUE(QTest::qWaitFor([&] { return collect().size() >= expected; }, 5000));
    QTest::qWait(200);
    return collect();
}

TEST(RawFileDialogTest, OffersRawFilesInAnyLetterCase) {
    tallon::test::TempDir dir;
    for (const char* name : {"ALL.RAW", "a.raw", "b.Raw", "c.txt", "d.rawx", "e.raw.bak"}) {
        tallon::test::WriteWholeFile(dir / name, "x");
    }
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(dir / "sub")));

    QFileDialog dialog;
    ConfigureRawFileDialog(dialog);
    EXPECT_EQ(dialog.nameFilters(), QStringList{"Raw files (*.raw)"});
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
    // Desktop dialogs match the pattern by case; Qt's own dialog is used.
    EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
    dialog.setDirectory(QString::fromStdString(dir.path()));

    // Folders stay reachable; other files are not offered.
    const std::set<std::string> offered = OfferedNames(dialog, 4);
    EXPECT_EQ(offered, (std::set<std::string>{"ALL.RAW", "a.raw", "b.Raw", "sub"}));
}

TEST(LoginDialogTest, ReturnsWhatTheOperatorTyped) {
    LoginDialog dialog("Brindle", "sysadm");
    EXPECT_EQ(dialog.windowTitle(), "Database Login");
    EXPECT_EQ(dialog.userNameEdit()->text(), "sysadm");
    EXPECT_EQ(dialog.passwordEdit()->echoMode(), QLineEdit::Password);
    dialog.userNameEdit()->setText("operator");
    QTest::keyClicks(dialog.passwordEdit(), "s3cret pass");
    EXPECT_EQ(dialog.UserName(), "operator");
    EXPECT_EQ(dialog.Password(), "s3cret pass");
}

}  // namespace
}  // namespace tallon::app::test
