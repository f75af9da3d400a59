#include "db/paradox/import.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "base/date_time.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "db/paradox/detect.h"
#include "db/table.h"

namespace tallon::db::paradox {

namespace fs = std::filesystem;

namespace {

// The staging folder inside the destination: a table is written there in
// full, with its indexes, before anything of the site's changes.
constexpr const char* kStagingFolder = ".paradox-import";

std::string TimestampText(const FieldValue& v) {
    char buf[40];
    const int64_t s = v.ms / 1000;
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", v.year, v.month, v.day,
                  static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
    return buf;
}

// ---------------------------------------------------------------------------
// Every call into the engine's table objects is in this section.

class EngineTable {
  public:
    EngineTable(const std::string& directory, const std::string& name,
                const std::vector<local::FieldDef>& fields)
        : engine_(directory), fields_(fields) {
        engine_.Directory(directory).CreateTable(name, fields);
        database_.AddParam("path=" + directory);
        database_.Open();
        table_.SetTableName(name);
        table_.SetExclusive(true);
        table_.Open();
    }
    ~EngineTable() {
        try {
            table_.Close();
            database_.Close();
            engine_.Shutdown();
        } catch (...) {
        }
    }

    void Write(const std::vector<FieldValue>& values) {
        table_.Append();
        for (size_t i = 0; i < values.size(); ++i) {
            const FieldValue& v = values[i];
            const std::string& name = fields_[i].name;
            switch (v.kind) {
                case FieldValue::Null:
                    break;
                case FieldValue::Int:
                    table_.SetFieldFloat(name, static_cast<double>(v.i));
                    break;
                case FieldValue::Real:
                    table_.SetFieldFloat(name, v.r);
                    break;
                case FieldValue::Text:
                    table_.SetFieldText(name, v.s);
                    break;
                case FieldValue::Date:
                    table_.SetFieldDate(name, EncodeDate(v.year, v.month, v.day));
                    break;
                case FieldValue::Time:
                    table_.SetFieldTime(name, EncodeTime(static_cast<int>(v.ms / 3600000),
                                                         static_cast<int>(v.ms / 60000 % 60),
                                                         static_cast<int>(v.ms / 1000 % 60),
                                                         static_cast<int>(v.ms % 1000)));
                    break;
                case FieldValue::Timestamp:
                    table_.SetFieldText(name, TimestampText(v));
                    break;
            }
        }
        table_.Post();
    }

    void AddIndex(const std::string& name, const std::string& fields, bool primary) {
        table_.Close();
        table_.AddIndex(name, fields,
                        primary ? ixPrimary | ixUnique : static_cast<unsigned>(ixCaseInsensitive));
    }

    // Makes everything durable and lets go of the file, so it can be moved.
    void Finish() {
        table_.Close();
        engine_.Shutdown();
    }

  private:
    // The staging directory's own engine: shut down (every record committed,
    // every file let go) before the files are moved.
    Engine engine_;
    std::vector<local::FieldDef> fields_;
    Database database_{engine_, "TALLON_PARADOX_IMPORT", "STANDARD", "Default"};
    Table table_{engine_, "Import", "TALLON_PARADOX_IMPORT"};
};

// ---------------------------------------------------------------------------

std::string Upper(const std::string& s) {
    return UpperCase(s);
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Extensions of the files that belong to a Paradox table.
bool IsParadoxFamilyExtension(const std::string& extUpper) {
    static const char* const fixed[] = {"DB", "PX", "MB", "TV", "VAL", "FAM"};
    for (const char* f : fixed)
        if (extUpper == f)
            return true;
    if (extUpper.size() == 3 && (extUpper[0] == 'X' || extUpper[0] == 'Y')) {
        if (extUpper[1] == 'G')
            return IsHex(extUpper[2]);
        return IsHex(extUpper[1]) && IsHex(extUpper[2]);
    }
    return false;
}

// Bare names of the files in `dir` that belong to the table `name`.
std::vector<std::string> FamilyFiles(const std::string& dir, const std::string& name) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (!e.is_regular_file(ec))
            continue;
        const std::string file = e.path().filename().string();
        const auto dot = file.rfind('.');
        if (dot == std::string::npos || !SameText(file.substr(0, dot), name))
            continue;
        if (IsParadoxFamilyExtension(Upper(file.substr(dot + 1))))
            out.push_back(file);
    }
    return out;
}

bool HasExtension(const std::vector<std::string>& files, bool (*match)(const std::string&)) {
    for (const auto& f : files)
        if (match(Upper(f.substr(f.rfind('.') + 1))))
            return true;
    return false;
}

bool IsPrimaryIndexExt(const std::string& e) {
    return e == "PX";
}
bool IsSecondaryIndexExt(const std::string& e) {
    return e.size() == 3 && (e[0] == 'X' || e[0] == 'Y') && e[1] == 'G';
}

bool IsSqliteFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char head[16] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return n == 16 && std::string(head, 15) == "SQLite format 3";
}

