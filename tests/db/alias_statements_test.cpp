// The external writer's statements, run the same way on an SQLite alias and
// on a PostgreSQL alias built from the shipped schema scripts.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>

#include "base/errors.h"
#include "db/alias/config.h"
#include "db/connection.h"
#include "db/query.h"
#include "tests/support/alias_access.h"
#include "tests/support/pg_server.h"
#include "tests/support/temp_dir.h"

namespace tallon::db {
namespace {

using test::TempDir;

// Doubles embedded quotes, as the writers quote their values.
std::string Q(const std::string& v) {
    return Quoted(v);
}

// A column of a row by name, without regard to case (as the writers read
// "Staff_number" from PostgreSQL's "staff_number").
std::string Field(const Selected& r, const std::string& name, size_t row = 0) {
    for (size_t i = 0; i < r.columns.size(); ++i) {
        if (strcasecmp(r.columns[i].c_str(), name.c_str()) == 0) {
            return r.rows.at(row).at(i);
        }
    }
    return "<no column " + name + ">";
}

bool FieldIsNull(const Selected& r, const std::string& name) {
    for (size_t i = 0; i < r.columns.size(); ++i) {
        if (strcasecmp(r.columns[i].c_str(), name.c_str()) == 0) {
            return r.nulls.at(0).at(i);
        }
    }
    return false;
}

std::string ReaderLookup(const std::string& n, const std::string* readerId) {
    std::string sql =
        "select tag_name from rdrmain where logical_point in (" + Q(n) + "," + Q("0" + n) + ")";
    if (readerId) {
        return sql + " and substring(spare3,1,12)=" + Q(*readerId);
    }
    return sql + " and (spare3=" + Q("") + " or (spare3 is NULL))";
}

std::string DuplicateCheck(const std::string& device, const std::string& date,
                           const std::string& time, const std::string& card,
                           const std::string& code) {
    return "select * from trans where device_name=" + Q(device) + " and date=" + Q(date) +
           " and time=" + Q(time) + " and card_no=" + Q(card) + " and trans_code=" + Q(code);
}

std::string Insert(const std::vector<std::string>& values) {
    std::string sql = "insert into trans values(";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) {
            sql += ',';
        }
        sql += Q(values[i]);
    }
    return sql + ")";
}

std::vector<std::string> TransRow(const std::string& id, const std::string& card,
                                  const std::string& device, const std::string& name) {
    return {id,   "140500", card, "20260606", device, ".", name, "S1",
            "u1", "u2",     "",   "",         "1",    "",  "0"};
}

class AliasStatementsTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        CloseAliasConnections();
        std::string config;
        const std::string schemaFile =
            std::string(TALLON_SOURCE_DIR) + "/schema/external-" + GetParam() + ".sql";
        if (GetParam() == "sqlite") {
            config = "[Brindle]\ndriver=sqlite\ndatabase=brindle.sqlite\n";
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open((dir_ / "brindle.sqlite").c_str(), &db), SQLITE_OK);
            sqlite3_close(db);
        } else {
            TALLON_NEED_PG_SERVER(pg);
            pg->CreateDatabase("brindle_statements", "tallon", "alias pw");
            config = "[Brindle]\ndriver=postgresql\nconnection=\"" +
                     pg->ConnectionString("brindle_statements", "tallon", "'alias pw'") + "\"\n";
        }
        test::WriteWholeFile(dir_ / "tallon-db.conf", config);
        setenv("TALLON_DB_CONF", (dir_ / "tallon-db.conf").c_str(), 1);
        conn_ = OpenAliasConnection("Brindle");
        ASSERT_NE(conn_, nullptr);
        // The schema goes through the alias as one multi-statement text.
        ExecOn(conn_, test::ReadWholeFile(schemaFile));
    }

    void TearDown() override {
        CloseAliasConnections();
        unsetenv("TALLON_DB_CONF");
    }

    TempDir dir_;
    Connection* conn_ = nullptr;
};

TEST_P(AliasStatementsTest, ReaderLookupMatchesUnitForms) {
    if (!conn_) {
        return;  // skipped in SetUp
    }
    ExecOn(conn_,
           "insert into rdrmain (logical_point, tag_name, spare3) values "
           "('7', 'Door 7', 'READER-00001 and more'), ('07', 'Door 07 bare', ''), "
           "('17', 'Door 17 null', NULL), ('017', 'Door 017 blanks', '            rest'), "
           "('007', 'Door 007', NULL)");
    const std::string id = "READER-00001";
    auto r = SelectOn(conn_, ReaderLookup("7", &id));
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(Field(*r, "tag_name"), "Door 7");

    // Without a reader identification only empty or missing spare3 match;
    // logical points compare as text, so '007' is not unit 7.
    r = SelectOn(conn_, ReaderLookup("7", nullptr));
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(Field(*r, "TAG_NAME"), "Door 07 bare");
    r = SelectOn(conn_, ReaderLookup("17", nullptr));
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(Field(*r, "tag_name"), "Door 17 null");

    const std::string blanks(12, ' ');
    r = SelectOn(conn_, ReaderLookup("17", &blanks));
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(Field(*r, "tag_name"), "Door 017 blanks");

    const std::string other = "READER-00002";
    EXPECT_TRUE(SelectOn(conn_, ReaderLookup("7", &other))->rows.empty());
}

