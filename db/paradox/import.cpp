#include "db/paradox/import.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/paradox/code_page.h"
#include "db/paradox/detect.h"
#include "db/paradox/engine_record.h"
#include "db/paradox/engine_table.h"
#include "db/paradox/family_files.h"
#include "db/paradox/staging.h"

namespace tallon::db::paradox {

namespace fs = std::filesystem;

namespace {

// Unreadable records are all counted; this many are named.
constexpr int64_t kRecordsNamed = 10;

// The fields a table's records are checked against the recovery's own
// transaction template by.
constexpr const char* kTransactionFields[] = {"SeqNo", "Date", "Time", "Card No", "Device Name"};
constexpr const char* kTransactionKey = "SeqNo;Time;Card No";

std::string Counted(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int FieldPlace(const std::vector<local::FieldDef>& fields, const std::string& name) {
    for (size_t i = 0; i < fields.size(); ++i)
        if (SameText(fields[i].name, name))
            return static_cast<int>(i);
    return -1;
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : separator) + p;
    return out;
}

// What the engine table gets: its fields, its indexes, and the primary
// key the records are checked against.
struct TablePlan {
    std::vector<local::FieldDef> fields;
    std::vector<IndexSpec> indexes;
    std::vector<std::string> key;  // the primary index's fields
    std::vector<int> keyPlaces;
};

// A transaction table gets the indexes the recovery builds itself: its
// duplicate check looks records up by (SeqNo, Time, Card No), which
// Paradox could not key on since its keys lead the record. Other tables
// with a .PX keep their Paradox key as the primary index.
void PlanIndexes(const Reader& reader, const std::vector<std::string>& family, TablePlan& plan) {
    bool transaction = true;
    for (const char* f : kTransactionFields)
        transaction = transaction && FieldPlace(plan.fields, f) >= 0;
    const auto has = [&](bool (*match)(const std::string&)) {
        return std::any_of(family.begin(), family.end(),
                           [&](const std::string& f) { return match(UpperExtension(f)); });
    };
    if (has(IsPrimaryIndexExtension) && reader.KeyFieldCount() > 0) {
        if (transaction) {
            plan.key = {"SeqNo", "Time", "Card No"};
        } else {
            for (int i = 0; i < reader.KeyFieldCount(); ++i)
                plan.key.push_back(plan.fields[static_cast<size_t>(i)].name);
        }
        plan.indexes.push_back({"", Joined(plan.key, ";"), ixPrimary | ixUnique});
        for (const auto& k : plan.key)
            plan.keyPlaces.push_back(FieldPlace(plan.fields, k));
    }
    if (transaction && has(IsSecondaryIndexExtension)) {
        plan.indexes.push_back({"date_key", "date", ixCaseInsensitive});
        plan.indexes.push_back({"dname_key", "device name", ixCaseInsensitive});
    }
}

std::string IndexText(const IndexSpec& index, int codePage) {
    return index.name.empty() ? "primary (" + TextForMessages(index.fields, codePage) + ")"
                              : index.name;
}

class Importer {
  public:
    Importer(std::string sourceDir, std::string destDir, const ImportOptions& options)
        : source_(std::move(sourceDir)),
          dest_(std::move(destDir)),
          originals_(dest_ + kOriginalsFolder + "/"),
          options_(options),
          staging_(source_, dest_, originals_) {}

    // Tables an interrupted import had converted and not yet put in place.
    std::vector<TableReport> Settle() {
        std::vector<TableReport> reports;
        for (const auto& name : staging_.Settle()) {
            TableReport r;
            r.name = name;
            r.file = name + ".DB";
            r.resumed = true;
            reports.push_back(r);
        }
        return reports;
    }

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
            // The line names the table already.
            std::string why = e.what();
            if (why.rfind(path + ": ", 0) == 0)
                why.erase(0, path.size() + 2);
            r.failed = true;
            r.problems.push_back(why);
        }
        if (r.failed) {
            r.written = 0;
            if (!options_.check)
                staging_.Discard(r.name);
        }
        return r;
    }

