#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "base/errors.h"
#include "log/activity_log.h"
#include "tests/app/window_fixture.h"
#include "tests/support/program_dir.h"

namespace tallon::app::test {
namespace {

class HandlersTest : public WindowTest {
  protected:
    std::unique_ptr<TForm1> OpenForm(const std::vector<std::string>& args = {}) {
        auto form = MakeForm(args);
        form->show();
        auto* pw = form->findChild<QLineEdit*>("PW_Edit");
        pw->setText(QString::fromStdString(TForm1::ExpectedPassword()));
        QTest::keyClick(pw, Qt::Key_Return);
        EXPECT_FALSE(form->GateShown());
        return form;
    }
};

TEST_F(HandlersTest, DoubleClicksShowTheVersionInTheCaption) {
    auto form = MakeForm({"/CV"});
    form->show();
    ASSERT_EQ(form->windowTitle(), "Tallon Utility (Corvane)");
    // The gate takes the clicks while it is up.
    QTest::mouseDClick(form->findChild<QWidget*>("Panel2"), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(form->windowTitle(), "Tallon Utility (Corvane)");

    form = OpenForm({"/CV"});
    // A label without a handler keeps its clicks to itself.
    QTest::mouseDClick(form->findChild<QLabel*>("Label3"), Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(form->windowTitle(), "Tallon Utility (Corvane)");
    // The bare background, right of STOP.
    QTest::mouseDClick(form.get(), Qt::LeftButton, {}, QPoint(320, 315));
    EXPECT_EQ(form->windowTitle(), "1.0.0.9");

    form = OpenForm();
    QTest::mouseDClick(form->findChild<QLabel*>("Label5"), Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(form->windowTitle(), "1.0.0.9");
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(HandlersTest, BrowsingSetsTheFileAndMovesTheWorkingDirectory) {
    auto form = OpenForm();
    const QString folder = QString::fromStdString(dir / "raw files");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    const QString before = QDir::currentPath();

    form->SetFileChooser([](QWidget*) { return std::optional<QString>(); });
    form->findChild<QPushButton*>("Button7")->click();
    EXPECT_EQ(form->RawFileName(), dir.path());
    EXPECT_EQ(QDir::currentPath(), before);

    form->SetFileChooser([&](QWidget*) { return std::optional<QString>(folder + "/ALL.RAW"); });
    form->findChild<QPushButton*>("Button7")->click();
    EXPECT_EQ(form->RawFileName(), (folder + "/ALL.RAW").toStdString());
    EXPECT_EQ(QFileInfo(QDir::currentPath()).canonicalFilePath(), canonicalFolder);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(HandlersTest, StopSetsTheFlagAndCloseClosesWhenIdle) {
    auto form = OpenForm();
    EXPECT_FALSE(form->core().StopRequested());
    form->findChild<QPushButton*>("Button5")->click();
    EXPECT_TRUE(form->core().StopRequested());
    ASSERT_TRUE(form->isVisible());
    form->findChild<QPushButton*>("Button6")->click();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(HandlersTest, AnErrorFromReindexIsShownAndTheWindowCarriesOn) {
    auto form = OpenForm();
    form->findChild<QPushButton*>("Button2")->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageKind::Error);
    EXPECT_EQ(messages.shown[0].title, "Tallon");
    const std::string text = messages.shown[0].text.toStdString();
    ASSERT_FALSE(text.empty());
    EXPECT_LE(static_cast<unsigned char>(text.back()), '.') << text;
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->TableName(), "TRAN1");
}

TEST_F(HandlersTest, ClosingDuringARunWaitsForTheRunToReturn) {
    tallon::test::MakeProgramDirectory(dir.path());
    std::string raw;
    for (int i = 0; i < 5; ++i) {
        raw += "0070606140" + std::to_string(i) + "1234561\r\n";
    }
    tallon::test::WriteWholeFile(dir / "a.raw", raw);
    auto form = OpenForm();
    form->SetRawFileName(dir / "a.raw");

    bool sawRun = false;
    bool visibleAfterClose = false;
    // Delivered by the run's own event processing, after its first line.
    QTimer::singleShot(0, form.get(), [&] {
        sawRun = form->core().Running();
        form->findChild<QPushButton*>("Button6")->click();
        visibleAfterClose = form->isVisible();
        // A second press while the run goes on is ignored, and does not
        // carry out the pending close from inside the run.
        form->findChild<QPushButton*>("Button1")->click();
        visibleAfterClose = visibleAfterClose && form->isVisible();
    });
    form->findChild<QPushButton*>("Button1")->click();

    EXPECT_TRUE(sawRun);
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_EQ(form->findChild<QLineEdit*>("Edit3")->text(), "5");
    EXPECT_FALSE(form->core().Running());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(HandlersTest, DuringARunTheWindowIsBusyAndRecoverAndReindexAreOff) {
    tallon::test::MakeProgramDirectory(dir.path());
    tallon::test::WriteWholeFile(dir / "a.raw", "0070606140012345 61\r\n");
    auto form = OpenForm();
    auto* recover = form->findChild<QPushButton*>("Button1");
    auto* reindex = form->findChild<QPushButton*>("Button2");
    auto* rawBox = form->findChild<QLineEdit*>("FNEdit");
    auto* memo = form->findChild<QPlainTextEdit*>("Memo1");
    const auto busy = [&] {
        const QCursor* cursor = QGuiApplication::overrideCursor();
        return std::tuple{recover->isEnabled(), reindex->isEnabled(),
                          cursor != nullptr && cursor->shape() == Qt::WaitCursor};
    };

    // A completed run, and one that stops on its error (a directory to
    // read): both give the buttons back.
    for (const std::string& raw : {dir / "a.raw", dir.path()}) {
        SCOPED_TRACE(raw);
        form->SetRawFileName(raw);
        EXPECT_EQ(rawBox->toolTip().toStdString(), raw);
        std::optional<std::tuple<bool, bool, bool>> during;
        QTimer::singleShot(0, form.get(), [&] { during = busy(); });
        recover->click();
        if (raw != dir.path()) {
            EXPECT_EQ(during, (std::tuple{false, false, true}));
        }
        EXPECT_EQ(busy(), (std::tuple{true, true, false}));
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(memo->toolTip().contains(QString::fromStdString(ActivityLogPath())))
        << memo->toolTip().toStdString();
    EXPECT_FALSE(form->findChild<QLineEdit*>("Edit3")->toolTip().isEmpty());

    // The memo keeps the last lines only.
    for (int i = 0; i < 10005; ++i) {
        form->AddMemoLine("line " + std::to_string(i));
    }
    EXPECT_EQ(memo->document()->blockCount(), 10000);
    EXPECT_EQ(memo->document()->lastBlock().text(), "line 10004");
}

}  // namespace
}  // namespace tallon::app::test
