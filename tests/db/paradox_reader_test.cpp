// Reading Paradox tables made by the Paradox library's writer, and the
// memo files and damage that writer cannot make, written as bytes.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "base/errors.h"
#include "db/paradox/detect.h"
#include "db/paradox/reader.h"
#include "tests/db/local_fixture.h"
#include "tests/support/paradox_writer.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

using namespace db::paradox;
using V = FieldValue;

std::vector<std::vector<FieldValue>> ReadAll(Reader& r) {
    std::vector<std::vector<FieldValue>> rows;
    for (int64_t n = 0; n < r.RecordCount(); ++n) {
        std::string why;
        rows.emplace_back();
        EXPECT_TRUE(r.Next(rows.back(), why)) << "record " << n + 1 << ": " << why;
    }
    return rows;
}

std::string Failure(Reader& r) {
    std::vector<FieldValue> v;
    std::string why;
    for (int64_t n = 0; n < r.RecordCount(); ++n)
        if (!r.Next(v, why))
            return why;
    return "";
}

// The message a table that must not open gives.
std::string Refusal(const std::string& path) {
    try {
        Reader r(path);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(opened)";
}

TEST(ParadoxReader, EveryKindWithNullsAndStoredBytesPlainAndPasswordProtected) {
    TempDir dir;
    const std::vector<PxField> fields = {
        {"Card No", kAlpha, 10},  {"Day", kDate, 4},   {"At", kTime, 4},
        {"Small", kShort, 2},     {"Count", kLong, 4}, {"Rate", kNumber, 8},
        {"Fee", kCurrency, 8},    {"OK", kLogical, 1}, {"Id", kAutoIncrement, 4},
        {"Stamp", kTimestamp, 8}, {"Note", kMemo, 20}, {"Amount", kBcd, 17, 2}};
    const std::vector<std::vector<PxCell>> rows = {
        {PxText("Caf\xe9 \xd8"), PxDate(2008, 12, 26), PxTime(8, 5, 7), PxLong(-5), PxLong(-123456),
         PxDouble(-1.5), PxDouble(2.25), PxLong(0), PxLong(7), PxTimestamp(1999, 2, 28, 23, 59, 58),
         PxText("short"), PxText("-1234.56")},
        {PxNull(), PxNull(), PxNull(), PxNull(), PxNull(), PxNull(), PxNull(), PxNull(), PxLong(8),
         PxNull(), PxNull(), PxNull()},
        {PxText("x"), PxDate(1, 1, 1), PxTime(0, 0, 0), PxLong(0), PxLong(0), PxDouble(0),
         PxDouble(0), PxLong(1), PxLong(9), PxNull(), PxNull(), PxText("0.00")}};
    WriteParadoxTable(dir / "ALL.DB", fields, rows, 0, 1252);
    WriteParadoxTable(dir / "LOCKED.DB", fields, rows, 0, 1252, "secret");
    EXPECT_TRUE(IsParadoxTableFile(dir / "ALL.DB"));

    for (const char* name : {"ALL.DB", "LOCKED.DB"}) {
        SCOPED_TRACE(name);
        Reader r(dir / name);
        EXPECT_EQ(r.Encrypted(), std::string(name) == "LOCKED.DB");
        EXPECT_EQ(r.CodePage(), 1252);
        EXPECT_EQ(r.RecordCount(), 3);
        EXPECT_EQ(r.HeaderRecordCount(), 3);
        ASSERT_EQ(r.Fields().size(), fields.size());
        EXPECT_EQ(r.Fields()[0].name, "Card No");
        EXPECT_EQ(r.Fields()[0].length, 10);
        EXPECT_EQ(r.Fields()[11].decimals, 2);
        const auto v = ReadAll(r);
        ASSERT_EQ(v.size(), 3u);

        EXPECT_EQ(v[0][0].s, "Caf\xe9 \xd8");  // not recoded
        EXPECT_EQ(std::vector<int>({v[0][1].year, v[0][1].month, v[0][1].day}),
                  std::vector<int>({2008, 12, 26}));
        EXPECT_EQ(v[0][2].ms, (8 * 3600 + 5 * 60 + 7) * 1000);
        EXPECT_EQ(v[0][3].i, -5);
        EXPECT_EQ(v[0][4].i, -123456);
        EXPECT_EQ(v[0][5].r, -1.5);
        EXPECT_EQ(v[0][6].r, 2.25);
        EXPECT_EQ(v[0][7].kind, V::Int);
        EXPECT_EQ(v[0][7].i, 0);
        EXPECT_EQ(v[0][8].i, 7);
        EXPECT_EQ(v[0][9].kind, V::Timestamp);
        EXPECT_EQ(std::vector<int>({v[0][9].year, v[0][9].month, v[0][9].day}),
                  std::vector<int>({1999, 2, 28}));
        EXPECT_EQ(v[0][9].ms, (23 * 3600 + 59 * 60 + 58) * 1000);
        EXPECT_EQ(v[0][10].kind, V::Text);
        EXPECT_EQ(v[0][10].s, "short");
        EXPECT_EQ(v[0][11].kind, V::Real);
        EXPECT_EQ(v[0][11].r, -1234.56);

        // NULL stays NULL for every kind, including those whose empty bytes
        // decode to the most negative value or to zero.
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i != 8) {
                EXPECT_EQ(v[1][i].kind, V::Null) << fields[i].name;
            }
        }
        // Zero, midnight and the first day are values, not NULLs.
        EXPECT_EQ(v[2][1].kind, V::Date);
        EXPECT_EQ(v[2][1].year, 1);
        EXPECT_EQ(v[2][2].kind, V::Time);
        EXPECT_EQ(v[2][3].kind, V::Int);
        EXPECT_EQ(v[2][5].kind, V::Real);
        EXPECT_EQ(v[2][7].i, 1);
        EXPECT_EQ(v[2][11].kind, V::Real);
        EXPECT_EQ(v[2][11].r, 0);
    }
}

