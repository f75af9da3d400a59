#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/errors.h"
#include "db/alias/config.h"
#include "db/connection.h"
#include "db/engine.h"
#include "tests/support/alias_access.h"
#include "tests/support/temp_dir.h"

namespace tallon::db {
namespace {

using test::TempDir;
using test::WriteWholeFile;

// A one-table SQLite database whose single value tells the files apart.
void MakeMarkerDatabase(const std::string& path, const std::string& marker) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string sql =
        "create table marker (v text); insert into marker values ('" + marker + "');";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

std::string MarkerOf(const std::string& alias) {
    Connection* c = OpenAliasConnection(alias);
    if (!c) {
        return "<no alias>";
    }
    auto r = SelectOn(c, "select v from marker");
    return r->rows.empty() ? "<empty>" : r->rows[0][0];
}

class AliasConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("TALLON_DB_CONF");
        SetEngineProgramDirectory(programDir_.path());
        CloseAliasConnections();
    }
    void TearDown() override {
        unsetenv("TALLON_DB_CONF");
        SetEngineProgramDirectory("");
        CloseAliasConnections();
    }

    // A configuration and its database side by side in `dir`.
    static void WriteAliasAt(const TempDir& dir, const std::string& marker) {
        MakeMarkerDatabase(dir / "brindle.sqlite", marker);
        WriteWholeFile(dir / kEngineConfigFileName,
                       "; test configuration\n[Brindle]\ndriver=sqlite\n"
                       "database=brindle.sqlite        ; beside this file\n");
    }

    // The message raised when opening any alias under this configuration.
    static std::string StartErrorFor(const std::string& content) {
        TempDir dir;
        WriteWholeFile(dir / "bad.conf", content);
        setenv("TALLON_DB_CONF", (dir / "bad.conf").c_str(), 1);
        CloseAliasConnections();
        try {
            OpenAliasConnection("Brindle");
        } catch (const EDatabaseError& e) {
            return e.Message();
        }
        return "<no error>";
    }

    TempDir programDir_;
    TempDir workDir_;
};

TEST_F(AliasConfigTest, SearchOrderEnvironmentThenWorkingDirectoryThenProgramDirectory) {
    TempDir envDir;
    WriteAliasAt(programDir_, "program");
    WriteAliasAt(workDir_, "working");
    WriteAliasAt(envDir, "environment");
    test::ScopedWorkingDirectory cwd(workDir_.path());

    // Alias names match without regard to case; the database path is taken
    // relative to the configuration's own directory, not the working one.
    EXPECT_EQ(MarkerOf("brINDLE"), "working");

    setenv("TALLON_DB_CONF", (envDir / kEngineConfigFileName).c_str(), 1);
    CloseAliasConnections();
    EXPECT_EQ(MarkerOf("Brindle"), "environment");

    // A relative name is taken from the working directory of the moment, and
    // the database stays found after the working directory changes.
    const std::string relative =
        "../" + std::filesystem::path(envDir.path()).parent_path().filename().string() + "/" +
        kEngineConfigFileName;
    setenv("TALLON_DB_CONF", relative.c_str(), 1);
    CloseAliasConnections();
    Connection* c = OpenAliasConnection("Brindle");
    ASSERT_NE(c, nullptr);
    {
        test::ScopedWorkingDirectory elsewhere("/");
        EXPECT_EQ(SelectOn(c, "select v from marker")->rows.at(0).at(0), "environment");
    }

    unsetenv("TALLON_DB_CONF");
    std::filesystem::remove(workDir_ / kEngineConfigFileName);
    CloseAliasConnections();
    EXPECT_EQ(MarkerOf("Brindle"), "program");
    EXPECT_EQ(FindEngineConfigFile(TestEngine().ProgramDirectory()),
              programDir_ / kEngineConfigFileName);

    // The connection is kept: a changed file is not read again until the
    // engine lets go of its connections.
    WriteWholeFile(programDir_ / kEngineConfigFileName, "[Other]\ndriver=sqlite\ndatabase=x\n");
    EXPECT_EQ(MarkerOf("Brindle"), "program");
    CloseAliasConnections();
    EXPECT_EQ(OpenAliasConnection("Brindle"), nullptr);
}

