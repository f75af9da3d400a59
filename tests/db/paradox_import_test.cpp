// Converting Paradox tables into engine tables, and the engine's word on a
// Paradox file it is asked to open.

#include <gtest/gtest.h>

#include <filesystem>

#include "base/errors.h"
#include "base/file_names.h"
#include "db/paradox/detect.h"
#include "db/paradox/engine_table.h"
#include "db/paradox/family_files.h"
#include "db/paradox/import.h"
#include "db/paradox/staging.h"
#include "tests/db/local_fixture.h"
#include "tests/support/paradox_writer.h"

namespace tallon::test {
namespace {

using namespace db::paradox;
using Rows = std::vector<std::vector<std::string>>;
namespace fs = std::filesystem;

class ParadoxImport : public ::testing::Test {
  protected:
    // Reads back what the import wrote, as any engine user would.
    db::Engine engine_;

    // A day's transaction table as a site has it: keyed on its first three
    // fields, with the primary and two secondary index files beside it (their
    // content only matters to Paradox).
    void MakeDayTable(const std::string& dir, const std::string& name) {
        WriteParadoxTable(dir + name + ".DB", PxTransactionFields(),
                          {PxTransaction(1, "Door 7", 26, 8, 5, "123456", "Ann Sm\xeft\xfc"),
                           PxTransaction(2, "door 7", 26, 8, 12, "234567", ""),
                           PxTransaction(3, "Back Door", 26, 9, 30, "345678", "Bob")},
                          3);
        for (const char* ext : {".PX", ".XG0", ".YG0", ".XG1", ".YG1"})
            WriteWholeFile(dir + name + ext, "index");
    }