// Memos longer than their field live in the .MB file: in a block of their
// own, or in a block shared by short ones.
TEST(ParadoxReader, MemosFromTheBlobFileByteForByteAndEveryBadPointerNamed) {
    TempDir dir;
    std::string binary;
    for (int i = 0; i < 5000; ++i)
        binary += static_cast<char>(i * 7 % 256);  // every byte, NULs and high ones
    const std::string shared = "A memo of a few lines,\r\nshort enough to share a block.";
    const std::string db = dir / "NOTES.DB";
    const auto makeTable = [&](uint32_t key) {
        WriteParadoxTable(db, {{"Id", kLong, 4}, {"Note", kMemo, 20}},
                          {{PxLong(1), PxNull()},
                           {PxLong(2), PxNull()},
                           {PxLong(3), PxText("fits")},
                           {PxLong(4), PxNull()}});
        std::vector<uint32_t> at;
        WriteWholeFile(dir / "NOTES.MB", PxMemoFile({binary}, {shared}, key, at));
        PxPointMemo(db, 0, 4, 20, at[0], binary);
        PxPointMemo(db, 1, 4, 20, at[1], shared);
        if (key)
            PxScramble(db, key);
    };
    for (const uint32_t key : {0u, 0x6E25449Au}) {
        SCOPED_TRACE(key);
        makeTable(key);
        Reader r(db);
        EXPECT_EQ(r.Encrypted(), key != 0);
        const auto v = ReadAll(r);
        ASSERT_EQ(v.size(), 4u);
        EXPECT_EQ(v[0][1].s, binary);
        EXPECT_EQ(v[1][1].s, shared);
        EXPECT_EQ(v[2][1].s, "fits");
        EXPECT_EQ(v[3][1].kind, V::Null);
    }

    // Whatever is wrong with the .MB file, the record fails naming its field.
    std::vector<uint32_t> at, elsewhere;
    PxMemoFile({binary}, {shared}, 0, at);
    const std::string other = PxMemoFile({std::string(5000, 'z')}, {}, 0, elsewhere);
    std::string noise(8192, '\x5A');
    const std::vector<std::pair<std::function<void()>, std::string>> damage = {
        {[&] { std::remove((dir / "NOTES.MB").c_str()); }, "lies in NOTES.MB, which is missing"},
        {[&] { WriteWholeFile(dir / "NOTES.MB", other); },
         "does not begin with the text the record holds"},
        {[&] { WriteWholeFile(dir / "NOTES.MB", noise); }, "not a memo file"},
        {[&] { PxPointMemo(db, 0, 4, 20, 0x7F0000FF, binary); }, "outside"},
        {[&] { PxPointMemo(db, 0, 4, 20, (at[1] & 0xFFFFFF00u) | 0x10, binary); },
         "holds no memo under index 16"},
        {[&] { PxPointMemo(db, 0, 4, 20, 0x10FF, binary + "x"); }, "the record says 5001"},
    };
    for (const auto& [harm, expected] : damage) {
        makeTable(0);
        harm();
        Reader r(db);
        const std::string why = Failure(r);
        EXPECT_NE(why.find("field \"Note\": "), std::string::npos) << why;
        EXPECT_NE(why.find(expected), std::string::npos) << why;
    }
}

