#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "db/batch.h"
#include "tests/db/local_fixture.h"
#include "tests/support/child_process.h"

namespace tallon::test {
namespace {

// The writer asks twice per record whether its day's files exist; in a
// directory of a few thousand tables a miss in any letter case must not cost
// a listing each time.
TEST_F(LocalDbTest, ExistenceAnswersWithinABatchAndSeesOthersAtTheNext) {
    for (int i = 0; i < 2000; ++i) {
        WriteWholeFile(dir_ / ("TR" + std::to_string(100000 + i) + ".DB"), "");
    }
    db::local::DirectoryDatabase& tables = engine_.Directory(dir_.path());
    {
        db::Batch batch(engine_);
        const auto start = std::chrono::steady_clock::now();
        int found = 0;
        for (int i = 0; i < 20000; ++i) {
            found += tables.FileExists("tr100500.db") ? 1 : 0;
            found += tables.FileExists("tr100500.px") ? 1 : 0;
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        EXPECT_EQ(found, 20000);
        // A listing of 2000 entries for each of 40000 questions takes many
        // seconds.
        EXPECT_LT(ms, 1000);

        // Another process adds the file: seen once this batch is committed.
        ASSERT_EQ(std::system(("touch " + dir_ / "TR100500.PX").c_str()), 0);
        EXPECT_FALSE(tables.FileExists("tr100500.px"));
        batch.Commit();
        EXPECT_TRUE(tables.FileExists("tr100500.px"));
        // A person deletes it: likewise.
        ASSERT_EQ(std::system(("rm " + dir_ / "TR100500.PX").c_str()), 0);
        EXPECT_TRUE(tables.FileExists("tr100500.px"));
        batch.Commit();
        EXPECT_FALSE(tables.FileExists("tr100500.px"));
    }
    // Outside a batch every question looks.
    ASSERT_EQ(std::system(("touch " + dir_ / "TR100500.PX").c_str()), 0);
    EXPECT_TRUE(tables.FileExists("tr100500.px"));
}

}  // namespace
}  // namespace tallon::test