    TempDir dir_;
};

TEST_F(ParadoxImport, TransactionTableWithItsIndexesInPlace) {
    MakeDayTable(dir_.path(), "TR261208");
    const auto reports = ImportParadox(dir_ / "TR261208.DB", "", {});
    ASSERT_EQ(reports.size(), 1u);
    const TableReport& r = reports[0];
    ASSERT_FALSE(r.failed) << SummaryLine(r, false);
    EXPECT_EQ(SummaryLine(r, false),
              "TR261208.DB: 3 records read, 3 written, 13 fields, indexes primary "
              "(SeqNo;Time;Card No), date_key, dname_key, code page 1252");

    // Same field names and kinds as the template; NULLs and bytes kept.
    EXPECT_EQ(PlainRead(dir_ / "TR261208.DB",
                        "select name, type from pragma_table_info('records') where cid < 4"),
              (Rows{{"SeqNo", "REAL"},
                    {"Device Name", "TEXT(30)"},
                    {"Date", "DATE TEXT"},
                    {"Time", "TIME TEXT"}}));
    EXPECT_EQ(PlainRead(dir_ / "TR261208.DB",
                        "select SeqNo, Date, Time, hex(Name), user1 is null from records "
                        "order by SeqNo"),
              (Rows{{"1.0", "2008-12-26", "08:05:00", "416E6E20536DEF74FC", "1"},
                    {"2.0", "2008-12-26", "08:12:00", "", "1"},
                    {"3.0", "2008-12-26", "09:30:00", "426F62", "1"}}));

    // The engine's duplicate check finds the records by their key.
    {
        db::Database database(engine_, "KD1", "STANDARD", "Default");
        database.AddParam("path=" + dir_.path());
        database.Open();
        db::Table t(engine_, "T", "KD1");
        t.SetTableName("TR261208");
        t.Open();
        EXPECT_TRUE(t.FindKey(2, EncodeTime(8, 12, 0, 0), "234567"));
        EXPECT_FALSE(t.FindKey(2, EncodeTime(8, 12, 0, 0), "123456"));
    }
    EXPECT_EQ(PlainRead(dir_ / "TR261208.DB",
                        "select slot, name, fields, options from tallon_indexes order by slot"),
              (Rows{{"PX", "", "SeqNo;Time;Card No", "3"},
                    {"XG0", "date_key", "Date", "4"},
                    {"XG1", "dname_key", "Device Name", "4"}}));

    // Every Paradox file moved aside, none lost.
    for (const char* f : {"TR261208.DB", "TR261208.PX", "TR261208.XG0", "TR261208.YG1"})
        EXPECT_TRUE(FileExists(dir_ / (std::string(kOriginalsFolder) + "/" + f))) << f;
    EXPECT_FALSE(fs::exists(dir_ / ".paradox-import"));

    // The same table met again is refused, unless asked to replace.
    MakeDayTable(dir_.path(), "TR261208");
    const auto again = ImportParadox(dir_ / "TR261208.DB", "", {});
    ASSERT_TRUE(again[0].failed);
    EXPECT_NE(SummaryLine(again[0], false).find("already imported"), std::string::npos);
    EXPECT_TRUE(IsParadoxTableFile(dir_ / "TR261208.DB"));
    ImportOptions replace;
    replace.replace = true;
    EXPECT_FALSE(ImportParadox(dir_ / "TR261208.DB", "", replace)[0].failed);
    EXPECT_EQ(PlainRead(dir_ / "TR261208.DB", "select count(*) from records"), (Rows{{"3"}}));
}

TEST_F(ParadoxImport, DirectoryImportReportsEachTableAndKeepsFailuresInPlace) {
    TempDir dest;
    MakeDayTable(dir_.path(), "TR261208");
    // Unkeyed, no index files: a lookup table as some sites keep it.
    WriteParadoxTable(dir_ / "rdrmain.db", {{"tag_name", kAlpha, 30}, {"logical_point", kAlpha, 5}},
                      {{PxText("Main Entrance"), PxText("007")}});
    // A kind the engine cannot hold, under a name in the table's code page
    // (1252), which the message shows in UTF-8.
    WriteParadoxTable(dir_ / "PHOTOS.DB",
                      {{"Card", kAlpha, 10},
                       {"Bildgr\xf6\xdf"
                        "e",
                        kGraphic, 10}},
                      {});
    // A table whose last records were cut off.
    MakeDayTable(dir_.path(), "TR271208");
    std::vector<std::vector<PxCell>> many;
    for (int i = 0; i < 300; ++i)
        many.push_back(PxTransaction(i, "Door 7", 27, 8, i % 60, "123456", "Ann"));
    WriteParadoxTable(dir_ / "TR271208.DB", PxTransactionFields(), many, 3);
    const std::string whole = ReadWholeFile(dir_ / "TR271208.DB");
    const PxLayout layout = PxLayoutOf(whole);
    WriteWholeFile(dir_ / "TR271208.DB",
                   whole.substr(0, static_cast<size_t>(layout.BlockOffset(layout.blocks) + 6 +
                                                       layout.recordSize / 2)));
    // Two records with one key: the engine's primary index would refuse the
    // second, so the check must too.
    WriteParadoxTable(dir_ / "KEYS.DB", {{"Card", kAlpha, 10}, {"Name", kAlpha, 20}},
                      {{PxText("1"), PxText("Ann")},
                       {PxText("2"), PxText("Bob")},
                       {PxText("1"), PxText("Ann again")}},
                      1);
    WriteWholeFile(dir_ / "KEYS.PX", "index");
    // An engine table already there is left alone.
    {
        db::Engine engine;
        engine.Directory(dir_.path()).CreateTable("TRAN1", TransactionFields());
    }

    // The check runs every test the import runs, and writes nothing.
    ImportOptions check;
    check.check = true;
    const auto checked = ImportParadox(dir_.path(), dest.path(), check);
    EXPECT_TRUE(fs::is_empty(dest.path()));

    std::vector<std::string> lines;
    const auto reports = ImportParadox(dir_.path(), dest.path(), {}, [&](const TableReport& r) {
        lines.push_back(SummaryLine(r, false));
    });
    ASSERT_EQ(lines.size(), 6u);
    ASSERT_EQ(checked.size(), 6u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(SummaryLine(reports[i], false), lines[i]);
        EXPECT_EQ(checked[i].failed, reports[i].failed) << lines[i];
    }
    EXPECT_EQ(lines[0],
              "KEYS.DB: FAILED; record 3: key violation: same key (Card) as record 1 (3 records "
              "read, none written)");
    EXPECT_EQ(lines[1],
              "PHOTOS.DB: FAILED; field \"Bildgr\xc3\xb6\xc3\x9f"
              "e\" is a graphic field, which an "
              "engine table cannot hold (0 records read, none written)");
    EXPECT_NE(lines[2].find("TR261208.DB: 3 records read, 3 written"), std::string::npos);
    EXPECT_NE(lines[3].find("TR271208.DB: FAILED; truncated: records "), std::string::npos)
        << lines[3];
    EXPECT_EQ(lines[4], "TRAN1.DB: already an engine table, left as it is");
    EXPECT_EQ(lines[5],
              "rdrmain.db: 1 record read, 1 written, 2 fields, no indexes, code page 1252");

    // Failed tables: originals where they were, nothing half-written.
    for (const char* f : {"KEYS.DB", "PHOTOS.DB", "TR271208.DB", "TR271208.PX"}) {
        EXPECT_TRUE(FileExists(dir_ / f)) << f;
        EXPECT_FALSE(FileExists(dest / f)) << f;
    }
    EXPECT_FALSE(fs::exists(dest / ".paradox-import"));
    EXPECT_TRUE(FileExists(dest / "paradox-originals/rdrmain.db"));
    EXPECT_FALSE(FileExists(dir_ / "rdrmain.db"));
    EXPECT_EQ(PlainRead(ResolveFileName(dest / "rdrmain.DB"), "select * from records"),
              (Rows{{"Main Entrance", "007"}}));
    EXPECT_FALSE(FileExists(dest / "rdrmain.PX"));
}

// The records the data blocks hold are the table; the header's count is
// only compared with them.
TEST_F(ParadoxImport, TheBlocksCountTheRecordsAndAHeaderThatCountsMoreFailsTheTable) {
    std::vector<std::vector<PxCell>> rows;
    for (int i = 0; i < 500; ++i)
        rows.push_back(PxTransaction(i, "Door 7", 27, 8, i % 60, "123456", "Ann"));
    const auto withCount = [&](const std::string& name, uint32_t count) {
        WriteParadoxTable(dir_ / name, PxTransactionFields(), rows);
        std::string bytes = ReadWholeFile(dir_ / name);
        for (int i = 0; i < 4; ++i)
            bytes[6 + i] = static_cast<char>(count >> (8 * i));
        WriteWholeFile(dir_ / name, bytes);
    };
    withCount("FEWER.DB", 300);
    withCount("MORE.DB", 600);
    for (const bool checkOnly : {true, false}) {
        ImportOptions options;
        options.check = checkOnly;
        const auto reports = ImportParadox(dir_.path(), "", options);
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_FALSE(reports[0].failed);
        EXPECT_EQ(reports[0].read, 500);
        EXPECT_NE(SummaryLine(reports[0], checkOnly)
                      .find("; the header counts 300 records, the data blocks hold 500"),
                  std::string::npos)
            << SummaryLine(reports[0], checkOnly);
        EXPECT_TRUE(reports[1].failed);
        EXPECT_NE(SummaryLine(reports[1], checkOnly)
                      .find("the header counts 600 records, the data blocks hold only 500"),
                  std::string::npos)
            << SummaryLine(reports[1], checkOnly);
    }
    EXPECT_EQ(PlainRead(dir_ / "FEWER.DB", "select count(*) from records"), (Rows{{"500"}}));
    EXPECT_TRUE(IsParadoxTableFile(dir_ / "MORE.DB"));
}

// What an import stopped between two renames left is settled by the next:
// a table whose Paradox .DB had moved is put in place, one whose .DB had not
// is converted again, and a half-written one is thrown away.
TEST_F(ParadoxImport, AnInterruptedImportIsSettledByTheNext) {
    const std::string originals = dir_ / "paradox-originals/";
    fs::create_directories(originals);
    Staging staging(dir_.path(), dir_.path(), originals);
    for (const char* name : {"TR261208", "TR271208", "TR281208"}) {
        MakeDayTable(dir_.path(), name);
        const std::string staged = staging.Begin(name);
        EngineTable table(staged, name, {{"Note", db::local::FieldKind::Text, 10}});
        table.Write({db::Value::Text(std::string("staged ") + name)});
        table.Finish({});
    }
    // Stopped after every Paradox file of TR261208 had moved aside...
    staging.MarkReady("TR261208", FamilyFiles(dir_.path(), "TR261208"));
    for (const auto& f : FamilyFiles(dir_.path(), "TR261208"))
        fs::rename(dir_ / f, originals + f);
    // ... after only the index of TR271208 had ...
    staging.MarkReady("TR271208", FamilyFiles(dir_.path(), "TR271208"));
    fs::rename(dir_ / "TR271208.PX", originals + "TR271208.PX");
    // ... and while TR281208 was being written.

    std::vector<std::string> lines;
    ImportParadox(dir_.path(), "", {},
                  [&](const TableReport& r) { lines.push_back(SummaryLine(r, false)); });
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "TR261208.DB: imported (an interrupted import had converted it)");
    EXPECT_NE(lines[1].find("TR271208.DB: 3 records read, 3 written"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("TR281208.DB: 3 records read, 3 written"), std::string::npos)
        << lines[2];
    EXPECT_EQ(PlainRead(dir_ / "TR261208.DB", "select * from records"),
              (Rows{{"staged TR261208"}}));
    EXPECT_EQ(PlainRead(dir_ / "TR271208.DB", "select count(*) from records"), (Rows{{"3"}}));
    for (const char* name : {"TR261208", "TR271208", "TR281208"}) {
        for (const char* ext : {".DB", ".PX", ".XG0", ".YG1"})
            EXPECT_TRUE(IsParadoxTableFile(originals + name + ".DB") &&
                        FileExists(originals + name + ext))
                << name << ext;
    }
    EXPECT_FALSE(fs::exists(dir_ / ".paradox-import"));
}

TEST_F(ParadoxImport, TheEngineNamesAParadoxTableItIsAskedToOpen) {
    MakeDayTable(dir_.path(), "TR261208");
    db::Database database(engine_, "KD1", "STANDARD", "Default");
    database.AddParam("path=" + dir_.path());
    database.Open();
    db::Table t(engine_, "TransTable", "KD1");
    t.SetTableName("tr261208");
    try {
        t.Open();
        ADD_FAILURE() << "a Paradox table opened";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  "TR261208.DB is a Paradox table: convert it with tallon-db import-paradox");
    }
}

}  // namespace
}  // namespace tallon::test
