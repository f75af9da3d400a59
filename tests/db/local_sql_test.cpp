#include <gtest/gtest.h>

#include "base/regional.h"
#include "db/connection.h"
#include "tests/db/local_fixture.h"

namespace tallon::test {
namespace {

using db::Quoted;

class LocalSqlTest : public LocalDbTest {
  protected:
    void SetUp() override {
        LocalDbTest::SetUp();
        using K = db::local::FieldKind;
        engine_.Directory(dir_.path())
            .CreateTable("rdrmain", {{"tag_name", K::Text, 30},
                                     {"logical_point", K::Text, 5},
                                     {"spare3", K::Text, 30}});
        engine_.Directory(dir_.path())
            .CreateTable("cards", {{"Card_Number", K::Text, 10},
                                   {"Name", K::Text, 40},
                                   {"Staff_number", K::Text, 15},
                                   {"User1", K::Text, 30},
                                   {"User2", K::Text, 30},
                                   {"User3", K::Text, 30},
                                   {"Limit", K::Float, 0},
                                   {"Visits", K::Integer, 0}});
        Exec("insert into rdrmain values('Door 7', '007', '')");
        Exec("insert into rdrmain values('Door 12', '012', '')");
        Exec("insert into cards values('123456', 'Ann', 'S1', 'a', 'b', 'c', 5.0, 3)");
        Exec("insert into cards values('654321', 'Bob', 'S2', '', '', '', 1.25, 0)");
        db::Table t(engine_, "Reindex", "KD1");
        t.SetTableName("cards");
        t.AddIndex("", "Card_Number", db::ixPrimary);
    }

    void Exec(const std::string& sql) {
        db::Query q(engine_, "Query1", "KD1");
        q.Add(sql);
        q.ExecSQL();
    }

    int Count(const std::string& sql) {
        db::Query q(engine_, "Query1", "KD1");
        q.Add(sql);
        q.Open();
        return q.RecordCount();
    }

    std::string Plan(const std::string& sql) {
        std::string plan;
        db::Query q(engine_, "Query1", "KD1");
        q.Add("explain query plan " + sql);
        q.Open();
        for (const auto& row : q.Result().values)
            plan += row.back() + "\n";
        return plan;
    }
};

TEST_F(LocalSqlTest, LookupStatementsAsTheWritersWriteThem) {
    db::Query q(engine_, "Query1", "KD1");
    q.Add("select tag_name from RDRMAIN where logical_point='007'");
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1);
    EXPECT_EQ(q.FieldAsString("TAG_NAME"), "Door 7");

    q.Close();
    q.Clear();
    q.Add("select * from cards where cards.\"Card_Number\"='123456'");
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1);
    EXPECT_EQ(q.FieldAsString("Name"), "Ann");
    EXPECT_EQ(q.FieldAsString("staff_number"), "S1");
    EXPECT_EQ(q.FieldAsString("Limit"), "5");
    EXPECT_EQ(q.FieldAsString("Visits"), "3");
    try {
        q.FieldAsString("x");
        ADD_FAILURE() << "missing column read";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Query1: Field 'x' not found");
    }
    EXPECT_EQ(Scalar("select \"Limit\" from cards where Card_Number='654321'", "limit"), "1.25");

    EXPECT_EQ(Count("select * from cards where cards.\"Card_Number\"='999999'"), 0);
    EXPECT_NE(Plan("select * from cards where cards.\"Card_Number\"='123456'").find("USING INDEX"),
              std::string::npos);

    // Several tables in one statement.
    EXPECT_EQ(Count("select c.Name, r.tag_name from cards c, rdrmain r where "
                    "c.Card_Number='123456' and r.logical_point='012'"),
              1);
    EXPECT_THROW(Count("select * from nosuchtable"), EDatabaseError);
    EXPECT_THROW(Count("select * from cards where"), EDatabaseError);
    EXPECT_THROW(Count("select * from cards; delete from cards"), EDatabaseError);
    EXPECT_EQ(Count("select * from cards"), 2);
}

