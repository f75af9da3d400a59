#include "db/local/free_sql.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "base/errors.h"
#include "base/text.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "db/local/table_file.h"
#include "db/local/use_lock.h"
#include "db/sqlite/handle.h"
#include "db/sqlite/prepared.h"
#include "db/sqlite/run.h"

namespace tallon::db::local {

namespace {

[[noreturn]] void Fail(const std::string& message) {
    throw EDatabaseError(message);
}

bool IsIdentStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool IsIdentChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

// Words that can follow a table name and are not its alias.
bool EndsTableReference(const std::string& word) {
    static const std::set<std::string> words = {
        "WHERE",     "JOIN",      "INNER",  "LEFT",  "RIGHT",  "FULL",    "CROSS",  "NATURAL",
        "OUTER",     "ON",        "USING",  "GROUP", "ORDER",  "LIMIT",   "UNION",  "EXCEPT",
        "INTERSECT", "HAVING",    "WINDOW", "SET",   "VALUES", "DEFAULT", "SELECT", "INDEXED",
        "NOT",       "RETURNING", "OFFSET", "FROM",  "WITH",   "AS",      "ORDER"};
    return words.count(UpperCase(word)) > 0;
}

bool IsComparison(const Token& t) {
    if (t.kind != Token::Punct)
        return false;
    return t.text == "=" || t.text == "==" || t.text == "<>" || t.text == "!=" || t.text == "<" ||
           t.text == ">" || t.text == "<=" || t.text == ">=";
}

bool IsName(const Token& t) {
    return t.kind == Token::Ident || t.kind == Token::QuotedIdent;
}

struct TableRef {
    size_t token = 0;
    std::string name;
    std::string alias;
    TableFile* file = nullptr;
};

// The column a literal at tokens[s] is compared with: [qualifier .] column
// before the operator, or after it. Sets qualifier and column, or returns
// false.
bool ComparedColumn(const std::vector<Token>& t, size_t s, std::string& qualifier,
                    std::string& column) {
    qualifier.clear();
    if (s >= 2 && IsComparison(t[s - 1]) && IsName(t[s - 2])) {
        column = t[s - 2].text;
        if (s >= 4 && t[s - 3].kind == Token::Punct && t[s - 3].text == "." && IsName(t[s - 4])) {
            qualifier = t[s - 4].text;
        }
        return true;
    }
    if (s + 2 < t.size() && IsComparison(t[s + 1]) && IsName(t[s + 2])) {
        if (s + 4 < t.size() && t[s + 3].kind == Token::Punct && t[s + 3].text == "." &&
            IsName(t[s + 4])) {
            qualifier = t[s + 2].text;
            column = t[s + 4].text;
        } else {
            column = t[s + 2].text;
        }
        return true;
    }
    return false;
}

const FieldDef* FindColumn(const std::vector<TableRef>& refs, const std::string& qualifier,
                           const std::string& column) {
    for (const auto& r : refs) {
        if (!qualifier.empty() && !SameText(qualifier, r.alias.empty() ? r.name : r.alias)) {
            continue;
        }
        const int fi = r.file->FieldIndex(column);
        if (fi >= 0)
            return &r.file->Fields()[fi];
    }
    return nullptr;
}

}  // namespace

namespace {

// A quoted text or name from sql[i] (the opening quote) on; returns the
// index after it.
size_t ReadQuoted(const std::string& sql, size_t i, std::vector<Token>& out) {
    const char open = sql[i];
    const char close = open == '[' ? ']' : open;
    const size_t n = sql.size();
    std::string value;
    size_t j = i + 1;
    for (; j < n; ++j) {
        if (sql[j] != close) {
            value += sql[j];
            continue;
        }
        // A doubled quote stands for one quote inside the text.
        if (close != ']' && j + 1 < n && sql[j + 1] == close) {
            value += close;
            ++j;
            continue;
        }
        out.push_back({open == '\'' ? Token::String : Token::QuotedIdent, value});
        return j + 1;
    }
    Fail(open == '\'' ? "Unterminated string in statement" : "Unterminated name in statement");
}

size_t SkipDigits(const std::string& sql, size_t j) {
    while (j < sql.size() && std::isdigit(static_cast<unsigned char>(sql[j])))
        ++j;
    return j;
}

// A number from sql[i] on: hexadecimal, or decimal with an exponent.
size_t ReadNumber(const std::string& sql, size_t i, std::vector<Token>& out) {
    const size_t n = sql.size();
    size_t j = i;
    if (sql[i] == '0' && i + 1 < n && (sql[i + 1] == 'x' || sql[i + 1] == 'X')) {
        j = i + 2;
        while (j < n && std::isxdigit(static_cast<unsigned char>(sql[j])))
            ++j;
    } else {
        while (j < n && (std::isdigit(static_cast<unsigned char>(sql[j])) || sql[j] == '.'))
            ++j;
        if (j < n && (sql[j] == 'e' || sql[j] == 'E')) {
            size_t k = j + 1;
            if (k < n && (sql[k] == '+' || sql[k] == '-'))
                ++k;
            if (k < n && std::isdigit(static_cast<unsigned char>(sql[k])))
                j = SkipDigits(sql, k);
        }
    }
    out.push_back({Token::Number, sql.substr(i, j - i)});
    return j;
}

size_t ReadPunct(const std::string& sql, size_t i, std::vector<Token>& out) {
    static const char* twoChar[] = {"<=", ">=", "<>", "!=", "==", "||", "<<", ">>"};
    if (i + 1 < sql.size()) {
        for (const char* op : twoChar) {
            if (sql[i] == op[0] && sql[i + 1] == op[1]) {
                out.push_back({Token::Punct, sql.substr(i, 2)});
                return i + 2;
            }
        }
    }
    out.push_back({Token::Punct, std::string(1, sql[i])});
    return i + 1;
}

// Past a comment at sql[i], or i when none starts there.
size_t SkipComment(const std::string& sql, size_t i) {
    const size_t n = sql.size();
    if (sql[i] == '-' && i + 1 < n && sql[i + 1] == '-') {
        const size_t end = sql.find('\n', i);
        return end == std::string::npos ? n : end;
    }
    if (sql[i] == '/' && i + 1 < n && sql[i + 1] == '*') {
        const size_t end = sql.find("*/", i + 2);
        return end == std::string::npos ? n : end + 2;
    }
    return i;
}

// The token at sql[i] (not a blank or a comment); returns the index after
// it.
size_t ReadToken(const std::string& sql, size_t i, std::vector<Token>& out) {
    const size_t n = sql.size();
    const unsigned char c = static_cast<unsigned char>(sql[i]);
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
        return ReadQuoted(sql, i, out);
    }
    if ((c == 'x' || c == 'X') && i + 1 < n && sql[i + 1] == '\'') {
        const size_t end = sql.find('\'', i + 2);
        if (end == std::string::npos)
            Fail("Unterminated string in statement");
        out.push_back({Token::Raw, sql.substr(i, end + 1 - i)});
        return end + 1;
    }
    if (IsIdentStart(c)) {
        size_t j = i + 1;
        while (j < n && IsIdentChar(static_cast<unsigned char>(sql[j])))
            ++j;
        out.push_back({Token::Ident, sql.substr(i, j - i)});
        return j;
    }
    if (std::isdigit(c) ||
        (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
        return ReadNumber(sql, i, out);
    }
    if (c == '?' || c == ':' || c == '@' || c == '$') {
        Fail("Parameters are not supported in statements; put values in quotes");
    }
    return ReadPunct(sql, i, out);
}

}  // namespace

std::vector<Token> Tokenize(const std::string& sql) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < sql.size()) {
        if (std::isspace(static_cast<unsigned char>(sql[i]))) {
            ++i;
        } else if (const size_t after = SkipComment(sql, i); after != i) {
            i = after;
        } else {
            i = ReadToken(sql, i, out);
        }
    }
    while (!out.empty() && out.back().kind == Token::Punct && out.back().text == ";") {
        out.pop_back();
    }
    return out;
}