int FieldIndexNoCase(const std::vector<Field>& fields, const std::string& name) {
    for (size_t i = 0; i < fields.size(); ++i)
        if (SameText(fields[i].name, name))
            return static_cast<int>(i);
    return -1;
}

// Engine files of a table in `dir`: NAME.DB, its journal and index files.
std::vector<std::string> EngineFiles(const std::string& dir, const std::string& name) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string file = e.path().filename().string();
        const auto dot = file.find('.');
        if (dot == std::string::npos || !SameText(file.substr(0, dot), name))
            continue;
        const std::string ext = Upper(file.substr(dot + 1));
        if (ext == "DB" || ext == "DB-JOURNAL" || IsPrimaryIndexExt(ext) ||
            IsSecondaryIndexExt(ext))
            out.push_back(file);
    }
    return out;
}

void Move(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec)
        throw Exception("Cannot move " + from + " to " + to + ": " + ec.message());
}

class Importer {
  public:
    Importer(std::string sourceDir, std::string destDir, const ImportOptions& options)
        : source_(std::move(sourceDir)), dest_(std::move(destDir)), options_(options) {}

    TableReport Run(const std::string& file, bool fromDirectory) {
        TableReport r;
        r.file = file;
        r.name = file.substr(0, file.size() - 3);
        const std::string path = source_ + file;
        try {
            if (!IsParadoxTableFile(path)) {
                if (fromDirectory && IsSqliteFile(path)) {
                    r.skipped = true;
                    return r;
                }
                throw Exception(file + " is not a Paradox table");
            }
            Convert(r, path);
        } catch (const std::exception& e) {
            r.failed = true;
            r.problems.push_back(e.what());
        }
        if (r.failed)
            RemoveStaged(r.name);
        return r;
    }