TEST_F(AliasConfigTest, UnknownAliasesAndMissingConfiguration) {
    test::ScopedWorkingDirectory cwd(workDir_.path());
    if (std::filesystem::exists(std::string("/etc/tallon/") + kEngineConfigFileName)) {
        GTEST_SKIP() << "a system-wide configuration is installed on this machine";
    }
    EXPECT_EQ(FindEngineConfigFile(TestEngine().ProgramDirectory()), "");
    EXPECT_EQ(OpenAliasConnection("Brindle"), nullptr);
    EXPECT_EQ(OpenAliasConnection("VeloraDB"), nullptr);

    WriteAliasAt(workDir_, "working");
    CloseAliasConnections();
    EXPECT_EQ(OpenAliasConnection("VeloraDB"), nullptr);
    EXPECT_NE(OpenAliasConnection(" Brindle "), nullptr);
}

TEST_F(AliasConfigTest, MalformedConfigurationGivesTheEngineStartError) {
    EXPECT_EQ(StartErrorFor("[Brindle]\ndriver=sqlite\ndatabase=a.sqlite\nthis is not a setting\n"),
              "An error occurred while attempting to initialize the Borland Database Engine "
              "(error $2102)");
    EXPECT_EQ(StartErrorFor("driver=sqlite\n"), EngineStartMessage(kStartConfigSyntax));
    EXPECT_EQ(StartErrorFor("[Brindle\ndriver=sqlite\n"), EngineStartMessage(kStartConfigSyntax));
    EXPECT_EQ(StartErrorFor("[Brindle]\ndatabase=a.sqlite\n"), EngineStartMessage(kStartNoDriver));
    // A broken section fails the whole file, even for the aliases that are fine.
    EXPECT_EQ(StartErrorFor("[Brindle]\ndriver=sqlite\ndatabase=a\n[VeloraDB]\ndriver=odbc\n"),
              EngineStartMessage(kStartUnknownDriver));
    EXPECT_EQ(StartErrorFor("[Brindle]\ndriver=postgresql\n"),
              EngineStartMessage(kStartMissingTarget));
    EXPECT_EQ(StartErrorFor("[Brindle]\ndriver=sqlite\ndatabase=a\n[BRINDLE]\ndriver=sqlite\n"
                            "database=b\n"),
              EngineStartMessage(kStartDuplicateAlias));
    EXPECT_EQ(EngineStartMessage(0xabc),
              "An error occurred while attempting to initialize the Borland Database Engine "
              "(error $0ABC)");

    // A named file that is missing cannot be read.
    setenv("TALLON_DB_CONF", (workDir_ / "missing.conf").c_str(), 1);
    CloseAliasConnections();
    EXPECT_THROW(
        {
            try {
                OpenAliasConnection("Brindle");
            } catch (const EDatabaseError& e) {
                EXPECT_EQ(e.Message(), EngineStartMessage(kStartConfigUnreadable));
                throw;
            }
        },
        EDatabaseError);
}

// A configuration that is there but cannot be used is reported, never passed
// over for one further down the search order.
TEST_F(AliasConfigTest, AFoundFileThatCannotBeUsedIsAnError) {
    WriteAliasAt(programDir_, "program");
    test::ScopedWorkingDirectory cwd(workDir_.path());
    const std::string found = workDir_ / kEngineConfigFileName;
    auto startError = [] {
        CloseAliasConnections();
        try {
            OpenAliasConnection("Brindle");
        } catch (const EDatabaseError& e) {
            return e.Message();
        }
        return std::string("<no error>");
    };
    ASSERT_EQ(::mkdir(found.c_str(), 0755), 0);
    EXPECT_EQ(startError(), EngineStartMessage(kStartConfigUnreadable));
    ASSERT_EQ(::rmdir(found.c_str()), 0);
    ASSERT_EQ(::symlink(found.c_str(), found.c_str()), 0);  // a loop: it cannot be opened
    EXPECT_EQ(startError(), EngineStartMessage(kStartConfigUnreadable));
    ASSERT_EQ(::unlink(found.c_str()), 0);
    EXPECT_EQ(MarkerOf("Brindle"), "program");

    // NUL bytes are no text, even where trimming would have hidden them.
    const char withNul[] = "[Brindle]\ndriver=sqlite\ndatabase=brindle.sqlite\0\n";
    EXPECT_EQ(StartErrorFor(std::string(withNul, sizeof withNul - 1)),
              EngineStartMessage(kStartConfigSyntax));
    EXPECT_EQ(StartErrorFor(std::string(64, '\0')), EngineStartMessage(kStartConfigSyntax));
}