namespace {

bool IsPunct(const std::vector<Token>& t, size_t i, const char* text) {
    return i < t.size() && t[i].kind == Token::Punct && t[i].text == text;
}

// A table reference at t[j] (a name, maybe followed by an alias) is added
// to `refs`; returns the index after it, or j when none is there.
size_t ParseTableRef(const std::vector<Token>& t, size_t j, std::vector<TableRef>& refs) {
    if (j >= t.size() || !IsName(t[j]))
        return j;
    if (t[j].kind == Token::Ident && EndsTableReference(t[j].text))
        return j;
    if (IsPunct(t, j + 1, "."))
        return j;
    TableRef r;
    r.token = j;
    r.name = t[j].text;
    size_t k = j + 1;
    if (k + 1 < t.size() && t[k].kind == Token::Ident && SameText(t[k].text, "AS") &&
        IsName(t[k + 1])) {
        r.alias = t[k + 1].text;
        k += 2;
    } else if (k < t.size() && IsName(t[k]) &&
               !(t[k].kind == Token::Ident && EndsTableReference(t[k].text))) {
        r.alias = t[k].text;
        k += 1;
    }
    refs.push_back(r);
    return k;
}

// Every table a statement names: after FROM (and in its comma list), JOIN,
// INTO and UPDATE.
std::vector<TableRef> TableRefs(const std::vector<Token>& t) {
    std::vector<TableRef> refs;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind != Token::Ident)
            continue;
        const std::string w = UpperCase(t[i].text);
        if (w == "FROM") {
            size_t k = ParseTableRef(t, i + 1, refs);
            while (k > i + 1 && IsPunct(t, k, ",")) {
                const size_t next = ParseTableRef(t, k + 1, refs);
                if (next == k + 1)
                    break;
                k = next;
            }
        } else if (w == "JOIN" || w == "INTO" || w == "UPDATE") {
            ParseTableRef(t, i + 1, refs);
        }
    }
    return refs;
}

