#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "base/clock.h"
#include "base/date_time.h"
#include "base/file_names.h"
#include "tests/app/window_fixture.h"
#include "tests/support/program_dir.h"

namespace tallon::app::test {
namespace {

using tallon::test::LogLines;
using tallon::test::ReadTable;

// The operator's way through a recovery: log in, browse to a RAW file in a
// folder of its own, press "Recover from RAW", read the memo and the counter.
TEST_F(WindowTest, AnOperatorRecoversARawFileIntoTheDaysTable) {
    ManualClock clock(DateTime{EncodeDate(2026, 6, 10).value + EncodeTime(9, 0, 0, 0).value});
    ScopedClock useClock(clock);
    tallon::test::MakeProgramDirectory(dir.path());
    const std::string rawFolder = dir / "raw/";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(rawFolder)));
    tallon::test::WriteWholeFile(rawFolder + "DAY.RAW",
                                 "007060614051234561 READER-00001\r\n"
                                 "012060614106543211\r\n"
                                 "007060614059999991\r\n");

    auto form = MakeForm();
    form->show();
    auto* pw = Find<QLineEdit>(*form, "PW_Edit");
    QTest::keyClicks(pw, QString::fromStdString(TForm1::ExpectedPassword()).toLower());
    QTest::keyClick(pw, Qt::Key_Return);
    ASSERT_FALSE(form->GateShown());

    form->SetFileChooser([&](QWidget*) {
        return std::optional<QString>(QString::fromStdString(rawFolder + "DAY.RAW"));
    });
    Find<QPushButton>(*form, "Button7")->click();
    EXPECT_EQ(Find<QLineEdit>(*form, "FNEdit")->text().toStdString(), rawFolder + "DAY.RAW");

    Find<QPushButton>(*form, "Button1")->click();

    const QStringList memo = Find<QPlainTextEdit>(*form, "Memo1")->toPlainText().split('\n');
    EXPECT_TRUE(memo.contains(QString::fromStdString("Recovering: " + rawFolder + "DAY.RAW")));
    EXPECT_TRUE(memo.contains("Card: 999999 not found"));
    ASSERT_GE(memo.size(), 2);
    EXPECT_EQ(memo[memo.size() - 2], "Completed - 2 records added.");
    // The refusal is named with the log it is in, where the browse moved it.
    const std::string seeLog =
        "1 line not added (1 refused, 0 failed): see " + rawFolder + "tallon.log";
    EXPECT_EQ(memo.last().toStdString(), seeLog);
    EXPECT_EQ(Find<QLineEdit>(*form, "Edit3")->text(), "3");
    EXPECT_EQ(Find<QLineEdit>(*form, "Edit1")->text(), "TR260606");
    EXPECT_TRUE(messages.shown.empty());

    // The browse moved the working directory: the log of the run is there.
    const auto log = LogLines(rawFolder);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front(), "Recovering: " + rawFolder + "DAY.RAW");
    EXPECT_EQ(log.back(), "Completed - 2 records added.");

    const auto rows = ReadTable(ResolveFileName(dir / "TR260606.DB"),
                                "select \"Device Name\", \"Card No\", Name from records "
                                "order by Time");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Door 7", "123456", "Ann Smith"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"Door 12", "654321", "Bob Jones"}));
}

}  // namespace
}  // namespace tallon::app::test
