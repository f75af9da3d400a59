// PostgreSQL alias behaviour that SQLite has no counterpart for: the login
// prompt, wrong passwords and lost connections.

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/errors.h"
#include "db/alias/config.h"
#include "db/connection.h"
#include "db/engine.h"
#include "tests/support/alias_access.h"
#include "tests/support/pg_server.h"
#include "tests/support/temp_dir.h"

namespace tallon::db {
namespace {

// The message a statement on `alias` fails with ("" when it succeeds).
std::string ErrorOf(const std::string& alias, const std::string& sql = "select 1") {
    try {
        Connection* c = OpenAliasConnection(alias);
        if (!c) {
            return "<no alias>";
        }
        SelectOn(c, sql);
        return "";
    } catch (const EDatabaseError& e) {
        return e.Message();
    }
}

struct PromptLog {
    int calls = 0;
    std::string alias;
    std::string suggestedUser;
};

LoginPrompt Answering(PromptLog& log, bool ok, std::string user, std::string password) {
    return [&log, ok, user, password](const std::string& alias, std::string& userName,
                                      std::string& pw) {
        ++log.calls;
        log.alias = alias;
        log.suggestedUser = userName;
        if (!user.empty()) {
            userName = user;
        }
        pw = password;
        return ok;
    };
}

class AliasPostgresTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLoginState();
        SetLoginPrompt(nullptr);
        CloseAliasConnections();
    }
    void TearDown() override {
        ResetLoginState();
        SetLoginPrompt(nullptr);
        CloseAliasConnections();
        unsetenv("TALLON_DB_CONF");
    }

    // Aliases "Brindle" (no password), "Other" (no password) and "WrongPw"
    // on one database owned by "tallon" with password "s3cret".
    void Configure(test::PgServer& pg) {
        pg.CreateDatabase("brindle_login", "tallon", "s3cret");
        test::WriteWholeFile(dir_ / "tallon-db.conf",
                             "[Brindle]\ndriver=postgresql\nconnection=" +
                                 pg.ConnectionString("brindle_login", "tallon") +
                                 "\n[Other]\ndriver=postgresql\nconnection=" +
                                 pg.ConnectionString("brindle_login", "tallon") +
                                 "\n[WrongPw]\ndriver=postgresql\nconnection=" +
                                 pg.ConnectionString("brindle_login", "tallon", "nope") +
                                 "\n[Good]\ndriver=postgresql\nconnection=" +
                                 pg.ConnectionString("brindle_login", "tallon", "s3cret") + "\n");
        setenv("TALLON_DB_CONF", (dir_ / "tallon-db.conf").c_str(), 1);
        // Passwords must come from the configuration or the prompt only.
        unsetenv("PGPASSWORD");
        setenv("PGPASSFILE", (dir_ / "no-pgpass").c_str(), 1);
    }

    test::TempDir dir_;
};

TEST_F(AliasPostgresTest, CancelledLoginFailsEveryStatementWithoutAskingAgain) {
    TALLON_NEED_PG_SERVER(pg);
    Configure(*pg);

    // No prompt at all (a command-line tool): cannot connect.
    EXPECT_EQ(ErrorOf("Brindle"), "Cannot connect to database 'Brindle'");

    PromptLog log;
    SetLoginPrompt(Answering(log, false, "", ""));
    EXPECT_EQ(ErrorOf("Brindle"), "Cannot connect to database 'Brindle'");
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.alias, "Brindle");
    EXPECT_EQ(log.suggestedUser, "tallon");
    EXPECT_EQ(ErrorOf("Brindle"), "Cannot connect to database 'Brindle'");
    CloseAliasConnections();
    EXPECT_EQ(ErrorOf("Brindle"), "Cannot connect to database 'Brindle'");
    // The prompt is spent for the whole process: another alias is not asked.
    EXPECT_EQ(ErrorOf("Other"), "Cannot connect to database 'Other'");
    EXPECT_EQ(log.calls, 1);

    // An alias holding its password never needs the prompt.
    EXPECT_EQ(ErrorOf("Good"), "");
}

TEST_F(AliasPostgresTest, PasswordFromThePromptIsAskedOnceAndReused) {
    TALLON_NEED_PG_SERVER(pg);
    Configure(*pg);
    PromptLog log;
    SetLoginPrompt(Answering(log, true, "", "s3cret"));

    Connection* c = OpenAliasConnection("Brindle");
    ASSERT_NE(c, nullptr);
    ExecOn(c, "create table t (v text)");
    ExecOn(c, "insert into t values ('a')");
    EXPECT_EQ(SelectOn(c, "select v from t")->rows.size(), 1u);
    EXPECT_EQ(log.calls, 1);

    // A fresh connection (after the engine closed its connections, or after
    // a lost one) uses the answer already given.
    CloseAliasConnections();
    EXPECT_EQ(ErrorOf("brindle", "select v from t"), "");
    pg->TerminateSessions("brindle_login");
    EXPECT_EQ(ErrorOf("Brindle", "select v from t"), "");
    EXPECT_EQ(log.calls, 1);
}

