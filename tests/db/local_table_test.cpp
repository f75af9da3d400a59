#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "base/file_names.h"
#include "db/batch.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "tests/db/local_fixture.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

using db::Table;

TEST_F(LocalDbTest, IndexFilesFollowTheIndexesAndCopiesAreIndependent) {
    MakeTransactionTable("TR020606");
    for (const char* ext : {".DB", ".PX", ".XG0", ".YG0", ".XG1", ".YG1"}) {
        EXPECT_TRUE(FileExists(dir_ / ("TR020606" + std::string(ext)))) << ext;
    }
    // Adding an index that exists rebuilds it in its own files.
    {
        Table t(engine_, "TransTable", "KD1");
        t.SetTableName("tr020606");
        t.AddIndex("dname_key", "Device Name", db::ixCaseInsensitive);
        EXPECT_FALSE(FileExists(dir_ / "TR020606.XG2"));
    }
    Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TR020606");
    t.Open();
    AppendRecord(t, 10.5, 14, 5, "123456");
    AppendRecord(t, 11.5, 14, 5, "123456");
    t.Close();

    // A copy of the files is a table of its own with the same records and keys.
    for (const char* ext : {".DB", ".PX", ".XG0", ".YG0", ".XG1", ".YG1"}) {
        ASSERT_TRUE(CopyFileOver(dir_ / ("TR020606" + std::string(ext)),
                                 dir_ / ("COPY1" + std::string(ext))));
    }
    Table c(engine_, "TransTable", "KD1");
    c.SetTableName("copy1");
    c.Open();
    EXPECT_TRUE(c.FindKey(10.5, EncodeTime(14, 5, 0, 0), "123456"));
    EXPECT_THROW(AppendRecord(c, 10.5, 14, 5, "123456"), EDatabaseError);
    AppendRecord(c, 12.5, 14, 5, "123456");
    c.Close();
    EXPECT_EQ(Scalar("select count(*) as n from copy1", "n"), "3");
    EXPECT_EQ(Scalar("select count(*) as n from TR020606", "n"), "2");

    // Deleting the primary index files drops the primary index on the next
    // open: no key search, no key check.
    ASSERT_TRUE(DeleteFileCI(dir_ / "copy1.px"));
    c.Open();
    EXPECT_THROW(c.FindKey(10.5, EncodeTime(14, 5, 0, 0), "123456"), EDatabaseError);
    c.Close();
    EXPECT_TRUE(
        PlainRead(dir_ / "COPY1.DB", "select name from sqlite_master where name='tallon_px'")
            .empty());
    EXPECT_FALSE(
        PlainRead(dir_ / "TR020606.DB", "select name from sqlite_master where name='tallon_px'")
            .empty());

    // Index files copied back in are built into the table when it opens.
    ASSERT_TRUE(CopyFileOver(dir_ / "TR020606.PX", dir_ / "COPY1.PX"));
    c.Open();
    EXPECT_TRUE(c.FindKey(12.5, EncodeTime(14, 5, 0, 0), "123456"));
    EXPECT_THROW(AppendRecord(c, 12.5, 14, 5, "123456"), EDatabaseError);

    // Without the primary index, duplicates are no longer refused.
    c.Close();
    ASSERT_TRUE(DeleteFileCI(dir_ / "COPY1.PX"));
    c.Open();
    EXPECT_NO_THROW(AppendRecord(c, 12.5, 14, 5, "123456"));
    c.Close();
    EXPECT_EQ(Scalar("select count(*) as n from COPY1", "n"), "4");
    // ...and a unique index cannot be built over them.
    EXPECT_THROW(c.AddIndex("", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique),
                 EDatabaseError);
    EXPECT_FALSE(FileExists(dir_ / "COPY1.PX"));
}