TEST_P(AliasStatementsTest, CardLookupDuplicateCheckAndInsertKeepValuesExactly) {
    if (!conn_) {
        return;
    }
    const std::string card = "12'4\\6";  // a quote and a backslash in the card field
    const std::string name = std::string("O'Br\xE9") + "n; drop table trans; --";
    ExecOn(conn_, "insert into cards (Card_Number, Name, Staff_number, User1, User2) values (" +
                      Q(card) + "," + Q(name) + ",'S-9','Dept','Post')");

    auto r = SelectOn(conn_, "select * from cards where Card_Number=" + Q(card));
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(Field(*r, "Name"), name);
    EXPECT_EQ(Field(*r, "Staff_number"), "S-9");
    EXPECT_EQ(Field(*r, "User2"), "Post");
    EXPECT_EQ(Field(*r, "User3"), "");
    EXPECT_TRUE(FieldIsNull(*r, "User3"));
    EXPECT_FALSE(FieldIsNull(*r, "User1"));
    EXPECT_TRUE(SelectOn(conn_, "select * from cards where Card_Number='12'")->rows.empty());

    const std::string device = "Door 'A'";
    EXPECT_TRUE(
        SelectOn(conn_, DuplicateCheck(device, "20260606", "140500", card, "1"))->rows.empty());
    ExecOn(conn_, Insert(TransRow("26060614050001", card, device, name)));
    r = SelectOn(conn_, DuplicateCheck(device, "20260606", "140500", card, "1"));
    ASSERT_EQ(r->rows.size(), 1u);
    ASSERT_EQ(r->columns.size(), 15u);
    EXPECT_EQ(r->rows[0][0], "26060614050001");
    EXPECT_EQ(r->rows[0][2], card);
    EXPECT_EQ(r->rows[0][6], name);
    EXPECT_EQ(Field(*r, "device_name"), device);
    EXPECT_EQ(r->rows[0][14], "0");
    // Every other field of the check must match too.
    EXPECT_TRUE(
        SelectOn(conn_, DuplicateCheck(device, "20260606", "140500", card, "2"))->rows.empty());
    EXPECT_TRUE(
        SelectOn(conn_, DuplicateCheck(device, "20260606", "140600", card, "1"))->rows.empty());

    // The same record id again breaks the table's key: an engine error that
    // says so by its code, and the table still holds one row. Another broken
    // constraint is not a key clash.
    auto codeOf = [&](const std::string& sql) {
        try {
            ExecOn(conn_, sql);
        } catch (const EDatabaseError& e) {
            return e.Code();
        }
        ADD_FAILURE() << "no error: " << sql;
        return DatabaseErrorCode::Other;
    };
    EXPECT_EQ(codeOf(Insert(TransRow("26060614050001", "999", "D", "N"))),
              DatabaseErrorCode::UniqueViolation);
    EXPECT_EQ(codeOf("insert into trans (trans_id) values (NULL)"), DatabaseErrorCode::Other);
    EXPECT_EQ(SelectOn(conn_, "select * from trans")->rows.size(), 1u);
    EXPECT_EQ(Field(*SelectOn(conn_, "select * from cards"), "Name"), name);
}

TEST_P(AliasStatementsTest, EveryHighByteRoundTrips) {
    if (!conn_) {
        return;
    }
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    ExecOn(conn_, "insert into cards (Card_Number, Name) values ('bytes', " + Q(all) + ")");
    auto r = SelectOn(conn_, "select Name from cards where Card_Number='bytes'");
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(r->rows[0][0], all);
    // Compared as stored, byte for byte.
    EXPECT_EQ(SelectOn(conn_, "select Name from cards where Name=" + Q(all))->rows.size(), 1u);
}

TEST_P(AliasStatementsTest, SqlErrorsCarryTheDatabaseMessage) {
    if (!conn_) {
        return;
    }
    try {
        SelectOn(conn_, "select * from no_such_table");
        FAIL() << "no error";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("no_such_table"), std::string::npos) << e.Message();
        EXPECT_EQ(e.Code(), DatabaseErrorCode::Other);
    }
    // The connection is still usable afterwards.
    EXPECT_TRUE(SelectOn(conn_, "select * from trans")->rows.empty());
}

// The way the external writer reaches the alias: a query object by alias
// name, values through Quoted, columns read by name in any letter case.
TEST_P(AliasStatementsTest, QueryObjectOnTheAlias) {
    if (!conn_) {
        return;
    }
    Query q(TestEngine(), "Query1", "brindle");
    q.Add("insert into cards (Card_Number, Name, Staff_number, User1, User2, User3)");
    q.Add("values (" + Quoted("0000123456") + "," + Quoted("Ann 'Nan' Lee") + ",'S7','a','b','c')");
    q.ExecSQL();

    q.Close();
    q.Clear();
    q.Add("select * from cards where Card_Number=" + Quoted("0000123456"));
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1);
    EXPECT_EQ(q.FieldAsString("Name"), "Ann 'Nan' Lee");
    EXPECT_EQ(q.FieldAsString("Staff_number"), "S7");
    EXPECT_EQ(q.FieldAsString("USER3"), "c");
    try {
        q.FieldAsString("Badge");
        FAIL() << "no error for a missing column";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Query1: Field 'Badge' not found");
    }

    q.Close();
    q.Clear();
    q.Add("select * from cards where Card_Number=" + Quoted("0000123456' or '1'='1"));
    q.Open();
    EXPECT_EQ(q.RecordCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, AliasStatementsTest,
                         ::testing::Values(std::string("sqlite"), std::string("postgresql")),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tallon::db