TEST(ParadoxReader, DamagedAndForeignFilesAreRefusedWithWhereTheyAreDamaged) {
    TempDir dir;
    std::vector<std::vector<PxCell>> rows;
    for (int i = 0; i < 200; ++i)
        rows.push_back(PxTransaction(i, "Door 7", 26, 8, i % 60, "123456", "Ann"));
    WriteParadoxTable(dir / "TR.DB", PxTransactionFields(), rows);
    const std::string whole = ReadWholeFile(dir / "TR.DB");
    const PxLayout layout = PxLayoutOf(whole);
    ASSERT_GE(layout.blocks, 3);

    // A last block cut short after its records still reads whole.
    const int64_t lastRecords = layout.RecordsIn(whole, layout.blocks);
    ASSERT_GE(lastRecords, 2);
    const auto end = static_cast<size_t>(layout.BlockOffset(layout.blocks) + 6 +
                                         lastRecords * layout.recordSize);
    WriteWholeFile(dir / "SLACK.DB", whole.substr(0, end + 3));
    {
        Reader slack(dir / "SLACK.DB");
        EXPECT_EQ(ReadAll(slack).size(), 200u);
    }

    WriteWholeFile(dir / "CUT.DB", whole.substr(0, end - layout.recordSize - 10));
    std::string loop = whole;
    loop[static_cast<size_t>(layout.BlockOffset(3))] = 2;  // block 3 leads back to block 2
    loop[static_cast<size_t>(layout.BlockOffset(3)) + 1] = 0;
    WriteWholeFile(dir / "LOOP.DB", loop);
    std::string far = whole;
    far[static_cast<size_t>(layout.BlockOffset(1)) + 1] = 0x70;  // block 1 leads far past the end
    WriteWholeFile(dir / "FAR.DB", far);
    // The header is intact, so the engine still knows these for Paradox tables.
    EXPECT_TRUE(IsParadoxTableFile(dir / "CUT.DB"));
    EXPECT_NE(Refusal(dir / "CUT.DB").find("truncated: records 199 to 200"), std::string::npos)
        << Refusal(dir / "CUT.DB");
    EXPECT_NE(Refusal(dir / "LOOP.DB").find("the block chain loops: block 3 leads to block 2"),
              std::string::npos)
        << Refusal(dir / "LOOP.DB");
    EXPECT_NE(Refusal(dir / "FAR.DB").find("past the end of the file"), std::string::npos)
        << Refusal(dir / "FAR.DB");

    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919 + 13) % 251);
    WriteWholeFile(dir / "RND.DB", noise);
    WriteWholeFile(dir / "TINY.DB", whole.substr(0, 40));
    for (const char* name : {"RND.DB", "TINY.DB"}) {
        EXPECT_FALSE(IsParadoxTableFile(dir / name)) << name;
        EXPECT_THROW(Reader(dir / name), Exception) << name;
    }

    // An engine table is not a Paradox one.
    {
        db::Engine engine;
        engine.Directory(dir.path()).CreateTable("ENGINE", TransactionFields());
    }
    EXPECT_FALSE(IsParadoxTableFile(dir / "ENGINE.DB"));
}

}  // namespace
}  // namespace tallon::test