TEST_F(LocalDbTest, KeySearchPostAndFieldNames) {
    MakeTransactionTable("TRAN1");
    Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TRAN1");
    t.Open();
    EXPECT_FALSE(t.FindKey(5.25, EncodeTime(14, 5, 0, 0), "123456"));

    // Field names in any letter case.
    t.Append();
    t.SetFieldFloat("seqno", 5.25);
    t.SetFieldDate("date", EncodeDate(2002, 6, 6));
    t.SetFieldTime("TIME", EncodeTime(14, 5, 0, 0));
    t.SetFieldText("card no", "123456");
    t.SetFieldText("DEVICE NAME", "Door 7");
    t.Post();
    EXPECT_TRUE(t.FindKey(5.25, EncodeTime(14, 5, 0, 0), "123456"));
    EXPECT_FALSE(t.FindKey(5.25, EncodeTime(14, 6, 0, 0), "123456"));
    EXPECT_FALSE(t.FindKey(5.25, EncodeTime(14, 5, 0, 0), "123457"));
    EXPECT_FALSE(t.FindKey(5.5, EncodeTime(14, 5, 0, 0), "123456"));

    try {
        AppendRecord(t, 5.25, 14, 5, "123456");
        ADD_FAILURE() << "duplicate key accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Key violation.");
    }
    try {
        t.Append();
        t.SetFieldText("Colour", "red");
        ADD_FAILURE() << "unknown field accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "TransTable: Field 'Colour' not found");
    }
    t.Close();
    const auto rows = PlainRead(
        dir_ / "TRAN1.DB", "select SeqNo, Date, Time, \"Card No\", typeof(SeqNo) from records");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0],
              (std::vector<std::string>{"5.25", "2002-06-06", "14:05:00", "123456", "real"}));

    // Field kinds survive in the file and are read back as declared.
    const auto types = PlainRead(dir_ / "TRAN1.DB",
                                 "select type from pragma_table_info('records') where name in "
                                 "('Date','Time','SeqNo') order by cid");
    ASSERT_EQ(types.size(), 3u);
    EXPECT_EQ(types[1][0], "DATE TEXT");

    Table missing(engine_, "TransTable", "KD1");
    missing.SetTableName("TR991231");
    try {
        missing.Open();
        ADD_FAILURE() << "missing table opened";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("TR991231"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(missing.Active());
}

TEST_F(LocalDbTest, TableReplacedByACopyWhileCachedShowsTheNewTable) {
    MakeTransactionTable("tran_tpl", false);
    MakeTransactionTable("TR020607");
    Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TR020607");
    t.Open();
    AppendRecord(t, 1, 8, 0, "111111");
    AppendRecord(t, 2, 8, 1, "222222");  // still in the open write transaction
    t.Close();
    EXPECT_EQ(Scalar("select count(*) as n from TR020607", "n"), "2");

    // Re-made from the template behind the engine's back.
    for (const char* ext : {".DB", ".XG0", ".PX", ".XG1", ".YG0", ".YG1"}) {
        CopyFileOver(dir_ / ("tran_tpl" + std::string(ext)),
                     dir_ / ("TR020607" + std::string(ext)));
    }
    // The records are gone; the index files the template has none of stay
    // and their indexes are built into the new file when it opens.
    EXPECT_EQ(Scalar("select count(*) as n from TR020607", "n"), "0");
    t.Open();
    EXPECT_FALSE(t.FindKey(1, EncodeTime(8, 0, 0, 0), "111111"));
    AppendRecord(t, 3, 9, 0, "333333");
    EXPECT_TRUE(t.FindKey(3, EncodeTime(9, 0, 0, 0), "333333"));
    EXPECT_THROW(AppendRecord(t, 3, 9, 0, "333333"), EDatabaseError);
    t.Close();
    EXPECT_EQ(PlainRead(dir_ / "TR020607.DB", "select count(*) from records")[0][0], "1");
    EXPECT_EQ(PlainRead(dir_ / "TR020607.DB", "pragma integrity_check")[0][0], "ok");
    EXPECT_EQ(PlainRead(dir_ / "tran_tpl.DB", "select count(*) from records")[0][0], "0");
    // No unfinished transaction is left beside the table (an idle journal
    // is kept empty).
    EXPECT_EQ(test::ReadWholeFile(dir_ / "TR020607.DB-journal"), "");
}

TEST_F(LocalDbTest, DatabaseOpenNeedsAReadableDirectory) {
    db::Database d(engine_, "KD2", "STANDARD", "Default");
    d.AddParam("PATH=" + dir_.path() + "nowhere");
    try {
        d.Open();
        ADD_FAILURE() << "opened a missing directory";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("nowhere"), std::string::npos);
    }
    EXPECT_FALSE(d.Connected());
    db::Query q(engine_, "Query1", "KD2");
    q.Add("select 1");
    EXPECT_THROW(q.Open(), EDatabaseError);

    db::Database ok(engine_, "KD3", "STANDARD", "Default");
    ok.AddParam("Path=" + dir_.path().substr(0, dir_.path().size() - 1));
    ok.Open();
    EXPECT_EQ(ok.Directory(), dir_.path());
}