  private:
    void CheckNotImportedBefore(const TableReport& r) const {
        if (options_.check || options_.replace)
            return;
        if (!FamilyFiles(originals_, r.name).empty())
            throw Exception(std::string("already imported: ") + kOriginalsFolder + "/" + r.file +
                            " exists (--replace imports it again)");
        if (source_ != dest_ && !EngineFiles(dest_, r.name).empty())
            throw Exception(r.name + " exists in " + dest_ + " (--replace replaces it)");
    }

    // The engine fields, or the table fails naming every field it cannot hold.
    bool PlanFields(const Reader& reader, TableReport& r, TablePlan& plan) const {
        for (const Field& f : reader.Fields()) {
            std::string why;
            if (auto def = EngineField(f, reader.CodePage(), why)) {
                plan.fields.push_back(*def);
            } else {
                r.problems.push_back(why);
            }
        }
        r.failed = !r.problems.empty();
        return !r.failed;
    }

    void Convert(TableReport& r, const std::string& path) {
        CheckNotImportedBefore(r);
        Reader reader(path);
        r.codePage = reader.CodePage();
        r.fields = static_cast<int>(reader.Fields().size());
        TablePlan plan;
        if (!PlanFields(reader, r, plan))
            return;
        const auto family = FamilyFiles(source_, r.name);
        PlanIndexes(reader, family, plan);
        for (const auto& index : plan.indexes)
            r.indexes.push_back(IndexText(index, r.codePage));
        CompareCounts(reader, r);
        if (!reader.BlobPath().empty() &&
            std::none_of(reader.Fields().begin(), reader.Fields().end(),
                         [](const Field& f) { return IsBlobType(f.type); })) {
            r.notes.push_back(ExtractFileName(reader.BlobPath()) +
                              " is not used: the table has no memo field");
        }

        std::unique_ptr<EngineTable> table;
        if (!options_.check && !r.failed)
            table = std::make_unique<EngineTable>(staging_.Begin(r.name), r.name, plan.fields);
        ReadRecords(reader, plan, table.get(), r);
        if (r.failed || !table)
            return;
        table->Finish(plan.indexes);
        table.reset();
        staging_.MarkReady(r.name, family);
        staging_.PutInPlace(r.name);
        r.written = r.read;
    }

    // The records the data blocks hold win over the header's count: they are
    // the table. A header that counts fewer is reported; one that counts
    // more fails the table, since blocks it once had may be lost.
    static void CompareCounts(const Reader& reader, TableReport& r) {
        const int64_t header = reader.HeaderRecordCount();
        const int64_t blocks = reader.RecordCount();
        if (header == blocks)
            return;
        r.headerCount = header;
        if (header > blocks) {
            r.failed = true;
            r.problems.push_back("the header counts " + std::to_string(header) +
                                 " records, the data blocks hold only " + std::to_string(blocks) +
                                 ": blocks may be lost");
        }
    }

    void ReadRecords(Reader& reader, const TablePlan& plan, EngineTable* table, TableReport& r) {
        KeyCheck keys(plan.keyPlaces, [&] {
            std::vector<local::FieldDef> defs;
            for (int place : plan.keyPlaces)
                defs.push_back(plan.fields[static_cast<size_t>(place)]);
            return defs;
        }());
        const std::string keyText = TextForMessages(Joined(plan.key, ";"), r.codePage);
        std::vector<FieldValue> values;
        std::vector<db::Value> record(plan.fields.size());
        int64_t bad = 0;
        const auto problem = [&](int64_t n, const std::string& why) {
            r.failed = true;
            if (++bad <= kRecordsNamed)
                r.problems.push_back("record " + std::to_string(n) + ": " + why);
        };
        for (int64_t n = 1; n <= reader.RecordCount(); ++n) {
            std::string why;
            if (!reader.Next(values, why)) {
                problem(n, why);
                continue;
            }
            ++r.read;
            for (size_t i = 0; i < values.size(); ++i)
                record[i] = EngineValue(values[i]);
            if (const int64_t earlier = keys.Add(record, n)) {
                problem(n, "key violation: same key (" + keyText + ") as record " +
                               std::to_string(earlier));
                continue;
            }
            if (table && !r.failed) {
                try {
                    table->Write(record);
                } catch (const Exception& e) {
                    problem(n, e.Message());
                }
            }
        }
        if (bad > kRecordsNamed)
            r.problems.push_back("and " + std::to_string(bad - kRecordsNamed) + " more records");
    }

