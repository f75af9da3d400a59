#pragma once

// SQL typed by a person on a directory database (the admin tool's sql
// command). A statement is split into tokens; every bare table name after
// FROM/JOIN/INTO/UPDATE (and in FROM's comma list) becomes the "records"
// table of that table's file under the name as written, and every quoted
// text becomes a bound value. A statement on one table runs on that table's
// own connection; one that names several tables attaches their files to a
// scratch connection.
//
// A quoted text compared (=, <>, <, >, <=, >=) with a date or time column is
// read as a date or time first: times in the regional long time format or in
// 24-hour form, dates as YYYY-MM-DD or M/D/YYYY.

#include <string>
#include <vector>

#include "db/rows.h"
#include "db/value.h"

namespace tallon::db::local {

class DirectoryDatabase;
class TableFile;

struct Token {
    enum Kind { Ident, QuotedIdent, String, Number, Punct, Raw } kind = Punct;
    std::string text;  // identifier or unquoted name, literal value, or the punctuation
};

// Raises EDatabaseError on an unterminated literal or a parameter marker.
std::vector<Token> Tokenize(const std::string& sql);

struct Rewritten {
    std::string sql;
    std::vector<Value> values;
    std::vector<TableFile*> files;  // distinct, in order of appearance
};

// Rewrites a statement: with one table file its records table is used
// directly, with several each file is named by its attached schema "aN"
// (in the order of files).
Rewritten RewriteStatement(DirectoryDatabase& directory, const std::string& sql);

void RunFreeSql(DirectoryDatabase& directory, const std::string& sql, Rows* rows);

}  // namespace tallon::db::local