TEST_F(AliasConfigTest, ValuesCommentsAndQuotes) {
    TempDir dir;
    WriteWholeFile(
        dir / "t.conf",
        "# comment\r\n"
        "  [ Brindle ]   ; trailing comment\r\n"
        "  Driver = SQLite\r\n"
        "  database = /abs/path/b.sqlite ; note\r\n"
        "description=ignored\r\n"
        "[VeloraDB]\n"
        "driver=postgresql\n"
        "connection=\"host=h dbname=v password=a ;b#c\"  ; quoted keeps the blank-semicolon\n"
        "[Third]\ndriver=postgresql\nconnection=host=h password=x;y#z\n");
    auto aliases = ReadEngineConfig(dir / "t.conf");
    ASSERT_EQ(aliases.size(), 3u);
    EXPECT_EQ(aliases[0].name, "Brindle");
    EXPECT_EQ(aliases[0].driver, "sqlite");
    EXPECT_EQ(aliases[0].database, "/abs/path/b.sqlite");
    EXPECT_EQ(aliases[1].connection, "host=h dbname=v password=a ;b#c");
    EXPECT_EQ(aliases[2].connection, "host=h password=x;y#z");
}

TEST_F(AliasConfigTest, SqliteSynchronousSetting) {
    TempDir dir;
    MakeMarkerDatabase(dir / "b.sqlite", "m");
    WriteWholeFile(dir / kEngineConfigFileName,
                   "[Brindle]\ndriver=sqlite\ndatabase=b.sqlite\nsynchronous=Normal\n"
                   "[VeloraDB]\ndriver=sqlite\ndatabase=b.sqlite\n");
    setenv("TALLON_DB_CONF", (dir / kEngineConfigFileName).c_str(), 1);
    CloseAliasConnections();
    auto level = [](const std::string& alias) {
        return SelectOn(OpenAliasConnection(alias), "pragma synchronous")->rows.at(0).at(0);
    };
    EXPECT_EQ(level("Brindle"), "1");   // normal
    EXPECT_EQ(level("VeloraDB"), "2");  // SQLite's default, full
    EXPECT_EQ(StartErrorFor("[Brindle]\ndriver=sqlite\ndatabase=a\nsynchronous=sometimes\n"),
              EngineStartMessage(kStartConfigSyntax));
}

TEST_F(AliasConfigTest, MissingSqliteDatabaseIsAnErrorAndIsNotCreated) {
    TempDir dir;
    WriteWholeFile(dir / "t.conf", "[Brindle]\ndriver=sqlite\ndatabase=gone.sqlite\n");
    setenv("TALLON_DB_CONF", (dir / "t.conf").c_str(), 1);
    Connection* c = OpenAliasConnection("Brindle");
    ASSERT_NE(c, nullptr);
    try {
        SelectOn(c, "select 1");
        FAIL() << "no error for a missing database file";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("gone.sqlite"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "gone.sqlite"));

    // Once the file is there the same connection works.
    MakeMarkerDatabase(dir / "gone.sqlite", "late");
    EXPECT_EQ(SelectOn(c, "select v from marker")->rows.at(0).at(0), "late");
}

}  // namespace
}  // namespace tallon::db
