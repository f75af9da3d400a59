#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>

#include "tests/app/window_fixture.h"

inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

namespace tallon::app::test {
namespace {

using StartupTest = WindowTest;

std::vector<std::string> MemoLines(TForm1& form) {
    std::vector<std::string> lines;
    const QString text = form.findChild<QPlainTextEdit*>("Memo1")->toPlainText();
    if (!text.isEmpty()) {
        for (const QString& line : text.split('\n')) {
            lines.push_back(line.toStdString());
        }
    }
    return lines;
}

TEST_F(StartupTest, LocalModeKeepsEveryControlAndFillsTheRawFileBox) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"/CVX"}, {"/local"}, {"", "/CV"}}) {
        auto form = MakeForm(args);
        SCOPED_TRACE(args.empty() ? "no argument" : args[0]);
        EXPECT_EQ(form->windowTitle(), "Tallon Utility");
        EXPECT_EQ(form->core().Mode(), RunMode::Local);
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_EQ(form->RawFileName(), dir.path());
        for (const char* name : {"FromTran_CB", "Merge_CB", "Label5", "Edit1", "Button2"}) {
            EXPECT_FALSE(form->findChild<QWidget*>(name)->isHidden()) << name;
        }
        EXPECT_EQ(form->findChild<QPushButton*>("Button6")->x(), 224);
        EXPECT_EQ(MemoLines(*form), (std::vector<std::string>{
                                        "TRAN_TPL.DB, TRAN_TPL.PX, etc must be available in the ",
                                        "current directory where this program ran from ."}));
        // What the core reads before the operator touches anything.
        EXPECT_EQ(form->TableName(), "TRAN1");
        EXPECT_TRUE(form->MergeChecked());
        EXPECT_FALSE(form->FromTranChecked());
        EXPECT_FALSE(form->AllRawChecked());
        EXPECT_EQ(form->FallbackDevice(), "DORN");
        EXPECT_TRUE(form->findChild<QWidget*>("Panel1")->isHidden());
        // The gate covers the whole client area from the start.
        EXPECT_TRUE(form->GateShown());
        EXPECT_EQ(form->findChild<QWidget*>("Panel2")->geometry(), form->rect());
    }
}

// Every caption fits its box at the layout's position and size, measured in
// the face the control actually draws with.
TEST_F(StartupTest, EveryCaptionFitsItsBoxAtTheLayoutsSizes) {
    auto form = MakeForm();
    struct Box {
        const char* name;
        QRect geometry;
        const char* family;
    };
    const Box boxes[] = {
        {"Label5", {16, 8, 80, 13}, "MS Sans Serif"},
        {"FromTran_CB", {152, 8, 161, 17}, "MS Sans Serif"},
        {"Merge_CB", {152, 24, 153, 17}, "MS Sans Serif"},
        {"AllRaw_CB", {152, 48, 169, 17}, "MS Sans Serif"},
        {"Label4", {24, 56, 48, 13}, "MS Sans Serif"},
        {"Button7", {280, 72, 33, 25}, "MS Sans Serif"},
        {"Label3", {16, 116, 158, 16}, "Tahoma"},
        {"Button1", {16, 248, 113, 25}, "MS Sans Serif"},
        {"Button2", {136, 248, 81, 25}, "MS Sans Serif"},
        {"Button6", {224, 248, 75, 25}, "MS Sans Serif"},
        {"Button5", {16, 280, 113, 25}, "MS Sans Serif"},
        {"Label6", {56, 122, 49, 13}, "MS Sans Serif"},
    };
    for (const Box& box : boxes) {
        SCOPED_TRACE(box.name);
        QWidget* widget = Find<QWidget>(*form, box.name);
        EXPECT_EQ(widget->geometry(), box.geometry);
        EXPECT_EQ(QFontInfo(widget->font()).family().toStdString(), box.family);
        // The room the control's style leaves its caption.
        QRect room = widget->contentsRect();
        QString text;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            text = label->text();
        } else {
            auto* button = qobject_cast<QAbstractButton*>(widget);
            text = button->text();
            QStyleOptionButton option;
            option.initFrom(button);
            const bool check = qobject_cast<QCheckBox*>(widget) != nullptr;
            room = widget->style()->subElementRect(
                check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option,
                widget);
        }
        const QFontMetrics metrics(widget->font());
        const int width =
            std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).width());
        EXPECT_LE(width, room.width()) << text.toStdString();
        EXPECT_LE(metrics.height(), room.height()) << text.toStdString();
        EXPECT_TRUE(widget->rect().contains(room)) << text.toStdString();
    }
}

TEST_F(StartupTest, ExternalModesFollowTheFirstArgumentInAnyCase) {
    struct Case {
        std::vector<std::string> args;
        RunMode mode;
        const char* caption;
    };
    const Case cases[] = {
        {{"/cv"}, RunMode::Corvane, "Tallon Utility (Corvane)"},
        {{"/Cv", "/VL"}, RunMode::Corvane, "Tallon Utility (Corvane)"},
        {{"/vl"}, RunMode::Velora, "Tallon Utility (Velora)"},
        {{"/VL", "extra"}, RunMode::Velora, "Tallon Utility (Velora)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        auto form = MakeForm(c.args);
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_EQ(form->core().Mode(), c.mode);
        EXPECT_EQ(form->windowTitle(), c.caption);
        for (const char* name : {"FromTran_CB", "Merge_CB", "Label5", "Edit1", "Button2"}) {
            EXPECT_TRUE(form->findChild<QWidget*>(name)->isHidden()) << name;
        }
        EXPECT_FALSE(form->findChild<QWidget*>("AllRaw_CB")->isHidden());
        EXPECT_TRUE(MemoLines(*form).empty());
        auto* close = form->findChild<QPushButton*>("Button6");
        EXPECT_EQ(close->pos(), QPoint(136, 248));
        EXPECT_FALSE(close->isHidden());
        // Hidden, but a run still reads them.
        EXPECT_TRUE(form->MergeChecked());
        EXPECT_FALSE(form->FromTranChecked());
        EXPECT_EQ(form->RawFileName(), dir.path());
    }
}

TEST_F(StartupTest, AStartupErrorIsShownAndTheWindowStillWorks) {
    const std::string missing = dir.path() + "no-such-dir/";
    auto form = MakeFormIn(missing, {});
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageKind::Error);
    EXPECT_EQ(messages.shown[0].title, "Tallon");
    EXPECT_FALSE(messages.shown[0].text.isEmpty());
    // Steps after the failing one never ran.
    EXPECT_EQ(form->RawFileName(), "ALL.RAW");
    EXPECT_FALSE(form->core().AllowUnknownCards());
    // The gate is up and the window answers.
    EXPECT_TRUE(form->GateShown());
    form->show();
    form->SetTableName("TR020606");
    EXPECT_EQ(form->findChild<QLineEdit*>("Edit1")->text(), "TR020606");
    // The start lines went to the log in the working directory.
    EXPECT_NE(tallon::test::ReadWholeFile(dir / "tallon.log").find("TALLON: 1.0.0.9 Started."),
              std::string::npos);
}

}  // namespace
}  // namespace tallon::app::test