// A quoted text as the value bound in its place: a date or time when it is
// compared with a date or time column.
Value LiteralValue(const std::vector<Token>& t, size_t i, const std::vector<TableRef>& refs) {
    std::string value = t[i].text;
    std::string qualifier, column;
    if (ComparedColumn(t, i, qualifier, column)) {
        const FieldDef* f = FindColumn(refs, qualifier, column);
        std::string stored;
        if (f && f->kind == FieldKind::Time) {
            if (!ParseTimeLiteral(value, stored)) {
                Fail("'" + value + "' is not a valid time");
            }
            value = stored;
        } else if (f && f->kind == FieldKind::Date) {
            if (!ParseDateLiteral(value, stored)) {
                Fail("'" + value + "' is not a valid date");
            }
            value = stored;
        }
    }
    return Value::Text(std::move(value));
}

// The records table of a reference's file: "aN".records when several files
// are attached.
std::string RecordsOf(const TableRef& r, const std::vector<TableFile*>& files) {
    std::string text;
    if (files.size() > 1) {
        const size_t fi = std::find(files.begin(), files.end(), r.file) - files.begin();
        text += "\"a" + std::to_string(fi) + "\".";
    }
    text += "records";
    if (r.alias.empty())
        text += " AS " + QuoteIdent(r.name);
    return text;
}

}  // namespace

Rewritten RewriteStatement(DirectoryDatabase& directory, const std::string& sql) {
    const std::vector<Token> t = Tokenize(sql);
    std::vector<TableRef> refs = TableRefs(t);
    Rewritten out;
    for (auto& r : refs) {
        r.file = &directory.Table(r.name);
        if (std::find(out.files.begin(), out.files.end(), r.file) == out.files.end()) {
            out.files.push_back(r.file);
        }
    }
    size_t nextRef = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (!out.sql.empty())
            out.sql += ' ';
        if (nextRef < refs.size() && refs[nextRef].token == i) {
            out.sql += RecordsOf(refs[nextRef++], out.files);
        } else if (t[i].kind == Token::String) {
            out.sql += '?';
            out.values.push_back(LiteralValue(t, i, refs));
        } else if (t[i].kind == Token::QuotedIdent) {
            out.sql += QuoteIdent(t[i].text);
        } else {
            out.sql += t[i].text;
        }
    }
    return out;
}

namespace {

// Statements over several tables run on an empty in-memory database the
// table files are attached to for the statement's duration.
void RunAttached(const Rewritten& rw, Rows* rows) {
    sqlite::Handle db;
    try {
        db = sqlite::Handle(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
    } catch (const EDatabaseError&) {
        Fail("Cannot start the SQL engine");
    }
    db.SetBusyTimeout(kTableWaitMs);
    for (size_t i = 0; i < rw.files.size(); ++i) {
        const std::string attach = "ATTACH DATABASE ? AS \"a" + std::to_string(i) + "\"";
        sqlite::RunStatement(sqlite::Prepare(db.get(), attach, 0, sqlite::Rest::Ignored).get(),
                             {Value::Text(rw.files[i]->Path())}, nullptr, nullptr);
    }
    const sqlite::Prepared statement =
        sqlite::Prepare(db.get(), rw.sql, 0, sqlite::Rest::OnlySemicolon);
    sqlite::RunStatement(statement.get(), rw.values, rows, "Key violation.");
}

}  // namespace

void RunFreeSql(DirectoryDatabase& directory, const std::string& sql, Rows* rows) {
    const Rewritten rw = RewriteStatement(directory, sql);
    if (rw.files.size() != 1) {
        // The scratch connection sees only committed data, and a write
        // through it must not wait for our own open transaction.
        directory.CommitForAttach();
        RunAttached(rw, rows);
        return;
    }
    TableFile& f = *rw.files[0];
    sqlite3_stmt* probe = nullptr;
    sqlite3_prepare_v2(f.Db(), rw.sql.c_str(), -1, &probe, nullptr);
    const sqlite::Prepared probed(probe);
    if (probed && sqlite3_stmt_readonly(probe)) {
        f.BeginRead();
    } else {
        f.BeginWrite();
    }
    f.RunInternal(rw.sql, rw.values, rows);
}

}  // namespace tallon::db::local
