#include "tests/support/external_db.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "db/query.h"
#include "tests/support/pg_server.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

// The schema scripts ship with the sources, two levels above this file.
std::string SchemaScript(const std::string& name) {
    const std::filesystem::path here(__FILE__);
    return ReadWholeFile(
        (here.parent_path().parent_path().parent_path() / "schema" / name).string());
}

std::string AliasSections(const std::string& body) {
    return "[Brindle]\n" + body + "[VeloraDB]\n" + body;
}

std::vector<std::vector<std::string>> SqliteRows(const std::string& file, const std::string& sql,
                                                 bool wantRows) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + file);
    }
    sqlite3_busy_timeout(db, 10000);
    std::vector<std::vector<std::string>> rows;
    std::string error;
    if (!wantRows) {
        char* msg = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
            error = msg ? msg : "sqlite error";
        }
        sqlite3_free(msg);
    } else {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db);
        } else {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                std::vector<std::string> row;
                for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                    const unsigned char* text = sqlite3_column_text(stmt, i);
                    row.emplace_back(text ? reinterpret_cast<const char*>(text) : "<null>");
                }
                rows.push_back(std::move(row));
            }
            sqlite3_finalize(stmt);
        }
    }
    sqlite3_close(db);
    if (!error.empty()) {
        throw std::runtime_error("SQLite: " + error + " in: " + sql);
    }
    return rows;
}

std::vector<std::vector<std::string>> PgRows(const std::string& conninfo, const std::string& sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        std::string msg = PQerrorMessage(c);
        PQfinish(c);
        throw std::runtime_error("cannot connect: " + msg);
    }
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    PGresult* res = PQexec(c, sql.c_str());
    const ExecStatusType st = PQresultStatus(res);
    std::vector<std::vector<std::string>> rows;
    std::string error;
    if (st == PGRES_TUPLES_OK) {
        for (int r = 0; r < PQntuples(res); ++r) {
            std::vector<std::string> row;
            for (int col = 0; col < PQnfields(res); ++col) {
                row.emplace_back(PQgetisnull(res, r, col)
                                     ? std::string("<null>")
                                     : std::string(PQgetvalue(res, r, col),
                                                   static_cast<size_t>(PQgetlength(res, r, col))));
            }
            rows.push_back(std::move(row));
        }
    } else if (st != PGRES_COMMAND_OK) {
        error = PQresultErrorMessage(res);
    }
    PQclear(res);
    PQfinish(c);
    if (!error.empty()) {
        throw std::runtime_error("PostgreSQL: " + error + " in: " + sql);
    }
    return rows;
}

}  // namespace

const char* KindName(ExternalKind kind) {
    return kind == ExternalKind::Sqlite ? "SQLite" : "PostgreSQL";
}

std::string SqlText(const std::string& value) {
    return db::Quoted(value);
}

std::unique_ptr<ExternalDb> ExternalDb::Sqlite(const std::string& directory) {
    std::unique_ptr<ExternalDb> db(new ExternalDb);
    db->kind_ = ExternalKind::Sqlite;
    db->sqliteFile_ = directory + "external.sqlite";
    std::filesystem::remove(db->sqliteFile_);
    db->Exec(SchemaScript("external-sqlite.sql"));
    db->configFile_ = directory + "external-db.conf";
    WriteWholeFile(db->configFile_,
                   AliasSections("driver=sqlite\ndatabase=" + db->sqliteFile_ + "\n"));
    return db;
}

std::unique_ptr<ExternalDb> ExternalDb::Postgres(const std::string& directory, PgServer& server,
                                                 const std::string& database, bool storePassword) {
    std::unique_ptr<ExternalDb> db(new ExternalDb);
    db->kind_ = ExternalKind::Postgres;
    server.CreateDatabase(database, "tallon", "s3cret");
    db->pgConnection_ = server.ConnectionString(database, "tallon", "s3cret");
    db->Exec(SchemaScript("external-postgresql.sql"));
    db->configFile_ = directory + "external-db.conf";
    const std::string connection =
        storePassword ? db->pgConnection_ : server.ConnectionString(database, "tallon");
    WriteWholeFile(db->configFile_,
                   AliasSections("driver=postgresql\nconnection=" + connection + "\n"));
    return db;
}

ExternalDb::~ExternalDb() = default;

void ExternalDb::Use() const {
    setenv("TALLON_DB_CONF", configFile_.c_str(), 1);
    unsetenv("PGPASSWORD");
    setenv("PGPASSFILE", (configFile_ + ".no-pgpass").c_str(), 1);
}

void ExternalDb::Exec(const std::string& sql) const {
    if (kind_ == ExternalKind::Sqlite) {
        SqliteRows(sqliteFile_, sql, false);
    } else {
        PgRows(pgConnection_, sql);
    }
}

std::vector<std::vector<std::string>> ExternalDb::Rows(const std::string& sql) const {
    return kind_ == ExternalKind::Sqlite ? SqliteRows(sqliteFile_, sql, true)
                                         : PgRows(pgConnection_, sql);
}

}  // namespace tallon::test
