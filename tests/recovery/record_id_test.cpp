#include "recovery/record_id.h"

#include <gtest/gtest.h>

#include <set>

#include "base/errors.h"
#include "recovery/sequence_number.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

DateTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
    return DateTime{EncodeDate(y, mo, d).value + EncodeTime(h, mi, s, ms).value};
}

TEST(RecordId, IsDateThenTimeWithHundredthsFromMilliseconds) {
    EXPECT_EQ(RecordIdAt(At(2026, 6, 6, 14, 5, 9, 345)), "26060614050945");
    EXPECT_EQ(RecordIdAt(At(2026, 1, 2, 3, 4, 5, 6)), "26010203040506");
}

TEST(RecordId, NextCarriesAsATimeWould) {
    EXPECT_EQ(NextRecordIdAfter("26060614050945"), "26060614050946");
    EXPECT_EQ(NextRecordIdAfter("26060614050999"), "26060614051000");
    EXPECT_EQ(NextRecordIdAfter("26060614055999"), "26060614060000");
    EXPECT_EQ(NextRecordIdAfter("26060614595999"), "26060615000000");
    EXPECT_EQ(NextRecordIdAfter("26060623595999"), "26060700000000");
    EXPECT_EQ(NextRecordIdAfter("26123123595999"), "27010100000000");
    EXPECT_EQ(NextRecordIdAfter("28022823595999"), "28022900000000");
}

TEST(RecordId, AStandingClockNeverRepeatsAnIdentifier) {
    RecordIdIssuer issuer;
    const DateTime now = At(2026, 6, 6, 23, 59, 59, 97);
    std::set<std::string> seen;
    std::string previous;
    for (int i = 0; i < 500; ++i) {
        const std::string id = issuer.Issue(now);
        ASSERT_EQ(id.size(), 14u);
        EXPECT_GT(id, previous);
        EXPECT_TRUE(seen.insert(id).second) << id;
        previous = id;
    }
    EXPECT_EQ(*seen.begin(), "26060623595997");
    // Running ahead of the clock carried into the next day.
    EXPECT_EQ(previous.substr(0, 6), "260607");
    // A clock that moves on past the issued ones is followed again.
    EXPECT_EQ(issuer.Issue(At(2026, 6, 8, 1, 0, 0, 0)), "26060801000000");
    // One that moved backwards is not.
    EXPECT_EQ(issuer.Issue(At(2026, 6, 8, 0, 0, 0, 0)), "26060801000001");
}

TEST(RecordId, IssuersSharingAStoreNeverRepeatAnIdentifier) {
    test::TempDir dir;
    const std::string store = RecordIdStoreFile(dir.path(), "Brindle");
    const DateTime now = At(2026, 6, 6, 12, 0, 0, 0);
    std::set<std::string> seen;
    auto issue = [&](RecordIdIssuer& issuer, DateTime at) {
        const std::string id = issuer.Issue(at);
        EXPECT_TRUE(seen.insert(id).second) << id;
        return id;
    };

    // A fast run: 1,000 ids in no time run ten seconds ahead of the clock.
    std::string lastOfFirst;
    {
        RecordIdIssuer first;
        first.ShareThrough(store);
        EXPECT_EQ(issue(first, now), "26060612000000");
        for (int i = 0; i < 999; ++i) {
            lastOfFirst = issue(first, now);
        }
        EXPECT_EQ(lastOfFirst, "26060612000999");
    }
    // The next run, straight after, starts past everything the first took;
    // two runs at once interleave without a clash.
    RecordIdIssuer second, third;
    second.ShareThrough(store);
    third.ShareThrough(store);
    EXPECT_GT(issue(second, now), lastOfFirst);
    for (int i = 0; i < 500; ++i) {
        issue(i % 3 ? second : third, now);
    }
    // Once the clock has passed everything taken, ids are the clock's again.
    EXPECT_EQ(issue(third, At(2026, 6, 6, 12, 5, 0, 0)), "26060612050000");

    // A store that holds something else is left alone and fails the issue.
    test::WriteWholeFile(dir / "bad.lastid", "not an id\n");
    RecordIdIssuer damaged;
    damaged.ShareThrough(dir / "bad.lastid");
    EXPECT_THROW(damaged.Issue(now), Exception);
    EXPECT_EQ(test::ReadWholeFile(dir / "bad.lastid"), "not an id\n");
}

TEST(SequenceGenerator, StepsTheThirtyTwoBitGenerator) {
    SequenceGenerator g(0);
    // seed 0 -> 1 -> 134775814
    EXPECT_DOUBLE_EQ(g.Next(), 1.0 / 4294967296.0);
    EXPECT_DOUBLE_EQ(g.Next(), 134775814.0 / 4294967296.0);
    SequenceGenerator h(0xFFFFFFFFu);
    // (2^32-1) * 134775813 + 1 wraps modulo 2^32.
    const uint32_t expected = 0xFFFFFFFFu * 134775813u + 1u;
    EXPECT_DOUBLE_EQ(h.NextSequenceNumber(), expected / 4294967296.0 * 999999.0 + 1.0);
    for (int i = 0; i < 1000; ++i) {
        const double n = h.NextSequenceNumber();
        ASSERT_GE(n, 1.0);
        ASSERT_LT(n, 1000000.0);
    }
}

}  // namespace
}  // namespace tallon
