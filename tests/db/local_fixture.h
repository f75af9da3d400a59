#pragma once

// A directory database "KD1" in a fresh temporary directory, with helpers to
// make transaction tables and lookup tables through the engine.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "db/query.h"
#include "db/table.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {

inline std::vector<db::local::FieldDef> TransactionFields() {
    using K = db::local::FieldKind;
    return {{"SeqNo", K::Float, 0}, {"Device Name", K::Text, 30}, {"Date", K::Date, 0},
            {"Time", K::Time, 0},   {"Location", K::Text, 20},    {"Card No", K::Text, 10},
            {"Name", K::Text, 40},  {"user1", K::Text, 30},       {"user2", K::Text, 30},
            {"user3", K::Text, 30}, {"Staff No", K::Text, 15},    {"Trans Code", K::Text, 1},
            {"Type", K::Text, 1}};
}

class LocalDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database_.AddParam("path=" + dir_.path());
        database_.Open();
    }
    void TearDown() override {
        database_.Close();
        engine_.Shutdown();
    }

    void MakeTransactionTable(const std::string& name, bool withIndexes = true) {
        engine_.Directory(dir_.path()).CreateTable(name, TransactionFields());
        if (withIndexes) {
            db::Table t(engine_, "Reindex", "KD1");
            t.SetTableName(name);
            t.SetExclusive(true);
            t.AddIndex("", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique);
            t.AddIndex("date_key", "date", db::ixCaseInsensitive);
            t.AddIndex("dname_key", "device name", db::ixCaseInsensitive);
        }
    }

    // Appends one transaction record the way the local writer does.
    void AppendRecord(db::Table& t, double seq, int hour, int minute, const std::string& card,
                      const std::string& device = "Door 7", const std::string& code = "1") {
        t.Append();
        t.SetFieldFloat("SeqNo", seq);
        t.SetFieldText("Device Name", device);
        t.SetFieldDate("Date", EncodeDate(2002, 6, 6));
        t.SetFieldTime("Time", EncodeTime(hour, minute, 0, 0));
        t.SetFieldText("Location", ".");
        t.SetFieldText("Card No", card);
        t.SetFieldText("Name", "");
        t.SetFieldText("user1", "");
        t.SetFieldText("user2", "");
        t.SetFieldText("user3", "");
        t.SetFieldText("Staff No", "");
        t.SetFieldText("Trans Code", code);
        t.SetFieldText("Type", "0");
        t.Post();
    }

    // A single value read with the engine's SQL.
    std::string Scalar(const std::string& sql, const std::string& column) {
        db::Query q(engine_, "Query1", "KD1");
        q.Add(sql);
        q.Open();
        return q.FieldAsString(column);
    }

    TempDir dir_;
    db::Engine engine_{dir_.path()};
    db::Database database_{engine_, "KD1", "STANDARD", "Default"};
};

// Reads a table file with plain SQLite, as any other program would (the
// sqlite3 shell opens read-write, and so rolls back what a killed writer left
// in the journal).
inline std::vector<std::vector<std::string>> PlainRead(const std::string& file,
                                                       const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        ADD_FAILURE() << "cannot open " << file;
        return rows;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const auto* p = sqlite3_column_text(st, i);
            row.emplace_back(p ? reinterpret_cast<const char*>(p) : "");
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

}  // namespace tallon::test
