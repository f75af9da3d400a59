#include "db/table.h"

#include <cmath>

#include "base/errors.h"
#include "base/text.h"
#include "db/batch.h"
#include "db/engine.h"
#include "db/local/directory_database.h"
#include "db/local/index_sync.h"
#include "db/local/table_file.h"

namespace tallon::db {

using local::FieldKind;

namespace {

std::vector<std::string> SplitFields(const std::string& fields) {
    std::vector<std::string> list;
    std::string part;
    for (size_t i = 0; i <= fields.size(); ++i) {
        if (i == fields.size() || fields[i] == ';') {
            if (!Trim(part).empty())
                list.push_back(Trim(part));
            part.clear();
        } else {
            part += fields[i];
        }
    }
    return list;
}

}  // namespace

Table::Table(Engine& engine, std::string objectName, std::string databaseName)
    : engine_(engine), objectName_(std::move(objectName)), databaseName_(std::move(databaseName)) {}

Table::~Table() {
    Close();
}

void Table::Close() {
    if (file_ && openedVersion_ != engine_.ConnectionsVersion()) {
        file_ = nullptr;  // closed with the engine
        appending_ = false;
        record_.clear();
    }
    if (!file_)
        return;
    // A record appended but not posted is dropped, as closing cancels it.
    appending_ = false;
    record_.clear();
    local::TableFile* file = file_;
    file_ = nullptr;
    file->ReleaseUse(exclusiveHeld_);
    exclusiveHeld_ = false;
}

void Table::SetTableName(const std::string& tableName) {
    if (Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on an open dataset");
    }
    tableName_ = tableName;
}

void Table::SetExclusive(bool exclusive) {
    if (Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on an open dataset");
    }
    exclusive_ = exclusive;
}

namespace {
local::DirectoryDatabase& DirectoryFor(Engine& engine, const std::string& objectName,
                                       const std::string& databaseName) {
    const std::string dir = engine.DirectoryOf(databaseName);
    if (dir.empty()) {
        throw EDatabaseError(objectName + ": Database '" + databaseName + "' is not open");
    }
    return engine.Directory(dir);
}
}  // namespace

void Table::Open() {
    if (Active())
        return;
    if (tableName_.empty()) {
        throw EDatabaseError(objectName_ + ": Missing table name");
    }
    local::TableFile& file = DirectoryFor(engine_, objectName_, databaseName_).Table(tableName_);
    file.AcquireUse(exclusive_);
    try {
        local::SyncIndexes(file, engine_.Generation(), engine_.ActiveBatch() != nullptr);
    } catch (...) {
        file.ReleaseUse(exclusive_);
        throw;
    }
    file_ = &file;
    openedVersion_ = engine_.ConnectionsVersion();
    exclusiveHeld_ = exclusive_;
}

local::TableFile& Table::FileOf(const char* what) {
    (void)what;
    if (file_ && openedVersion_ != engine_.ConnectionsVersion()) {
        file_ = nullptr;
    }
    if (!file_) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    return *file_;
}

bool Table::FindKey(double number, DateTime timeOfDay, const std::string& text) {
    local::TableFile& f = FileOf("FindKey");
    const local::IndexDef* px = f.PrimaryIndex();
    if (!px) {
        throw EDatabaseError(objectName_ + ": Table " + f.TableName() + " has no primary index");
    }
    const size_t n = std::min<size_t>(3, px->fields.size());
    const bool fresh = findKeyFile_ != &f;
    if (fresh) {
        findKeySql_ = "SELECT 1 FROM records WHERE ";
    }
    std::vector<Value> values;
    values.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const int fi = f.FieldIndex(px->fields[i]);
        if (fi < 0)
            throw EDatabaseError("Field '" + px->fields[i] + "' not found");
        const local::FieldDef& field = f.Fields()[fi];
        if (fresh) {
            findKeySql_ += (i ? " AND " : "") + local::QuoteIdent(field.name) + "=?";
            if ((px->options & ixCaseInsensitive) && field.kind == FieldKind::Text) {
                findKeySql_ += " COLLATE NOCASE";
            }
        }
        const Value given = i == 0   ? Value::Float(number)
                            : i == 1 ? (field.kind == FieldKind::Date ? Value::Date(timeOfDay)
                                                                      : Value::Time(timeOfDay))
                                     : Value::Text(text);
        values.push_back(local::StoredValue(field.kind, given, objectName_));
    }
    if (fresh) {
        findKeySql_ += " LIMIT 1";
        findKeyFile_ = &f;
    }
    Rows rows;
    f.BeginRead();
    f.RunInternal(findKeySql_, values, &rows);
    return !rows.empty();
}

