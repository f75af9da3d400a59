#include "db/rows.h"

#include "base/text.h"
#include "db/statement.h"

namespace tallon::db {

int Rows::ColumnIndex(const std::string& name) const {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (SameText(columns[i], name))
            return static_cast<int>(i);
    }
    return -1;
}

std::string WithTable(const std::string& text, const std::string& table) {
    std::string out;
    out.reserve(text.size() + 4 * table.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "{T}") == 0) {
            out += table;
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace tallon::db
