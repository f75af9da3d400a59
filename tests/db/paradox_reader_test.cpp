// Reading Paradox tables made by the Paradox library's writer.

#include <gtest/gtest.h>

#include <fstream>

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

TEST(ParadoxReader, EveryKindWithNullsAndStoredBytes) {
    TempDir dir;
    const std::vector<PxField> fields = {
        {"Card No", kAlpha, 10},  {"Day", kDate, 4},   {"At", kTime, 4},
        {"Small", kShort, 2},     {"Count", kLong, 4}, {"Rate", kNumber, 8},
        {"Fee", kCurrency, 8},    {"OK", kLogical, 1}, {"Id", kAutoIncrement, 4},
        {"Stamp", kTimestamp, 8}, {"Note", kMemo, 20}};
    WriteParadoxTable(dir / "ALL.DB", fields,
                      {{PxText("Caf\xe9 \xd8"), PxDate(2008, 12, 26), PxTime(8, 5, 7), PxLong(-5),
                        PxLong(-123456), PxDouble(-1.5), PxDouble(2.25), PxLong(0), PxLong(7),
                        PxTimestamp(1999, 2, 28, 23, 59, 58), PxText("short")},
                       {PxNull(), PxNull(), PxNull(), PxNull(), PxNull(), PxNull(), PxNull(),
                        PxNull(), PxLong(8), PxNull(), PxNull()},
                       {PxText("x"), PxDate(1, 1, 1), PxTime(0, 0, 0), PxLong(0), PxLong(0),
                        PxDouble(0), PxDouble(0), PxLong(1), PxLong(9), PxNull(), PxNull()}},
                      0, 1252);
    EXPECT_TRUE(IsParadoxTableFile(dir / "ALL.DB"));

    Reader r(dir / "ALL.DB");
    EXPECT_EQ(r.CodePage(), 1252);
    EXPECT_EQ(r.RecordCount(), 3);
    ASSERT_EQ(r.Fields().size(), fields.size());
    EXPECT_EQ(r.Fields()[0].name, "Card No");
    EXPECT_EQ(r.Fields()[0].length, 10);

    std::vector<FieldValue> v;
    std::string why;
    ASSERT_TRUE(r.Read(0, v, why)) << why;
    EXPECT_EQ(v[0].s, "Caf\xe9 \xd8");  // not recoded
    EXPECT_EQ(std::vector<int>({v[1].year, v[1].month, v[1].day}),
              std::vector<int>({2008, 12, 26}));
    EXPECT_EQ(v[2].ms, (8 * 3600 + 5 * 60 + 7) * 1000);
    EXPECT_EQ(v[3].i, -5);
    EXPECT_EQ(v[4].i, -123456);
    EXPECT_EQ(v[5].r, -1.5);
    EXPECT_EQ(v[6].r, 2.25);
    EXPECT_EQ(v[7].kind, V::Int);
    EXPECT_EQ(v[7].i, 0);
    EXPECT_EQ(v[8].i, 7);
    EXPECT_EQ(v[9].kind, V::Timestamp);
    EXPECT_EQ(std::vector<int>({v[9].year, v[9].month, v[9].day}), std::vector<int>({1999, 2, 28}));
    EXPECT_EQ(v[9].ms, (23 * 3600 + 59 * 60 + 58) * 1000);
    EXPECT_EQ(v[10].kind, V::Text);
    EXPECT_EQ(v[10].s, "short");

    // NULL stays NULL for every kind, including those whose empty bytes
    // decode to the most negative value or to zero.
    ASSERT_TRUE(r.Read(1, v, why)) << why;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i != 8) {
            EXPECT_EQ(v[i].kind, V::Null) << fields[i].name;
        }
    }
    // Zero, midnight and the first day are values, not NULLs.
    ASSERT_TRUE(r.Read(2, v, why)) << why;
    EXPECT_EQ(v[1].kind, V::Date);
    EXPECT_EQ(v[1].year, 1);
    EXPECT_EQ(v[2].kind, V::Time);
    EXPECT_EQ(v[3].kind, V::Int);
    EXPECT_EQ(v[5].kind, V::Real);
    EXPECT_EQ(v[7].i, 1);
}

TEST(ParadoxReader, DamagedAndForeignFilesAreRefused) {
    TempDir dir;
    std::vector<std::vector<PxCell>> rows;
    for (int i = 0; i < 200; ++i)
        rows.push_back(PxTransaction(i, "Door 7", 26, 8, i % 60, "123456", "Ann"));
    WriteParadoxTable(dir / "TR.DB", PxTransactionFields(), rows);
    const std::string whole = ReadWholeFile(dir / "TR.DB");
    WriteWholeFile(dir / "CUT.DB", whole.substr(0, whole.size() - 5000));
    // The header is intact, so the engine still knows it for a Paradox table.
    EXPECT_TRUE(IsParadoxTableFile(dir / "CUT.DB"));
    try {
        Reader cut(dir / "CUT.DB");
        ADD_FAILURE() << "a truncated table opened";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("truncated"), std::string::npos) << e.Message();
    }

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