    std::string source_;
    std::string dest_;
    std::string originals_;
    ImportOptions options_;
    Staging staging_;
};

std::string WithSlash(std::string dir) {
    if (dir.empty())
        dir = "./";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

bool HasDbExtension(const std::string& f) {
    return f.size() > 3 && SameText(f.substr(f.size() - 3), ".db");
}

// The tables to import and the directory they are in.
std::vector<std::string> TablesOf(const std::string& source, std::string& sourceDir,
                                  bool& directory) {
    const std::string resolved = ResolveFileName(source);
    directory = DirectoryExists(resolved);
    std::vector<std::string> files;
    if (directory) {
        sourceDir = WithSlash(resolved);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(sourceDir, ec)) {
            const std::string f = e.path().filename().string();
            if (e.is_regular_file(ec) && HasDbExtension(f))
                files.push_back(f);
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    if (!FileExists(resolved))
        throw Exception("No such table or directory: " + source);
    const std::string f = ExtractFileName(resolved);
    if (!HasDbExtension(f))
        throw Exception(source + ": a Paradox table is a NAME.DB file");
    sourceDir = WithSlash(ExtractFilePath(resolved));
    return {f};
}

}  // namespace

std::optional<local::FieldDef> EngineField(const Field& field, int codePage, std::string& why) {
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
    why = "field \"" + TextForMessages(field.name, codePage) + "\" is " +
          FieldTypeWithArticle(field.type) + " field, which an engine table cannot hold";
    return std::nullopt;
}

std::vector<TableReport> ImportParadox(const std::string& source, const std::string& destination,
                                       const ImportOptions& options,
                                       const std::function<void(const TableReport&)>& done) {
    std::string sourceDir;
    bool directory = false;
    const std::vector<std::string> files = TablesOf(source, sourceDir, directory);
    const std::string destDir = destination.empty() ? sourceDir : WithSlash(destination);
    if (!DirectoryExists(destDir))
        throw Exception("Directory does not exist: " + destination);
    // Same directory however it is spelled: the originals then move aside.
    std::error_code ec;
    const bool same = fs::equivalent(sourceDir, destDir, ec);
    Importer importer(sourceDir, same ? sourceDir : destDir, options);
    std::vector<TableReport> reports;
    const auto report = [&](TableReport r) {
        if (done)
            done(r);
        reports.push_back(std::move(r));
    };
    if (!options.check) {
        for (auto& r : importer.Settle())
            report(std::move(r));
    }
    for (const auto& f : files) {
        // A table an interrupted import finished above is an engine table now.
        if (std::any_of(reports.begin(), reports.end(),
                        [&](const TableReport& r) { return SameText(r.file, f); }))
            continue;
        report(importer.Run(f, directory));
    }
    return reports;
}

std::string SummaryLine(const TableReport& r, bool check) {
    if (r.skipped)
        return r.file + ": already an engine table, left as it is";
    if (r.resumed)
        return r.file + ": imported (an interrupted import had converted it)";
    std::string line = r.file + ": ";
    if (r.failed) {
        line += "FAILED";
        for (const auto& p : r.problems)
            line += "; " + p;
        if (r.fields)
            line += " (" + Counted(r.read, "record", "records") + " read, none written)";
        return line;
    }
    line += Counted(r.read, "record", "records") + " read, " + std::to_string(r.written) +
            " written" + (check ? " (check only)" : "") + ", " +
            Counted(r.fields, "field", "fields") + ", ";
    line += r.indexes.empty() ? "no indexes" : "indexes " + Joined(r.indexes, ", ");
    line += r.codePage ? ", code page " + std::to_string(r.codePage) : ", no code page";
    if (r.headerCount >= 0) {
        line += "; the header counts " + std::to_string(r.headerCount) +
                " records, the data blocks hold " + std::to_string(r.read) + " (all " +
                (check ? "read)" : "imported)");
    }
    for (const auto& n : r.notes)
        line += "; " + n;
    return line;
}

}  // namespace tallon::db::paradox