  private:
    void Convert(TableReport& r, const std::string& path) {
        const std::string originals = dest_ + kOriginalsFolder + "/";
        if (!options_.check && !options_.replace) {
            if (!FamilyFiles(originals, r.name).empty())
                throw Exception(std::string("already imported: ") + kOriginalsFolder + "/" +
                                r.file + " exists (--replace imports it again)");
            if (source_ != dest_ && !EngineFiles(dest_, r.name).empty())
                throw Exception(r.name + " exists in " + dest_ + " (--replace replaces it)");
        }

        Reader reader(path);
        r.codePage = reader.CodePage();
        r.fields = static_cast<int>(reader.Fields().size());
        std::vector<local::FieldDef> fields;
        for (const Field& f : reader.Fields()) {
            std::string why;
            auto def = EngineField(f, why);
            if (!def) {
                r.problems.push_back(why);
                continue;
            }
            fields.push_back(*def);
        }
        if (!r.problems.empty()) {
            r.failed = true;
            return;
        }

        const auto family = FamilyFiles(source_, r.name);
        // A transaction table gets the indexes the recovery builds itself:
        // its duplicate check looks records up by (SeqNo, Time, Card No),
        // which Paradox could not key on since its keys lead the record.
        bool transaction = true;
        for (const char* f : {"SeqNo", "Date", "Time", "Card No", "Device Name"})
            transaction = transaction && FieldIndexNoCase(reader.Fields(), f) >= 0;
        std::string primary;
        if (HasExtension(family, IsPrimaryIndexExt) && reader.KeyFieldCount() > 0) {
            if (transaction) {
                primary = "SeqNo;Time;Card No";
            } else {
                for (int i = 0; i < reader.KeyFieldCount(); ++i)
                    primary += (i ? ";" : "") + reader.Fields()[i].name;
            }
        }
        const bool transactionIndexes = transaction && HasExtension(family, IsSecondaryIndexExt);

        std::unique_ptr<EngineTable> table;
        const std::string staging = dest_ + kStagingFolder + "/";
        if (!options_.check) {
            RemoveStaged(r.name);
            fs::create_directories(staging);
            table = std::make_unique<EngineTable>(staging, r.name, fields);
        }
        std::vector<FieldValue> values;
        for (int n = 0; n < reader.RecordCount(); ++n) {
            std::string why;
            if (!reader.Read(n, values, why)) {
                r.failed = true;
                // Every bad record is counted, the first few are named.
                if (r.problems.size() < 10)
                    r.problems.push_back("record " + std::to_string(n + 1) + ": " + why);
                continue;
            }
            ++r.read;
            if (!table || r.failed)
                continue;
            try {
                table->Write(values);
                ++r.written;
            } catch (const Exception& e) {
                r.failed = true;
                r.problems.push_back("record " + std::to_string(n + 1) + ": " + e.Message());
            }
        }
        if (r.failed) {
            if (r.problems.size() >= 10)
                r.problems.push_back("...");
            return;
        }
        if (!primary.empty()) {
            if (table) {
                try {
                    table->AddIndex("", primary, true);
                } catch (const Exception& e) {
                    r.failed = true;
                    r.problems.push_back("primary index (" + primary + "): " + e.Message());
                    return;
                }
            }
            r.indexes.push_back("primary (" + primary + ")");
        }
        if (transactionIndexes) {
            if (table) {
                table->AddIndex("date_key", "date", false);
                table->AddIndex("dname_key", "device name", false);
            }
            r.indexes.push_back("date_key");
            r.indexes.push_back("dname_key");
        }
        if (!table)
            return;
        table->Finish();
        table.reset();
        Commit(r, family, staging);
    }

    // The converted table takes the place of the Paradox files, which move
    // into the originals folder; a failure puts back what was moved.
    void Commit(TableReport& r, const std::vector<std::string>& family,
                const std::string& staging) {
        const std::string originals = dest_ + kOriginalsFolder + "/";
        fs::create_directories(originals);
        std::vector<std::pair<std::string, std::string>> done;
        std::vector<std::string> placed;
        try {
            if (options_.replace) {
                for (const auto& f : FamilyFiles(originals, r.name))
                    fs::remove(originals + f);
            }
            for (const auto& f : family) {
                Move(source_ + f, originals + f);
                done.emplace_back(source_ + f, originals + f);
            }
            // What an earlier import (or a --replace target) left of the
            // table goes, so no stale index file describes the new one.
            for (const auto& f : EngineFiles(dest_, r.name))
                fs::remove(dest_ + f);
            for (const auto& f : EngineFiles(staging, r.name)) {
                Move(staging + f, dest_ + f);
                placed.push_back(dest_ + f);
            }
        } catch (const std::exception&) {
            std::error_code ec;
            for (const auto& f : placed)
                fs::remove(f, ec);
            for (auto it = done.rbegin(); it != done.rend(); ++it)
                fs::rename(it->second, it->first, ec);
            throw;
        }
        std::error_code ec;
        fs::remove(staging, ec);  // only when empty
    }

