#include "db/query.h"

#include "base/errors.h"
#include "base/text.h"
#include "db/engine.h"

namespace tallon::db {

Query::Query(Engine& engine, std::string objectName, std::string databaseName)
    : engine_(engine), objectName_(std::move(objectName)), databaseName_(std::move(databaseName)) {}

Query::~Query() = default;

void Query::SetDatabaseName(const std::string& databaseName) {
    Close();
    databaseName_ = databaseName;
    target_ = nullptr;
}

Connection& Query::Target() {
    if (!target_ || targetVersion_ != engine_.ConnectionsVersion()) {
        target_ = &engine_.ConnectionFor(databaseName_);
        targetVersion_ = engine_.ConnectionsVersion();
    }
    return *target_;
}

void Query::Close() {
    active_ = false;
    rows_.values.clear();
    rows_.nulls.clear();
}

void Query::Clear() {
    Close();
    lines_.clear();
}

void Query::Add(const std::string& line) {
    lines_.push_back(line);
}

std::string Query::Text() const {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (i)
            text += '\n';
        text += lines_[i];
    }
    return text;
}

void Query::Open() {
    Close();
    Target().RunText(Text(), &rows_);
    active_ = true;
}

void Query::Open(const Statement& statement) {
    Close();
    Target().Run(statement, &rows_);
    active_ = true;
}

int Query::RecordCount() const {
    if (!active_) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    return static_cast<int>(rows_.size());
}

std::string Query::FieldAsString(const std::string& column) const {
    if (!active_) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    const int i = rows_.ColumnIndex(column);
    if (i < 0) {
        throw EDatabaseError(objectName_ + ": Field '" + column + "' not found");
    }
    return rows_.empty() ? std::string() : rows_.values[0][i];
}

void Query::ExecSQL() {
    Close();
    Target().RunText(Text(), nullptr);
}

void Query::ExecSQL(const Statement& statement) {
    Close();
    Target().Run(statement, nullptr);
}

void Query::RunCheckedWrites(std::span<const CheckedWrite> units,
                             std::vector<CheckedWriteOutcome>& outcomes) {
    Close();
    Target().RunCheckedWrites(units, outcomes);
}

size_t Query::CheckedWritesPerCall() {
    return Target().CheckedWritesPerCall();
}

std::string Quoted(const std::string& value) {
    return QuotedWith(value, '\'');
}

}  // namespace tallon::db
