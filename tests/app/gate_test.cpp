#include <QApplication>
#include <QLineEdit>
#include <QStyle>
#include <QTest>

#include "base/clock.h"
#include "base/date_time.h"
#include "base/text.h"
#include "tests/app/window_fixture.h"

namespace tallon::app::test {
namespace {

class GateTest : public WindowTest {
  protected:
    void SetUp() override {
        form = MakeForm();
        form->show();
        pw = form->findChild<QLineEdit*>("PW_Edit");
        ASSERT_NE(pw, nullptr);
    }

    void Enter(const std::string& text) {
        pw->setText(QString::fromStdString(text));
        QTest::keyClick(pw, Qt::Key_Return);
    }

    static std::string Prefix() { return TALLON_PASSWORD_PREFIX; }

    // 9 March 2024, one millisecond before midnight.
    ManualClock clock{EncodeDateTime({2024, 3, 9}, {23, 59, 59, 999})};
    ScopedClock useClock{clock};
    std::unique_ptr<TForm1> form;
    QLineEdit* pw = nullptr;
};

TEST_F(GateTest, WrongEntriesAreRefusedAndKept) {
    ASSERT_EQ(Prefix().size(), 2u);
    EXPECT_EQ(TForm1::ExpectedPassword(), Prefix() + "240309");
    EXPECT_TRUE(messages.shown.empty());

    for (const std::string& wrong : {Prefix() + "240309 ", std::string(" ") + Prefix() + "240309",
                                     Prefix() + "240310", std::string()}) {
        SCOPED_TRACE("'" + wrong + "'");
        messages.shown.clear();
        Enter(wrong);
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, "Invalid Password !");
        EXPECT_EQ(messages.shown[0].title, "Tallon");
        EXPECT_EQ(messages.shown[0].kind, MessageKind::Information);
        EXPECT_EQ(pw->text().toStdString(), wrong);
        EXPECT_TRUE(form->GateShown());
    }
    // Keys other than Enter are ordinary editing.
    messages.shown.clear();
    pw->clear();
    QTest::keyClicks(pw, "ab");
    QTest::keyClick(pw, Qt::Key_Tab);
    EXPECT_EQ(pw->text(), "ab");
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(GateTest, TheRightPasswordInAnyCaseOpensTheGateForGood) {
    Enter(LowerCase(Prefix()) + "240309");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_FALSE(form->GateShown());
    EXPECT_TRUE(pw->isHidden() || !pw->isVisible());
    // The date moving on later changes nothing: the gate stays open.
    clock.AdvanceMilliseconds(1);
    EXPECT_FALSE(form->GateShown());
}

TEST_F(GateTest, ThePasswordChangesAtMidnight) {
    clock.AdvanceMilliseconds(1);  // 10 March 2024, 00:00:00.000
    Enter(Prefix() + "240309");
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(form->GateShown());
    Enter(Prefix() + "240310");
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_FALSE(form->GateShown());

    // New year's eve rolls the two-digit year too.
    clock.Set(EncodeDateTime({2099, 12, 31}, {23, 59, 59, 999}));
    EXPECT_EQ(TForm1::ExpectedPassword(), Prefix() + "991231");
    clock.AdvanceMilliseconds(1);
    EXPECT_EQ(TForm1::ExpectedPassword(), Prefix() + "000101");
}

TEST_F(GateTest, EveryCharacterShowsAsADollarSign) {
    QTest::keyClicks(pw, "ab 1");
    EXPECT_EQ(pw->text(), "ab 1");
    EXPECT_EQ(pw->displayText(), "$$$$");
    EXPECT_EQ(pw->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, pw), '$');
    // Only the password box: the other boxes show what they hold.
    auto* fn = form->findChild<QLineEdit*>("FNEdit");
    EXPECT_EQ(fn->displayText(), fn->text());
}

TEST_F(GateTest, FocusStaysOnThePasswordWhileTheGateIsUp) {
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    EXPECT_EQ(QApplication::focusWidget(), pw);
    // Tab would otherwise reach "Recover from RAW" beneath the gate.
    for (int i = 0; i < 15; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), pw) << "after " << i + 1 << " tabs";
    }
    Enter(Prefix() + "240309");
    ASSERT_FALSE(form->GateShown());
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_NE(focus, pw);
    QTest::keyClick(focus, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), pw);
}

}  // namespace
}  // namespace tallon::app::test
