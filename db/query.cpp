#include "db/query.h"

#include "base/errors.h"
#include "db/connection.h"

namespace tallon::db {

Query::Query(std::string objectName, std::string databaseName)
    : objectName_(std::move(objectName)), databaseName_(std::move(databaseName)) {}

Query::~Query() = default;

void Query::SetDatabaseName(const std::string& databaseName) {
    Close();
    databaseName_ = databaseName;
}

void Query::Close() {
    result_.reset();
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
    result_ = ConnectionFor(databaseName_).Select(Text());
}

bool Query::Active() const {
    return result_ != nullptr;
}

int Query::RecordCount() const {
    if (!result_) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    return static_cast<int>(result_->rows.size());
}

std::string Query::FieldAsString(const std::string& column) const {
    if (!result_) {
        throw EDatabaseError(objectName_ + ": Cannot perform this operation on a closed dataset");
    }
    const int i = result_->ColumnIndex(column);
    if (i < 0) {
        throw EDatabaseError(objectName_ + ": Field '" + column + "' not found");
    }
    return result_->rows.empty() ? std::string() : result_->rows[0][i];
}

void Query::ExecSQL() {
    Close();
    ConnectionFor(databaseName_).Execute(Text());
}

}  // namespace tallon::db
