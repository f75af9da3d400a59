#include "db/table.h"

#include <cmath>
#include <cstdlib>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection.h"
#include "db/local_store.h"

namespace tallon::db {

using local::FieldKind;
using local::Value;

class TableImpl {
  public:
    std::shared_ptr<local::TableFile> file;
    bool exclusiveHeld = false;
    bool appending = false;
    std::vector<Value> record;
};

namespace {

Value FromNumber(FieldKind kind, double v) {
    switch (kind) {
        case FieldKind::Float:
            return Value::MakeReal(v);
        case FieldKind::Integer:
            return Value::MakeInt(std::llround(v));
        case FieldKind::Date:
            return Value::MakeText(local::StoredDate(v));
        case FieldKind::Time:
            return Value::MakeText(local::StoredTime(v));
        case FieldKind::Text:
            break;
    }
    return Value::MakeText(local::RealText(v));
}

bool WholeNumber(const std::string& s, double& out) {
    const std::string t = Trim(s);
    if (t.empty())
        return false;
    char* end = nullptr;
    out = std::strtod(t.c_str(), &end);
    return end && *end == '\0';
}

}  // namespace

Table::Table(std::string objectName, std::string databaseName)
    : objectName_(std::move(objectName)),
      databaseName_(std::move(databaseName)),
      impl_(std::make_unique<TableImpl>()) {}

Table::~Table() {
    try {
        Close();
    } catch (...) {
    }
}

bool Table::Active() const {
    return impl_->file != nullptr;
}

void Table::Close() {
    auto lock = local::LockEngine();
    if (!impl_->file)
        return;
    // A record appended but not posted is dropped, as closing cancels it.
    impl_->appending = false;
    impl_->record.clear();
    auto file = std::move(impl_->file);
    impl_->file.reset();
    file->ReleaseUse(impl_->exclusiveHeld);
    impl_->exclusiveHeld = false;
    local::CommitAged();
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
std::string DirectoryFor(const std::string& objectName, const std::string& databaseName) {
    const std::string dir = DirectoryOfDatabase(databaseName);
    if (dir.empty()) {
        throw EDatabaseError(objectName + ": Database '" + databaseName + "' is not open");
    }
    return dir;
}
}  // namespace

void Table::Open() {
    auto lock = local::LockEngine();
    if (Active())
        return;
    if (tableName_.empty()) {
        throw EDatabaseError(objectName_ + ": Missing table name");
    }
    local::CommitAged();
    auto file = local::OpenTableFile(DirectoryFor(objectName_, databaseName_), tableName_);
    file->AcquireUse(exclusive_);
    try {
        if (exclusive_)
            file->Commit();
        file->SyncIndexes();
    } catch (...) {
        file->ReleaseUse(exclusive_);
        throw;
    }
    impl_->file = std::move(file);
    impl_->exclusiveHeld = exclusive_;
}

bool Table::FindKey(double number, DateTime timeOfDay, const std::string& text) {
    auto lock = local::LockEngine();
    if (!Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    // The file was checked when the table was opened; replacing the files of
    // an open table is not supported.
    local::TableFile& f = *impl_->file;
    const local::IndexDef* px = f.PrimaryIndex();
    if (!px) {
        throw EDatabaseError(objectName_ + ": Table " + f.TableName() + " has no primary index");
    }
    const size_t n = std::min<size_t>(3, px->fields.size());
    std::string sql = "SELECT 1 FROM records WHERE ";
    std::vector<Value> params;
    for (size_t i = 0; i < n; ++i) {
        const int fi = f.FieldIndex(px->fields[i]);
        if (fi < 0)
            throw EDatabaseError("Field '" + px->fields[i] + "' not found");
        const local::FieldDef& field = f.Fields()[fi];
        sql += (i ? " AND " : "") + local::QuoteIdent(field.name) + "=?";
        if ((px->options & ixCaseInsensitive) && field.kind == FieldKind::Text) {
            sql += " COLLATE NOCASE";
        }
        if (i == 0) {
            params.push_back(FromNumber(field.kind, number));
        } else if (i == 1) {
            params.push_back(field.kind == FieldKind::Date
                                 ? Value::MakeText(local::StoredDate(timeOfDay.value))
                             : field.kind == FieldKind::Time || field.kind == FieldKind::Text
                                 ? Value::MakeText(local::StoredTime(timeOfDay.value))
                                 : FromNumber(field.kind, timeOfDay.value));
        } else {
            double v = 0;
            if ((field.kind == FieldKind::Float || field.kind == FieldKind::Integer) &&
                WholeNumber(text, v)) {
                params.push_back(FromNumber(field.kind, v));
            } else {
                params.push_back(Value::MakeText(text));
            }
        }
    }
    sql += " LIMIT 1";
    local::TableFile::Rows rows;
    f.BeginRead();
    local::TableFile::Run(f.Prepare(sql), params, &rows);
    return !rows.rows.empty();
}

void Table::Append() {
    auto lock = local::LockEngine();
    if (!Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    impl_->record.assign(impl_->file->Fields().size(), Value());
    impl_->appending = true;
}

namespace {
int FieldFor(const Table& t, const TableImpl& impl, const std::string& field) {
    if (!impl.file) {
        throw EDatabaseError(t.Name() + ": Cannot perform this operation on a closed dataset");
    }
    if (!impl.appending) {
        throw EDatabaseError(t.Name() + ": Dataset not in edit or insert mode");
    }
    const int fi = impl.file->FieldIndex(field);
    if (fi < 0) {
        throw EDatabaseError(t.Name() + ": Field '" + field + "' not found");
    }
    return fi;
}
}  // namespace

void Table::SetFieldFloat(const std::string& field, double value) {
    auto lock = local::LockEngine();
    const int fi = FieldFor(*this, *impl_, field);
    impl_->record[fi] = FromNumber(impl_->file->Fields()[fi].kind, value);
}

void Table::SetFieldText(const std::string& field, const std::string& value) {
    auto lock = local::LockEngine();
    const int fi = FieldFor(*this, *impl_, field);
    const local::FieldDef& f = impl_->file->Fields()[fi];
    std::string stored;
    double number = 0;
    switch (f.kind) {
        case FieldKind::Text:
            impl_->record[fi] = Value::MakeText(value);
            return;
        case FieldKind::Date:
            if (!local::ParseDateLiteral(value, stored)) {
                throw EDatabaseError(objectName_ + ": '" + value + "' is not a valid date");
            }
            impl_->record[fi] = Value::MakeText(stored);
            return;
        case FieldKind::Time:
            if (!local::ParseTimeLiteral(value, stored)) {
                throw EDatabaseError(objectName_ + ": '" + value + "' is not a valid time");
            }
            impl_->record[fi] = Value::MakeText(stored);
            return;
        case FieldKind::Float:
        case FieldKind::Integer:
            if (Trim(value).empty()) {
                impl_->record[fi] = Value();
                return;
            }
            if (!WholeNumber(value, number)) {
                throw EDatabaseError(objectName_ + ": '" + value + "' is not a valid number");
            }
            impl_->record[fi] = FromNumber(f.kind, number);
            return;
    }
}

void Table::SetFieldDate(const std::string& field, DateTime value) {
    auto lock = local::LockEngine();
    const int fi = FieldFor(*this, *impl_, field);
    const FieldKind kind = impl_->file->Fields()[fi].kind;
    impl_->record[fi] = kind == FieldKind::Float || kind == FieldKind::Integer
                            ? FromNumber(kind, std::floor(value.value))
                            : Value::MakeText(local::StoredDate(value.value));
}

void Table::SetFieldTime(const std::string& field, DateTime value) {
    auto lock = local::LockEngine();
    const int fi = FieldFor(*this, *impl_, field);
    const FieldKind kind = impl_->file->Fields()[fi].kind;
    impl_->record[fi] = kind == FieldKind::Float || kind == FieldKind::Integer
                            ? FromNumber(kind, value.value)
                            : Value::MakeText(local::StoredTime(value.value));
}

void Table::Post() {
    auto lock = local::LockEngine();
    if (!Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    if (!impl_->appending) {
        throw EDatabaseError(objectName_ + ": Dataset not in edit or insert mode");
    }
    local::TableFile& f = *impl_->file;
    if (f.Fields().size() != impl_->record.size()) {
        throw EDatabaseError(objectName_ + ": Table " + f.TableName() + " changed while open");
    }
    f.BeginWrite();
    local::TableFile::Run(f.Prepare(f.InsertSql()), impl_->record, nullptr);
    impl_->appending = false;
    impl_->record.clear();
    local::CommitAged();
}

void Table::AddIndex(const std::string& indexName, const std::string& fields, unsigned options) {
    auto lock = local::LockEngine();
    if (Active()) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on an open dataset");
    }
    if (tableName_.empty()) {
        throw EDatabaseError(objectName_ + ": Missing table name");
    }
    local::CommitAged();
    auto file = local::OpenTableFile(DirectoryFor(objectName_, databaseName_), tableName_);
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
    if (list.empty()) {
        throw EDatabaseError(objectName_ + ": An index needs at least one field");
    }
    for (const auto& name : list) {
        if (file->FieldIndex(name) < 0) {
            throw EDatabaseError(objectName_ + ": Field '" + name + "' not found");
        }
    }
    file->AcquireUse(true);
    try {
        file->SyncIndexes();
        file->AddIndex(indexName, list, options);
    } catch (...) {
        file->ReleaseUse(true);
        throw;
    }
    file->ReleaseUse(true);
}

}  // namespace tallon::db
