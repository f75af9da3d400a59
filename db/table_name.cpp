#include "db/table_name.h"

#include "base/errors.h"

namespace tallon::db {

void CheckTableName(const std::string& tableName) {
    // A backslash is an ordinary file-name byte here, but operators used to
    // other systems type it as a separator: refusing it keeps their intent.
    if (tableName.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
        tableName.find("..") != std::string::npos) {
        throw EDatabaseError("Invalid table name '" + tableName +
                             "': a table name cannot contain a path");
    }
}

}  // namespace tallon::db
