// tallon-db: the operator's tool for the tables only Tallon's engine writes.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/csv.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "db/query.h"
#include "db/table.h"
#include "db/table_info.h"

namespace tallon {
int ImportParadoxCommand(const std::vector<std::string>& args);
}
#include "recovery/run_mode.h"

namespace {

using namespace tallon;

const char* kUsage = R"(Usage: tallon-db COMMAND ARGUMENTS
       tallon-db --help | --version

Commands:
  create DIR/NAME SCHEMAFILE
      Create the empty table NAME in directory DIR from a schema file.
  index DIR/NAME [--primary] [--unique] [--case-insensitive] [--name=IDX] "F1;F2"
      Add an index on the fields F1, F2 (separated by ';'), or rebuild it
      when it exists. Without --name (or with --primary) it is the primary
      index (always unique); otherwise the secondary index IDX.
  import DIR/NAME FILE.csv
      Append the rows of a CSV file. Its first row names the fields (in any
      letter case and order); values are in stored form: dates YYYY-MM-DD,
      times HH:MM:SS (24-hour), numbers with a '.' decimal point. An empty
      value of a number field stores no value.
  export DIR/NAME [FILE.csv]
      Write the table as CSV with a header row (to standard output when no
      file is given).
  list DIR
      List the tables of a directory with their record counts and indexes.
  import-paradox SOURCE [DEST] [--check] [--replace]
      Convert a site's Paradox tables: SOURCE is a table NAME.DB or a
      directory (every Paradox .DB in it); DEST (default: SOURCE's directory)
      receives engine tables of the same names, and the Paradox files move
      into DEST/paradox-originals/. --check reads every record and runs
      every test the import runs (keys included), writing nothing;
      --replace imports a table again that was imported before.
      Exit status 1 when any table failed (its files stay where they were).
  sql DATABASE "STATEMENT"
      Run one statement. DATABASE is a directory (its tables are reached by
      name) or an alias of the engine configuration file tallon-db.conf.
      Rows are printed as CSV with a header row.

Schema file: one field per line, "NAME: KIND [SIZE]", where KIND is text,
float, date, time or integer and SIZE the length of a text field. The name
may contain blanks; it ends at the last ':'. Blank lines and lines starting
with '#' are ignored. Example:
  # the lookup of door names
  tag_name: text 30
  logical_point: text 5

CSV: fields separated by ',', a field in double quotes may contain commas,
line breaks and doubled quotes (""); lines end in CR LF or LF.

Exit status: 0 on success, 1 when the command failed, 2 for wrong usage.
)";

constexpr const char* kDbName = "TALLONDB";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct TablePath {
    std::string directory;  // ends in "/"
    std::string name;
};

TablePath SplitTablePath(const std::string& arg) {
    TablePath t;
    t.directory = ExtractFilePath(arg);
    t.name = ExtractFileName(arg);
    if (t.directory.empty())
        t.directory = "./";
    if (t.name.size() > 3 && SameText(t.name.substr(t.name.size() - 3), ".db")) {
        t.name.resize(t.name.size() - 3);
    }
    if (t.name.empty())
        throw UsageError("no table name in '" + arg + "'");
    return t;
}

void OpenDirectory(db::Database& database, const std::string& directory) {
    database.ClearParams();
    database.AddParam("PATH=" + directory);
    database.Open();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(ResolveFileName(path), std::ios::binary);
    if (!in)
        throw Exception("Cannot read " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteCsv(std::ostream& out, const db::Rows& r) {
    WriteCsvRow(out, r.columns);
    for (const auto& row : r.values)
        WriteCsvRow(out, row);
}

int Create(db::Engine& engine, const std::vector<std::string>& a) {
    if (a.size() != 2)
        throw UsageError("create needs DIR/NAME and SCHEMAFILE");
    const TablePath t = SplitTablePath(a[0]);
    const auto fields = db::local::ParseSchemaText(ReadFile(a[1]), a[1]);
    if (!DirectoryExists(t.directory))
        throw Exception("Directory does not exist: " + t.directory);
    engine.Directory(ResolveFileName(t.directory) + "/").CreateTable(t.name, fields);
    return 0;
}

int Index(db::Engine& engine, const std::vector<std::string>& a) {
    std::string table, fields, name;
    unsigned options = db::ixNone;
    bool primary = false;
    for (const auto& arg : a) {
        if (arg == "--primary") {
            primary = true;
        } else if (arg == "--unique") {
            options |= db::ixUnique;
        } else if (arg == "--case-insensitive") {
            options |= db::ixCaseInsensitive;
        } else if (arg.rfind("--name=", 0) == 0) {
            name = arg.substr(7);
        } else if (arg.rfind("--", 0) == 0) {
            throw UsageError("unknown option " + arg);
        } else if (table.empty()) {
            table = arg;
        } else if (fields.empty()) {
            fields = arg;
        } else {
            throw UsageError("unexpected argument " + arg);
        }
    }
    if (table.empty() || fields.empty())
        throw UsageError("index needs DIR/NAME and \"F1;F2\"");
    if (primary || name.empty()) {
        options |= db::ixPrimary | db::ixUnique;
        name.clear();
    }
    const TablePath t = SplitTablePath(table);
    db::Database database(engine, kDbName, "STANDARD", "Default");
    OpenDirectory(database, t.directory);
    db::Table tbl(engine, "Table", kDbName);
    tbl.SetTableName(t.name);
    tbl.AddIndex(name, fields, options);
    return 0;
}

int Import(db::Engine& engine, const std::vector<std::string>& a) {
    if (a.size() != 2)
        throw UsageError("import needs DIR/NAME and FILE.csv");
    const TablePath t = SplitTablePath(a[0]);
    const auto rows = ParseCsv(ReadFile(a[1]));
    if (rows.empty())
        throw Exception(a[1] + ": no header row");
    db::Database database(engine, kDbName, "STANDARD", "Default");
    OpenDirectory(database, t.directory);
    db::Table tbl(engine, "Table", kDbName);
    tbl.SetTableName(t.name);
    tbl.Open();
    const auto& header = rows[0];
    for (size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].size() != header.size()) {
            throw Exception(a[1] + " row " + std::to_string(r + 1) + ": " +
                            std::to_string(rows[r].size()) + " values for " +
                            std::to_string(header.size()) + " fields");
        }
        try {
            tbl.Append();
            for (size_t c = 0; c < header.size(); ++c)
                tbl.SetFieldText(header[c], rows[r][c]);
            tbl.Post();
        } catch (const Exception& e) {
            throw Exception(a[1] + " row " + std::to_string(r + 1) + ": " + e.Message());
        }
    }
    tbl.Close();
    std::cout << (rows.size() - 1) << " rows imported into " << t.name << "\n";
    return 0;
}

int Export(db::Engine& engine, const std::vector<std::string>& a) {
    if (a.empty() || a.size() > 2)
        throw UsageError("export needs DIR/NAME [FILE.csv]");
    const TablePath t = SplitTablePath(a[0]);
    db::Database database(engine, kDbName, "STANDARD", "Default");
    OpenDirectory(database, t.directory);
    db::Rows result;
    engine.ConnectionFor(kDbName).RunText("select * from " + db::local::QuoteIdent(t.name),
                                          &result);
    if (a.size() == 2) {
        std::ofstream out(a[1], std::ios::binary | std::ios::trunc);
        if (!out)
            throw Exception("Cannot write " + a[1]);
        WriteCsv(out, result);
        out.close();
        if (!out)
            throw Exception("Cannot write " + a[1]);
    } else {
        WriteCsv(std::cout, result);
    }
    return 0;
}

int List(db::Engine& engine, const std::vector<std::string>& a) {
    if (a.size() != 1)
        throw UsageError("list needs DIR");
    std::string dir = ResolveFileName(a[0]);
    if (!DirectoryExists(dir))
        throw Exception("Directory does not exist: " + a[0]);
    if (dir.back() != '/')
        dir += '/';
    for (const auto& entry : ListMatching(dir + "*.db")) {
        const std::string name = entry.substr(0, entry.size() - 3);
        try {
            const db::TableInfo info = db::DescribeTable(engine, dir, name);
            std::cout << name << "  " << info.records << " records\n";
            for (const auto& ix : info.indexes) {
                std::cout << "  " << ix.extension << "  "
                          << (ix.name.empty() ? "(primary)" : ix.name) << "  " << ix.fields
                          << (ix.unique ? "  unique" : "")
                          << (ix.caseInsensitive ? "  case-insensitive" : "")
                          << (ix.filesPresent ? ""
                                              : "  (index files missing: dropped on next open)")
                          << "\n";
            }
        } catch (const Exception& e) {
            std::cout << name << "  unreadable: " << e.Message() << "\n";
        }
    }
    return 0;
}

int Sql(db::Engine& engine, const std::vector<std::string>& a) {
    if (a.size() != 2)
        throw UsageError("sql needs DATABASE and \"STATEMENT\"");
    std::string dbName = a[0];
    db::Database database(engine, kDbName, "STANDARD", "Default");
    if (a[0].find('/') != std::string::npos || DirectoryExists(a[0])) {
        OpenDirectory(database, a[0]);
        dbName = kDbName;
    }
    db::Connection& c = engine.ConnectionFor(dbName);
    std::istringstream words(a[1]);
    std::string first;
    words >> first;
    const std::string verb = UpperCase(first);
    if (verb == "SELECT" || verb == "WITH" || verb == "VALUES" || verb == "PRAGMA" ||
        verb == "EXPLAIN") {
        db::Rows rows;
        c.RunText(a[1], &rows);
        WriteCsv(std::cout, rows);
    } else {
        c.RunText(a[1], nullptr);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "--version") {
        std::cout << "tallon-db " << tallon::kProgramVersion << "\n";
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    tallon::db::Engine engine;
    try {
        int rc = 0;
        if (command == "create") {
            rc = Create(engine, args);
        } else if (command == "index") {
            rc = Index(engine, args);
        } else if (command == "import") {
            rc = Import(engine, args);
        } else if (command == "export") {
            rc = Export(engine, args);
        } else if (command == "list") {
            rc = List(engine, args);
        } else if (command == "import-paradox") {
            try {
                rc = tallon::ImportParadoxCommand(args);
            } catch (const std::invalid_argument& e) {
                throw UsageError(e.what());
            }
        } else if (command == "sql") {
            rc = Sql(engine, args);
        } else {
            throw UsageError("unknown command '" + command + "'");
        }
        engine.Shutdown();
        return rc;
    } catch (const UsageError& e) {
        std::cerr << "tallon-db: " << e.what() << "\n(tallon-db --help shows the commands)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "tallon-db: " << e.what() << "\n";
        try {
            engine.Shutdown();
        } catch (...) {
        }
        return 1;
    }
}
