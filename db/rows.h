#pragma once

#include <string>
#include <vector>

namespace tallon::db {

// The rows of a select, every value as text (NULL as "" with its flag set).
struct Rows {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> values;
    std::vector<std::vector<bool>> nulls;

    size_t size() const { return values.size(); }
    bool empty() const { return values.empty(); }
    // Index of a column by name without regard to case, or -1.
    int ColumnIndex(const std::string& name) const;
    void Clear() {
        columns.clear();
        values.clear();
        nulls.clear();
    }
};

}  // namespace tallon::db
