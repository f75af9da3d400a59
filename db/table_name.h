#pragma once

#include <string>

namespace tallon::db {

// A local table is a set of files in its database's directory, named after
// the table. A name that would reach another directory (a "/" or "\" in it,
// or "..") is refused with an EDatabaseError naming it, before any file is
// opened, made or removed.
void CheckTableName(const std::string& tableName);

}  // namespace tallon::db
