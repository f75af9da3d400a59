// tallon-db: the operator's tool for the tables only Tallon's engine writes.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/connection.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/local_store.h"
#include "db/query.h"
#include "db/table.h"
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

std::vector<db::local::FieldDef> ParseSchema(const std::string& text, const std::string& file) {
    std::vector<db::local::FieldDef> fields;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string t = Trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        const auto colon = t.rfind(':');
        auto bad = [&](const std::string& why) {
            return Exception(file + " line " + std::to_string(number) + ": " + why);
        };
        if (colon == std::string::npos)
            throw bad("expected NAME: KIND [SIZE]");
        db::local::FieldDef f;
        f.name = Trim(t.substr(0, colon));
        std::istringstream rest(t.substr(colon + 1));
        std::string kind, size, extra;
        rest >> kind >> size >> extra;
        if (f.name.empty())
            throw bad("missing field name");
        const auto k = db::local::KindFromName(kind);
        if (!k)
            throw bad("unknown kind '" + kind + "' (text, float, date, time, integer)");
        f.kind = *k;
        if (!size.empty()) {
            if (f.kind != db::local::FieldKind::Text)
                throw bad("only text fields have a size");
            char* end = nullptr;
            const long n = std::strtol(size.c_str(), &end, 10);
            if (*end || n < 1 || n > 65535)
                throw bad("invalid size '" + size + "'");
            f.size = static_cast<int>(n);
        }
        if (!extra.empty())
            throw bad("unexpected '" + extra + "'");
        fields.push_back(f);
    }
    return fields;
}

// Splits CSV text into rows of fields.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            any = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
            any = true;
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            if (any || !field.empty()) {
                row.push_back(std::move(field));
                rows.push_back(std::move(row));
            }
            row.clear();
            field.clear();
            any = false;
        } else {
            field += c;
            any = true;
        }
    }
    if (quoted)
        throw Exception("CSV: unterminated quoted field");
    if (any || !field.empty()) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string CsvField(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos)
        return v;
    return QuotedWith(v, '"');
}

void WriteCsv(std::ostream& out, const db::QueryResult& r) {
    for (size_t i = 0; i < r.columns.size(); ++i)
        out << (i ? "," : "") << CsvField(r.columns[i]);
    out << "\r\n";
    for (const auto& row : r.rows) {
        for (size_t i = 0; i < row.size(); ++i)
            out << (i ? "," : "") << CsvField(row[i]);
        out << "\r\n";
    }
}

int Create(const std::vector<std::string>& a) {
    if (a.size() != 2)
        throw UsageError("create needs DIR/NAME and SCHEMAFILE");
    const TablePath t = SplitTablePath(a[0]);
    const auto fields = ParseSchema(ReadFile(a[1]), a[1]);
    if (!DirectoryExists(t.directory))
        throw Exception("Directory does not exist: " + t.directory);
    db::local::CreateTable(ResolveFileName(t.directory) + "/", t.name, fields);
    return 0;
}

int Index(const std::vector<std::string>& a) {
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
    db::Database database(kDbName, "STANDARD", "Default");
    OpenDirectory(database, t.directory);
    db::Table tbl("Table", kDbName);
    tbl.SetTableName(t.name);
    tbl.AddIndex(name, fields, options);
    return 0;
}

int Import(const std::vector<std::string>& a) {
    if (a.size() != 2)
        throw UsageError("import needs DIR/NAME and FILE.csv");
    const TablePath t = SplitTablePath(a[0]);
    const auto rows = ParseCsv(ReadFile(a[1]));
    if (rows.empty())
        throw Exception(a[1] + ": no header row");
    db::Database database(kDbName, "STANDARD", "Default");
    OpenDirectory(database, t.directory);
    db::Table tbl("Table", kDbName);
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

int Export(const std::vector<std::string>& a) {
    if (a.empty() || a.size() > 2)
        throw UsageError("export needs DIR/NAME [FILE.csv]");
    const TablePath t = SplitTablePath(a[0]);
    db::Database database(kDbName, "STANDARD", "Default");
    OpenDirectory(database, t.directory);
    const auto result =
        db::ConnectionFor(kDbName).Select("select * from " + db::local::QuoteIdent(t.name));
    if (a.size() == 2) {
        std::ofstream out(a[1], std::ios::binary | std::ios::trunc);
        if (!out)
            throw Exception("Cannot write " + a[1]);
        WriteCsv(out, *result);
        out.close();
        if (!out)
            throw Exception("Cannot write " + a[1]);
    } else {
        WriteCsv(std::cout, *result);
    }
    return 0;
}

int List(const std::vector<std::string>& a) {
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
            auto file = db::local::OpenTableFile(dir, name);
            db::local::TableFile::Rows rows;
            db::local::TableFile::Run(file->Prepare("SELECT count(*) FROM records"), {}, &rows);
            std::cout << name << "  " << rows.rows[0][0] << " records\n";
            for (const auto& [slot, def] : file->Indexes()) {
                const std::string path = file->IndexFilePath(slot);
                const bool present =
                    FileExists(path) ||
                    (slot != "PX" &&
                     FileExists(file->IndexFilePath(std::string(slot).replace(0, 1, 1, 'Y'))));
                std::string fields;
                for (const auto& f : def.fields)
                    fields += (fields.empty() ? "" : ";") + f;
                std::cout << "  ." << slot << "  " << (def.name.empty() ? "(primary)" : def.name)
                          << "  " << fields << (def.options & db::ixUnique ? "  unique" : "")
                          << (def.options & db::ixCaseInsensitive ? "  case-insensitive" : "")
                          << (present ? "" : "  (index files missing: dropped on next open)")
                          << "\n";
            }
        } catch (const Exception& e) {
            std::cout << name << "  unreadable: " << e.Message() << "\n";
        }
    }
    return 0;
}

int Sql(const std::vector<std::string>& a) {
    if (a.size() != 2)
        throw UsageError("sql needs DATABASE and \"STATEMENT\"");
    std::string dbName = a[0];
    db::Database database(kDbName, "STANDARD", "Default");
    if (a[0].find('/') != std::string::npos || DirectoryExists(a[0])) {
        OpenDirectory(database, a[0]);
        dbName = kDbName;
    }
    db::Connection& c = db::ConnectionFor(dbName);
    std::istringstream words(a[1]);
    std::string first;
    words >> first;
    const std::string verb = UpperCase(first);
    if (verb == "SELECT" || verb == "WITH" || verb == "VALUES" || verb == "PRAGMA" ||
        verb == "EXPLAIN") {
        WriteCsv(std::cout, *c.Select(a[1]));
    } else {
        c.Execute(a[1]);
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
    try {
        tallon::db::SetEngineProgramDirectory(tallon::ExecutableDirectory());
        int rc = 0;
        if (command == "create") {
            rc = Create(args);
        } else if (command == "index") {
            rc = Index(args);
        } else if (command == "import") {
            rc = Import(args);
        } else if (command == "export") {
            rc = Export(args);
        } else if (command == "list") {
            rc = List(args);
        } else if (command == "sql") {
            rc = Sql(args);
        } else {
            throw UsageError("unknown command '" + command + "'");
        }
        tallon::db::ShutdownEngine();
        return rc;
    } catch (const UsageError& e) {
        std::cerr << "tallon-db: " << e.what() << "\n(tallon-db --help shows the commands)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "tallon-db: " << e.what() << "\n";
        try {
            tallon::db::ShutdownEngine();
        } catch (...) {
        }
        return 1;
    }
}