TEST_F(LocalSqlTest, QuotedValuesAreStoredAndComparedExactly) {
    for (const std::string v : {"12'45", "x' or '1'='1", "'", "a''b", "\"dq\"", "semi;colon"}) {
        SCOPED_TRACE(v);
        Exec("insert into cards (Card_Number, Name) values(" + Quoted(v) + ", " + Quoted(v) + ")");
        db::Query q(engine_, "Query1", "KD1");
        q.Add("select * from cards where cards.\"Card_Number\"=" + Quoted(v));
        q.Open();
        ASSERT_EQ(q.RecordCount(), 1);
        EXPECT_EQ(q.FieldAsString("Name"), v);
    }
    // A value built to widen the condition finds nothing and changes nothing.
    EXPECT_EQ(Count("select * from cards where Card_Number=" + Quoted("nope' or '1'='1")), 0);
    Exec("delete from cards where Card_Number=" + Quoted("zz' or '1'='1"));
    EXPECT_EQ(Count("select * from cards"), 8);
    EXPECT_EQ(Quoted("it's"), "'it''s'");
    // An unescaped quote cannot slip through either: it is a broken statement.
    EXPECT_THROW(Count("select * from cards where Card_Number='12'45'"), EDatabaseError);
}

TEST_F(LocalSqlTest, DuplicateCheckWithTimesInRegionalFormats) {
    MakeTransactionTable("TR020606");
    db::Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TR020606");
    t.Open();
    AppendRecord(t, 10, 14, 5, "123456", "Door 7", "1");
    AppendRecord(t, 11, 9, 30, "654321", "Door 7", "1");
    t.Close();

    const auto check = [&](const std::string& time) {
        return Count(
            "select * from TR020606 where TR020606.\"device name\"='Door 7' and "
            "TR020606.\"card no\"='123456' and TR020606.\"trans code\"='1' and "
            "TR020606.\"time\"='" +
            time + "'");
    };
    RegionalSettings twelve;
    twelve.twelveHourClock = true;
    twelve.leadingZeroHour = false;
    {
        ScopedRegionalSettings s(twelve);
        EXPECT_EQ(check("2:05:00 PM"), 1);
        EXPECT_EQ(check("2:05:00 AM"), 0);
        EXPECT_EQ(Count("select * from tr020606 where \"Time\" < '10:00:00 AM'"), 1);
    }
    RegionalSettings twentyFour;
    {
        ScopedRegionalSettings s(twentyFour);
        EXPECT_EQ(check("14:05:00"), 1);
        EXPECT_EQ(check("14:06:00"), 0);
        EXPECT_THROW(check("quarter past two"), EDatabaseError);
        EXPECT_EQ(Count("select * from TR020606 where Date='2002-06-06'"), 2);
        EXPECT_EQ(Count("select * from TR020606 where Date='6/6/2002'"), 2);
        EXPECT_EQ(Count("select * from TR020606 where Date>'06/06/2002'"), 0);
        EXPECT_THROW(Count("select * from TR020606 where Date='2002-02-30'"), EDatabaseError);
    }
    // The check runs on an index, not a scan of the day's records.
    const std::string plan = Plan(
        "select * from TR020606 where TR020606.\"device name\"='Door 7' and "
        "TR020606.\"card no\"='123456' and TR020606.\"trans code\"='1' and "
        "TR020606.\"time\"='14:05:00'");
    EXPECT_NE(plan.find("USING INDEX"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
    // It narrows by time and card too, not only to the door's records.
    EXPECT_NE(plan.find("Time=?"), std::string::npos) << plan;
    EXPECT_NE(plan.find("Card No=?"), std::string::npos) << plan;
    // The case-insensitive index still orders and matches without regard to case.
    EXPECT_EQ(Count("select * from TR020606 where \"Device Name\"='DOOR 7' collate nocase"), 2);
}

}  // namespace
}  // namespace tallon::test
