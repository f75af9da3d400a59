// What SQLite itself needs to run daily mode's two statements one record at
// a time, with nothing of the program around it: for each row of the
// split-up RAW file (unit, day, time, card, code, reader) the duplicate
// check on its day table, then the insert when nothing was found. One table
// file per day, shaped like the template with its four indexes, the same
// journal, sync and cache settings as the local tables, and the open
// transactions committed every 200 ms. Prints the seconds the rows took.
//
//   sqlite_per_record EVENTS.CSV WORKDIR
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/csv.h"

namespace {

constexpr const char* kSchema =
    "CREATE TABLE records(\"SeqNo\" REAL, \"Device Name\" TEXT(30), \"Date\" DATE TEXT, "
    "\"Time\" TIME TEXT, \"Location\" TEXT(20), \"Card No\" TEXT(10), \"Name\" TEXT(40), "
    "\"user1\" TEXT(30), \"user2\" TEXT(30), \"user3\" TEXT(30), \"Staff No\" TEXT(15), "
    "\"Trans Code\" TEXT(1), \"Type\" TEXT(1));"
    "CREATE UNIQUE INDEX tallon_px ON records(\"SeqNo\", \"Time\", \"Card No\");"
    "CREATE INDEX tallon_xg0 ON records(\"Date\");"
    "CREATE INDEX tallon_xg1 ON records(\"Device Name\" COLLATE NOCASE);"
    "CREATE INDEX tallon_xg1_cs ON records(\"Device Name\", \"Time\", \"Card No\");";
constexpr const char* kCheck =
    "select * from records where records.\"device name\"=? and records.\"card no\"=? and "
    "records.\"trans code\"=? and records.\"time\"=?";
constexpr const char* kInsert =
    "INSERT INTO records(\"SeqNo\", \"Device Name\", \"Date\", \"Time\", \"Location\", "
    "\"Card No\", \"Name\", \"user1\", \"user2\", \"user3\", \"Staff No\", \"Trans Code\", "
    "\"Type\") VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

[[noreturn]] void Die(sqlite3* db, const std::string& what) {
    std::cerr << "sqlite_per_record: " << what << ": " << (db ? sqlite3_errmsg(db) : "") << "\n";
    std::exit(1);
}

void Exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Die(db, sql);
}

struct DayTable {
    sqlite3* db = nullptr;
    sqlite3_stmt* check = nullptr;
    sqlite3_stmt* insert = nullptr;
    bool inTransaction = false;
};

DayTable Open(const std::string& path) {
    DayTable t;
    std::remove(path.c_str());
    if (sqlite3_open_v2(path.c_str(), &t.db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        Die(t.db, path);
    Exec(t.db, kSchema);
    Exec(t.db, "PRAGMA journal_mode=TRUNCATE");
    Exec(t.db, "PRAGMA synchronous=FULL");
    Exec(t.db, "PRAGMA cache_spill=OFF");
    Exec(t.db, "PRAGMA cache_size=-1024");
    if (sqlite3_prepare_v3(t.db, kCheck, -1, SQLITE_PREPARE_PERSISTENT, &t.check, nullptr) !=
            SQLITE_OK ||
        sqlite3_prepare_v3(t.db, kInsert, -1, SQLITE_PREPARE_PERSISTENT, &t.insert, nullptr) !=
            SQLITE_OK)
        Die(t.db, "prepare");
    return t;
}

void Text(sqlite3_stmt* s, int n, const std::string& v) {
    sqlite3_bind_text(s, n, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: sqlite_per_record EVENTS.CSV WORKDIR\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::vector<std::string>> rows;
    for (auto& f : tallon::ParseCsv(text.str())) {
        const bool dayOk = f.size() == 6 && f[1].size() == 4 &&
                           f[1].find_first_not_of("0123456789") == std::string::npos &&
                           f[2].size() == 4;
        if (dayOk)
            rows.push_back(std::move(f));
    }
    sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

    const auto start = std::chrono::steady_clock::now();
    auto batchStart = start;
    std::map<std::string, DayTable> tables;
    double seq = 0;
    size_t added = 0;
    const auto commitAll = [&] {
        for (auto& [day, t] : tables) {
            if (t.inTransaction) {
                Exec(t.db, "COMMIT");
                t.inTransaction = false;
            }
        }
    };
    for (const auto& f : rows) {
        if (std::chrono::steady_clock::now() - batchStart >= std::chrono::milliseconds(200)) {
            commitAll();
            batchStart = std::chrono::steady_clock::now();
        }
        auto it = tables.find(f[1]);
        if (it == tables.end())
            it = tables.emplace(f[1], Open(std::string(argv[2]) + "/TR" + f[1] + ".DB")).first;
        DayTable& t = it->second;
        if (!t.inTransaction) {
            Exec(t.db, "BEGIN IMMEDIATE");
            t.inTransaction = true;
        }
        const std::string device = "Door " + f[0];
        const std::string time = f[2].substr(0, 2) + ":" + f[2].substr(2, 2) + ":00";
        Text(t.check, 1, device);
        Text(t.check, 2, f[3]);
        Text(t.check, 3, f[4]);
        Text(t.check, 4, time);
        const int found = sqlite3_step(t.check);
        sqlite3_reset(t.check);
        if (found == SQLITE_ROW)
            continue;
        if (found != SQLITE_DONE)
            Die(t.db, "check");
        const std::string date = "2026-" + f[1].substr(2, 2) + "-" + f[1].substr(0, 2);
        const std::string name = "Holder " + f[3];
        const std::string staff = "STF" + f[3];
        sqlite3_bind_double(t.insert, 1, ++seq);
        Text(t.insert, 2, device);
        Text(t.insert, 3, date);
        Text(t.insert, 4, time);
        sqlite3_bind_text(t.insert, 5, ".", 1, SQLITE_STATIC);
        Text(t.insert, 6, f[3]);
        Text(t.insert, 7, name);
        sqlite3_bind_text(t.insert, 8, "Dept1", 5, SQLITE_STATIC);
        sqlite3_bind_text(t.insert, 9, "Post1", 5, SQLITE_STATIC);
        sqlite3_bind_text(t.insert, 10, "", 0, SQLITE_STATIC);
        Text(t.insert, 11, staff);
        Text(t.insert, 12, f[4]);
        sqlite3_bind_text(t.insert, 13, "0", 1, SQLITE_STATIC);
        if (sqlite3_step(t.insert) != SQLITE_DONE)
            Die(t.db, "insert");
        sqlite3_reset(t.insert);
        ++added;
    }
    commitAll();
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& [day, t] : tables) {
        sqlite3_finalize(t.check);
        sqlite3_finalize(t.insert);
        sqlite3_close(t.db);
    }
    std::cerr << "sqlite_per_record: " << added << " of " << rows.size() << " rows added\n";
    std::printf("%.3f\n", secs);
    return 0;
}
