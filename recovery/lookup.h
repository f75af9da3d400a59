#pragma once

#include <string>

#include "db/query.h"

namespace tallon {

// Runs one select the way every lookup does (close, clear, one line, open)
// and tells whether it found a row; the row stays readable on the query.
bool RunLookup(db::Query& query, const std::string& statement);

}  // namespace tallon