TEST_F(LocalDbTest, ATableLeftOpenOutlivesTheEngineShuttingDown) {
    MakeTransactionTable("TRAN1");
    Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TRAN1");
    t.Open();
    engine_.Shutdown();
    EXPECT_THROW(t.Append(), EDatabaseError);  // its file went with the engine
    t.Close();                                 // and closing touches nothing
}

TEST_F(LocalDbTest, AnIdleTableGivesBackItsPageCache) {
    MakeTransactionTable("TR020608");
    Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TR020608");
    t.Open();
    for (int i = 0; i < 2000; ++i) {
        AppendRecord(t, i + 1, i / 60 % 24, i % 60, std::to_string(i).insert(0, 1, 'C'));
    }
    t.Close();
    db::local::DirectoryDatabase& tables = engine_.Directory(dir_.path());
    db::local::TableFile& file = tables.Table("TR020608");
    auto cacheUsed = [&] {
        int current = 0, highwater = 0;
        sqlite3_db_status(file.Db(), SQLITE_DBSTATUS_CACHE_USED, &current, &highwater, 0);
        return current;
    };
    const int busy = cacheUsed();
    ASSERT_GT(busy, 0);
    // Used a moment ago: kept.
    tables.ReleaseIdleCaches();
    EXPECT_EQ(cacheUsed(), busy);
    std::this_thread::sleep_for(db::local::kIdleCacheAfter + db::kBatchAge +
                                std::chrono::milliseconds(100));
    tables.ReleaseIdleCaches();
    EXPECT_LT(cacheUsed(), busy);
    // The table still answers, from disk.
    EXPECT_EQ(Scalar("select count(*) as n from TR020608", "n"), "2000");
}

// A batch that writes many tables stages the records of all but the first
// few; checks through the views, unique keys and the commit treat them as
// stored, and an undone batch leaves nothing behind.
TEST_F(LocalDbTest, ABatchOverManyTablesStagesItsRecordsAsIfStored) {
    const int tables = static_cast<int>(db::local::kDirectMembers) + 2;
    auto name = [](int i) { return "TR02" + std::to_string(10 + i) + "02"; };
    for (int i = 0; i < tables; ++i) {
        MakeTransactionTable(name(i));
    }
    const std::string last = name(tables - 1);
    const std::string lastFile = dir_ / (last + ".DB");
    auto stored = [&](const std::string& file) {
        return PlainRead(file, "select count(*) from records")[0][0];
    };
    Table t(engine_, "TransTable", "KD1");
    t.SetTableName(last);
    t.Open();
    AppendRecord(t, 1, 8, 0, "100");  // stored before any batch
    t.Close();
    for (int round = 0; round < 2; ++round) {
        db::Batch batch(engine_);
        for (int i = 0; i < tables; ++i) {
            t.SetTableName(name(i));
            t.Open();
            AppendRecord(t, 2 + round, 9, round, "200");
            t.Close();
        }
        // The last table stages: its file is untouched, yet the record is
        // there to unique keys and to checks through the view (as the
        // writer's duplicate check reads it).
        EXPECT_EQ(stored(lastFile), "1");
        t.SetTableName(last);
        t.Open();
        EXPECT_THROW(AppendRecord(t, 2 + round, 9, round, "200"), EDatabaseError);  // staged
        EXPECT_THROW(AppendRecord(t, 1, 8, 0, "100"), EDatabaseError);              // stored
        db::Query check(engine_, "Check", "KD1");
        check.Open(
            db::Statement{last,
                          "select * from " + last + " where " + last + ".\"Card No\"=? and " +
                              last + ".\"Time\"=?",
                          {db::Value::Text("200"), db::Value::Time(EncodeTime(9, round, 0, 0))},
                          db::Statement::Intent::ReadBeforeWrite});
        EXPECT_EQ(check.RecordCount(), 1);
        EXPECT_EQ(stored(lastFile), "1");
        if (round == 1) {
            // A search by key sees the staged record (written into the
            // table first), and the batch is committed.
            EXPECT_TRUE(t.FindKey(3, EncodeTime(9, 1, 0, 0), "200"));
            t.Close();
            batch.Commit();
        }
        t.Close();
        // The first round is undone with its batch.
    }
    EXPECT_EQ(stored(lastFile), "2");
    EXPECT_EQ(stored(dir_ / (name(0) + ".DB")), "1");
    EXPECT_EQ(Scalar("select count(*) as n from " + last, "n"), "2");
}

}  // namespace
}  // namespace tallon::test
