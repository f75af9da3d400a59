#pragma once

// SQL on a directory database. A statement is split into tokens; every bare
// table name after FROM/JOIN/INTO/UPDATE (and in FROM's comma list) becomes
// the "records" table of that table's file under the name as written, every
// quoted text becomes a bound parameter, and the rewritten text is prepared
// once per table file and cached. A statement on one table runs on that
// table file's own cached connection; one that names several tables attaches
// their files to a scratch connection.
//
// A quoted text compared (=, <>, <, >, <=, >=) with a date or time column is
// read as a date or time first: times in the regional long time format or in
// 24-hour form, dates as YYYY-MM-DD or M/D/YYYY.

#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/local_store.h"

namespace tallon::db::local {

struct Token {
    enum Kind { Ident, QuotedIdent, String, Number, Punct, Raw } kind = Punct;
    std::string text;  // identifier or unquoted name, literal value, or the punctuation
};

// Raises EDatabaseError on an unterminated literal or a parameter marker.
std::vector<Token> Tokenize(const std::string& sql);

struct Rewritten {
    std::string sql;
    std::vector<Value> params;
    std::vector<std::shared_ptr<TableFile>> files;  // distinct, in order of appearance
};

// Rewrites a statement: with one table file its records table is used
// directly, with several each file is named by its attached schema "aN"
// (in the order of files).
Rewritten RewriteStatement(const std::string& directory, const std::string& sql);

// Runs a statement on a directory database; rows are collected when given.
void RunDirectoryStatement(const std::string& directory, const std::string& sql,
                           TableFile::Rows* rows);

}  // namespace tallon::db::local