bool Table::PrimaryKeyRefusesRepeats() {
    const local::IndexDef* px = FileOf("FindKey").PrimaryIndex();
    return px && !px->fields.empty() && px->fields.size() <= 3;
}

void Table::Append() {
    local::TableFile& f = FileOf("Append");
    record_.assign(f.Fields().size(), Value());
    appending_ = true;
}

void Table::SetField(const std::string& field, Value value) {
    local::TableFile& f = FileOf("SetField");
    if (!appending_) {
        throw EDatabaseError(objectName_ + ": Dataset not in edit or insert mode");
    }
    const int fi = f.FieldIndex(field);
    if (fi < 0) {
        throw EDatabaseError(objectName_ + ": Field '" + field + "' not found");
    }
    record_[fi] = local::StoredValue(f.Fields()[fi].kind, std::move(value), objectName_);
}

void Table::SetFieldFloat(const std::string& field, double value) {
    SetField(field, Value::Float(value));
}

void Table::SetFieldText(const std::string& field, const std::string& value) {
    SetField(field, Value::Text(value));
}

void Table::SetFieldDate(const std::string& field, DateTime value) {
    SetField(field, Value::Date(value));
}

void Table::SetFieldTime(const std::string& field, DateTime value) {
    SetField(field, Value::Time(value));
}

const BatchMember* Table::Post() {
    local::TableFile& f = FileOf("Post");
    if (!appending_) {
        throw EDatabaseError(objectName_ + ": Dataset not in edit or insert mode");
    }
    if (f.Fields().size() != record_.size()) {
        throw EDatabaseError(objectName_ + ": Table " + f.TableName() + " changed while open");
    }
    f.CheckDecisionStands();
    const BatchMember* holder = f.Append(record_);
    appending_ = false;
    record_.clear();
    return holder;
}

void Table::AddIndex(const std::string& indexName, const std::string& fields, unsigned options) {
    RebuildOrAdd({IndexSpec{indexName, fields, options}}, false);
}

void Table::RebuildIndexes(const std::vector<IndexSpec>& indexes) {
    RebuildOrAdd(indexes, true);
}

void Table::RebuildOrAdd(const std::vector<IndexSpec>& indexes, bool replace) {
    if (Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on an open dataset");
    }
    if (tableName_.empty()) {
        throw EDatabaseError(objectName_ + ": Missing table name");
    }
    local::DirectoryDatabase& directory = DirectoryFor(engine_, objectName_, databaseName_);
    local::TableFile& file = directory.Table(tableName_);
    // Whatever happens, index files may have come or gone.
    struct Forget {
        local::DirectoryDatabase& d;
        const std::string& name;
        ~Forget() { d.ForgetTable(name); }
    } forget{directory, tableName_};
    std::vector<local::IndexDef> defs;
    for (const IndexSpec& spec : indexes) {
        local::IndexDef def;
        def.name = spec.name;
        def.fields = SplitFields(spec.fields);
        def.options = spec.options;
        if (def.fields.empty()) {
            throw EDatabaseError(objectName_ + ": An index needs at least one field");
        }
        for (const auto& name : def.fields) {
            if (file.FieldIndex(name) < 0) {
                throw EDatabaseError(objectName_ + ": Field '" + name + "' not found");
            }
        }
        defs.push_back(std::move(def));
    }
    file.AcquireUse(true);
    try {
        local::SyncIndexes(file, engine_.Generation(), false);
        local::AddIndexes(file, std::move(defs), replace);
    } catch (...) {
        file.ReleaseUse(true);
        throw;
    }
    file.ReleaseUse(true);
}

}  // namespace tallon::db
