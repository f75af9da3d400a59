#include "tests/support/program_dir.h"

#include <sqlite3.h>

#include <stdexcept>

#include "db/engine.h"
#include "db/local/directory_database.h"
#include "db/table.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

using db::local::FieldDef;
using db::local::FieldKind;

constexpr const char* kFixtureDatabase = "TALLON_TEST_FIXTURE";

FieldDef Text(const char* name, int size = 30) {
    return {name, FieldKind::Text, size};
}

void AddRows(db::Engine& engine, const std::string& table, const std::vector<std::string>& fields,
             const std::vector<std::vector<std::string>>& rows) {
    db::Table t(engine, "Fixture", kFixtureDatabase);
    t.SetTableName(table);
    t.Open();
    for (const auto& row : rows) {
        t.Append();
        for (size_t i = 0; i < fields.size(); ++i) {
            t.SetFieldText(fields[i], row[i]);
        }
        t.Post();
    }
    t.Close();
}

}  // namespace

void MakeProgramDirectory(const std::string& directory, const ProgramDirOptions& options) {
    db::Engine engine(directory);
    engine.OpenDirectoryDatabase(kFixtureDatabase, directory);
    auto CreateTable = [&](const std::string&, const std::string& name,
                           const std::vector<FieldDef>& fields) {
        engine.Directory(directory).CreateTable(name, fields);
    };

    CreateTable(directory, "tran_tpl",
                {{"SeqNo", FieldKind::Float, 0},
                 Text("Device Name"),
                 {"Date", FieldKind::Date, 0},
                 {"Time", FieldKind::Time, 0},
                 Text("Location"),
                 Text("Card No", 6),
                 Text("Name"),
                 Text("user1"),
                 Text("user2"),
                 Text("user3"),
                 Text("Staff No"),
                 Text("Trans Code", 1),
                 Text("Type", 1)});
    if (options.templatePrimaryIndex) {
        db::Table t(engine, "Fixture", kFixtureDatabase);
        t.SetTableName("tran_tpl");
        t.AddIndex("", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique);
    }

    CreateTable(directory, "rdrmain",
                {Text("tag_name"), Text("logical_point", 10), Text("spare3", 40)});
    AddRows(engine, "rdrmain", {"tag_name", "logical_point", "spare3"},
            {{"Door 7", "007", ""}, {"Door 12", "012", ""}, {"Door seven", "7", ""}});

    CreateTable(directory, "cards",
                {Text("Card_Number", 10), Text("Name"), Text("Staff_number"), Text("User1"),
                 Text("User2"), Text("User3")});
    AddRows(engine, "cards", {"Card_Number", "Name", "Staff_number", "User1", "User2", "User3"},
            {{"123456", "Ann Smith", "S100", "U1a", "U2a", "U3a"},
             {"654321", "Bob Jones", "S200", "", "", ""},
             {"12'456", "Quote Card", "S300", "", "", ""},
             {" 12345", "Blank Card", "S400", "", "", ""}});

    CreateTable(directory, "TranSamp",
                {Text("Card No", 10), Text("Name"), Text("Staff No"), Text("User1"), Text("User2"),
                 Text("User3")});
    AddRows(engine, "TranSamp", {"Card No", "Name", "Staff No", "User1", "User2", "User3"},
            {{"123456", "Sample Ann", "T100", "TU1", "TU2", "TU3"}});

    engine.Shutdown();
}

std::vector<std::vector<std::string>> ReadTable(const std::string& dbFile, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + dbFile);
    }
    // A run may be committing to the table right now: wait for it as any
    // reader would.
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        std::string msg = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error("bad test query: " + msg);
    }
    std::vector<std::vector<std::string>> rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            const unsigned char* text = sqlite3_column_text(stmt, i);
            row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
        rows.push_back(std::move(row));
    }
    const std::string msg = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (rc != SQLITE_DONE) {
        throw std::runtime_error("test query failed: " + msg);
    }
    return rows;
}

std::vector<std::string> LogLines(const std::string& directory) {
    const std::string text = ReadWholeFile(directory + "tallon.log");
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < text.size()) {
                lines.push_back(text.substr(start));
            }
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

}  // namespace tallon::test