TEST_F(AliasPostgresTest, WrongPasswordGivesTheServerMessage) {
    TALLON_NEED_PG_SERVER(pg);
    Configure(*pg);
    PromptLog log;
    SetLoginPrompt(Answering(log, true, "", "guess"));

    // A wrong password in the configuration: the server's message, no prompt.
    const std::string configured = ErrorOf("WrongPw");
    EXPECT_NE(configured.find("password authentication failed for user \"tallon\""),
              std::string::npos)
        << configured;
    EXPECT_EQ(log.calls, 0);

    // A wrong password typed at the prompt: the same, and not asked again.
    const std::string typed = ErrorOf("Brindle");
    EXPECT_NE(typed.find("password authentication failed"), std::string::npos) << typed;
    EXPECT_EQ(ErrorOf("Brindle"), typed);
    EXPECT_EQ(log.calls, 1);
}

TEST_F(AliasPostgresTest, LostConnectionIsReopened) {
    TALLON_NEED_PG_SERVER(pg);
    Configure(*pg);
    Connection* c = OpenAliasConnection("Good");
    ASSERT_NE(c, nullptr);
    ExecOn(c, "create table t (v text)");

    // A select on a dropped connection is simply run again on a new one.
    pg->TerminateSessions("brindle_login");
    EXPECT_EQ(SelectOn(c, "select count(*) from t")->rows.at(0).at(0), "0");

    // A write on a dropped connection reports the error (it may or may not
    // have happened); the next statement reconnects.
    pg->TerminateSessions("brindle_login");
    EXPECT_THROW(ExecOn(c, "insert into t values ('lost')"), EDatabaseError);
    ExecOn(c, "insert into t values ('kept')");
    auto r = SelectOn(c, "select v from t");
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(r->rows[0][0], "kept");
}

TEST_F(AliasPostgresTest, BackslashesAreOrdinaryEvenIfTheServerDefaultSaysOtherwise) {
    TALLON_NEED_PG_SERVER(pg);
    Configure(*pg);
    pg->RunSql("alter database brindle_login set standard_conforming_strings = off");
    Connection* c = OpenAliasConnection("Good");
    ASSERT_NE(c, nullptr);
    ExecOn(c, "create table t (v text)");
    ExecOn(c, "insert into t values ('a\\''b\\')");
    auto r = SelectOn(c, "select v from t where v = 'a\\''b\\'");
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(r->rows[0][0], "a\\'b\\");
    pg->RunSql("alter database brindle_login reset standard_conforming_strings");
}

TEST_F(AliasPostgresTest, StatementShapesArePreparedOnceAndMeanTheSame) {
    TALLON_NEED_PG_SERVER(pg);
    Configure(*pg);
    Connection* c = OpenAliasConnection("Good");
    ASSERT_NE(c, nullptr);
    ExecOn(c, "create table cards (card_number text, name text)");
    for (int i = 0; i < 30; ++i) {
        ExecOn(c, "insert into cards values ('" + std::to_string(i) + "', 'n''" +
                      std::to_string(i) + "')");
    }
    // A fixed text with its value beside it, past the point where it is
    // prepared afresh, too.
    auto lookup = [&](const std::string& card) {
        Rows r;
        c->Run(Statement{"cards", "select * from cards where Card_Number=?", {Value::Text(card)}},
               &r);
        return r;
    };
    for (int i = 0; i < 1100; ++i) {
        const Rows r = lookup(std::to_string(i % 30));
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r.values[0][1], "n'" + std::to_string(i % 30));
    }
    // Many lookups, one statement on the server.
    auto prepared = SelectOn(
        c, "select count(*) from pg_prepared_statements where statement like '%cards where%'");
    EXPECT_EQ(prepared->rows.at(0).at(0), "1");

    // A table that changes under a prepared "select *" still answers right.
    ExecOn(c, "alter table cards add column extra text default 'x'");
    const Rows r = lookup("3");
    ASSERT_EQ(r.columns.size(), 3u);
    EXPECT_EQ(r.values.at(0).at(2), "x");
    // PostgreSQL text cannot hold a NUL byte: such a value is refused, never
    // cut short.
    EXPECT_THROW(lookup(std::string("12\0abc", 6)), EDatabaseError);

    // Statements typed as text run as written.
    EXPECT_EQ(SelectOn(c, "select date '2026-06-06' as d")->rows.at(0).at(0), "2026-06-06");
    EXPECT_EQ(SelectOn(c, "select 'a' = 'a' as same")->rows.at(0).at(0), "t");
    EXPECT_EQ(SelectOn(c, "select E'a\\tb' as e")->rows.at(0).at(0), "a\tb");

    // An explicit transaction typed as text works as written.
    ExecOn(c, "begin");
    ExecOn(c, "insert into cards (card_number) values ('in-tx')");
    ExecOn(c, "rollback");
    EXPECT_TRUE(SelectOn(c, "select * from cards where card_number='in-tx'")->rows.empty());
}

}  // namespace
}  // namespace tallon::db
