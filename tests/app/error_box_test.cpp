#include <gtest/gtest.h>

#include <stdexcept>

#include "app/error_box.h"
#include "base/errors.h"
#include "tests/app/window_fixture.h"

namespace tallon::app::test {
namespace {

TEST(ErrorBoxTest, AFullStopFollowsALastCharacterThatSortsAfterIt) {
    EXPECT_EQ(WithFullStop("Disk full"), "Disk full.");
    EXPECT_EQ(WithFullStop("Table TRAN1 is busy"), "Table TRAN1 is busy.");
    EXPECT_EQ(WithFullStop("I/O error 32"), "I/O error 32.");  // digits sort after "."
    EXPECT_EQ(WithFullStop("path c:/"), "path c:/.");          // "/" is the next code
    EXPECT_EQ(WithFullStop("caf\xc3\xa9"), "caf\xc3\xa9.");    // bytes above 127
    // "." itself and everything below it stays as it is.
    EXPECT_EQ(WithFullStop("Done."), "Done.");
    EXPECT_EQ(WithFullStop("Invalid Password !"), "Invalid Password !");
    EXPECT_EQ(WithFullStop("(key violation)"), "(key violation)");
    EXPECT_EQ(WithFullStop("range 1-"), "range 1-");
    EXPECT_EQ(WithFullStop("trailing "), "trailing ");
    EXPECT_EQ(WithFullStop(""), "");
}

TEST(ErrorBoxTest, EveryEscapingErrorReachesOneErrorBox) {
    MessageRecorder messages;
    RunHandler(nullptr, [] { throw EInOutError(5); });
    RunHandler(nullptr, [] { throw EDatabaseError("Table is busy"); });
    RunHandler(nullptr, [] { throw std::runtime_error("out of range"); });
    RunHandler(nullptr, [] { throw 42; });
    bool ran = false;
    RunHandler(nullptr, [&] { ran = true; });
    EXPECT_TRUE(ran);

    ASSERT_EQ(messages.shown.size(), 4u);
    EXPECT_EQ(messages.shown[0].text, "File access denied.");
    EXPECT_EQ(messages.shown[1].text, "Table is busy.");
    EXPECT_EQ(messages.shown[2].text, "out of range.");
    EXPECT_FALSE(messages.shown[3].text.isEmpty());
    for (const ShownMessage& m : messages.shown) {
        EXPECT_EQ(m.title, "Tallon");
        EXPECT_EQ(m.kind, MessageKind::Error);
    }
}

}  // namespace
}  // namespace tallon::app::test
