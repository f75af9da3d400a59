#pragma once

#include <string>
#include <vector>

#include "db/query.h"

namespace tallon {

// Runs one select the way every lookup does (close, then open with the
// statement) and tells whether it found a row; the row stays readable on the
// query.
bool RunLookup(db::Query& query, const db::Statement& statement);

}  // namespace tallon