    void RemoveStaged(const std::string& name) {
        const std::string staging = dest_ + kStagingFolder + "/";
        std::error_code ec;
        for (const auto& f : EngineFiles(staging, name))
            fs::remove(staging + f, ec);
        fs::remove(staging, ec);
    }

    std::string source_;
    std::string dest_;
    ImportOptions options_;
};

std::string WithSlash(std::string dir) {
    if (dir.empty())
        dir = "./";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

}  // namespace

std::optional<local::FieldDef> EngineField(const Field& field, std::string& why) {
    using K = local::FieldKind;
    local::FieldDef def;
    def.name = field.name;
    switch (field.type) {
        case kAlpha:
            def.kind = K::Text;
            def.size = field.length;
            return def;
        case kDate:
            def.kind = K::Date;
            return def;
        case kTime:
            def.kind = K::Time;
            return def;
        case kNumber:
        case kCurrency:
        case kBcd:
            def.kind = K::Float;
            return def;
        case kShort:
        case kLong:
        case kAutoIncrement:
        case kLogical:
            def.kind = K::Integer;
            return def;
        case kMemo:
        case kFormattedMemo:
            def.kind = K::Text;
            return def;
        case kTimestamp:
            def.kind = K::Text;
            def.size = 19;
            return def;
    }
    why = "field \"" + field.name + "\" is a " + FieldTypeName(field.type) +
          " field, which an engine table cannot hold";
    return std::nullopt;
}

std::vector<TableReport> ImportParadox(const std::string& source, const std::string& destination,
                                       const ImportOptions& options) {
    std::vector<TableReport> reports;
    const std::string resolved = ResolveFileName(source);
    const bool directory = DirectoryExists(resolved);
    std::string sourceDir;
    std::vector<std::string> files;
    if (directory) {
        sourceDir = WithSlash(resolved);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(sourceDir, ec)) {
            const std::string f = e.path().filename().string();
            if (e.is_regular_file(ec) && f.size() > 3 && SameText(f.substr(f.size() - 3), ".db"))
                files.push_back(f);
        }
        std::sort(files.begin(), files.end());
    } else {
        if (!FileExists(resolved))
            throw Exception("No such table or directory: " + source);
        const std::string f = ExtractFileName(resolved);
        if (f.size() <= 3 || !SameText(f.substr(f.size() - 3), ".db"))
            throw Exception(source + ": a Paradox table is a NAME.DB file");
        sourceDir = WithSlash(ExtractFilePath(resolved));
        files.push_back(f);
    }
    const std::string destDir = destination.empty() ? sourceDir : WithSlash(destination);
    if (!DirectoryExists(destDir))
        throw Exception("Directory does not exist: " + destination);
    // Same directory however it is spelled: the originals then move aside.
    std::error_code ec;
    const bool same = fs::equivalent(sourceDir, destDir, ec);
    Importer importer(sourceDir, same ? sourceDir : destDir, options);
    reports.reserve(files.size());
    for (const auto& f : files)
        reports.push_back(importer.Run(f, directory));
    return reports;
}

std::string SummaryLine(const TableReport& r, bool check) {
    if (r.skipped)
        return r.file + ": already an engine table, left as it is";
    std::string line = r.file + ": ";
    if (r.failed) {
        line += "FAILED";
        for (const auto& p : r.problems)
            line += "; " + p;
        if (r.fields)
            line += " (" + std::to_string(r.read) + " records read, " + std::to_string(r.written) +
                    " written)";
        return line;
    }
    line += std::to_string(r.read) + " records read, " + std::to_string(r.written) + " written" +
            (check ? " (check only)" : "") + ", " + std::to_string(r.fields) + " fields, ";
    if (r.indexes.empty()) {
        line += "no indexes";
    } else {
        line += "indexes ";
        for (size_t i = 0; i < r.indexes.size(); ++i)
            line += (i ? ", " : "") + r.indexes[i];
    }
    line += ", code page " + std::to_string(r.codePage);
    return line;
}

}  // namespace tallon::db::paradox
