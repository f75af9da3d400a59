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
}

void Query::Close() {
    active_ = false;
    rows_.Clear();
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
    engine_.ConnectionFor(databaseName_).RunText(Text(), &rows_);
    active_ = true;
}

void Query::Open(const Statement& statement) {
    Close();
    engine_.ConnectionFor(databaseName_).Run(statement, &rows_);
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
    engine_.ConnectionFor(databaseName_).RunText(Text(), nullptr);
}

void Query::ExecSQL(const Statement& statement) {
    Close();
    engine_.ConnectionFor(databaseName_).Run(statement, nullptr);
}

std::string Quoted(const std::string& value) {
    return QuotedWith(value, '\'');
}

}  // namespace tallon::db
