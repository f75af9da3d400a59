#include "db/local/free_sql.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "base/errors.h"
#include "base/text.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "db/local/sqlite_run.h"
#include "db/local/table_file.h"
#include "db/local/use_lock.h"

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

std::vector<Token> Tokenize(const std::string& sql) {
    std::vector<Token> out;
    const size_t n = sql.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(sql[i]);
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n')
                ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const size_t end = sql.find("*/", i + 2);
            i = end == std::string::npos ? n : end + 2;
            continue;
        }
        if (c == '\'' || c == '"' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            std::string value;
            size_t j = i + 1;
            bool closed = false;
            while (j < n) {
                if (sql[j] == close) {
                    // A doubled quote stands for one quote inside the text.
                    if (close != ']' && j + 1 < n && sql[j + 1] == close) {
                        value += close;
                        j += 2;
                        continue;
                    }
                    closed = true;
                    ++j;
                    break;
                }
                value += sql[j++];
            }
            if (!closed) {
                Fail(c == '\'' ? "Unterminated string in statement"
                               : "Unterminated name in statement");
            }
            out.push_back({c == '\'' ? Token::String : Token::QuotedIdent, value});
            i = j;
            continue;
        }
        if ((c == 'x' || c == 'X') && i + 1 < n && sql[i + 1] == '\'') {
            const size_t end = sql.find('\'', i + 2);
            if (end == std::string::npos)
                Fail("Unterminated string in statement");
            out.push_back({Token::Raw, sql.substr(i, end + 1 - i)});
            i = end + 1;
            continue;
        }
        if (IsIdentStart(c)) {
            size_t j = i + 1;
            while (j < n && IsIdentChar(static_cast<unsigned char>(sql[j])))
                ++j;
            out.push_back({Token::Ident, sql.substr(i, j - i)});
            i = j;
            continue;
        }
        if (std::isdigit(c) ||
            (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
            size_t j = i;
            if (c == '0' && i + 1 < n && (sql[i + 1] == 'x' || sql[i + 1] == 'X')) {
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
                    if (k < n && std::isdigit(static_cast<unsigned char>(sql[k]))) {
                        j = k;
                        while (j < n && std::isdigit(static_cast<unsigned char>(sql[j])))
                            ++j;
                    }
                }
            }
            out.push_back({Token::Number, sql.substr(i, j - i)});
            i = j;
            continue;
        }
        if (c == '?' || c == ':' || c == '@' || c == '$') {
            Fail("Parameters are not supported in statements; put values in quotes");
        }
        static const char* twoChar[] = {"<=", ">=", "<>", "!=", "==", "||", "<<", ">>"};
        bool two = false;
        if (i + 1 < n) {
            for (const char* op : twoChar) {
                if (sql[i] == op[0] && sql[i + 1] == op[1]) {
                    out.push_back({Token::Punct, sql.substr(i, 2)});
                    i += 2;
                    two = true;
                    break;
                }
            }
        }
        if (two)
            continue;
        out.push_back({Token::Punct, std::string(1, static_cast<char>(c))});
        ++i;
    }
    while (!out.empty() && out.back().kind == Token::Punct && out.back().text == ";") {
        out.pop_back();
    }
    return out;
}

Rewritten RewriteStatement(DirectoryDatabase& directory, const std::string& sql) {
    const std::vector<Token> t = Tokenize(sql);
    std::vector<TableRef> refs;

    auto parseRef = [&](size_t j) -> size_t {
        // Returns the index after the reference (and its alias).
        if (j >= t.size() || !IsName(t[j]))
            return j;
        if (t[j].kind == Token::Ident && EndsTableReference(t[j].text))
            return j;
        if (j + 1 < t.size() && t[j + 1].kind == Token::Punct && t[j + 1].text == ".")
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
    };

    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind != Token::Ident)
            continue;
        const std::string w = UpperCase(t[i].text);
        if (w == "FROM") {
            size_t k = parseRef(i + 1);
            while (k > i + 1 && k < t.size() && t[k].kind == Token::Punct && t[k].text == ",") {
                const size_t next = parseRef(k + 1);
                if (next == k + 1)
                    break;
                k = next;
            }
        } else if (w == "JOIN" || w == "INTO" || w == "UPDATE") {
            parseRef(i + 1);
        }
    }

    Rewritten out;
    for (auto& r : refs) {
        r.file = &directory.Table(r.name);
        if (std::find(out.files.begin(), out.files.end(), r.file) == out.files.end()) {
            out.files.push_back(r.file);
        }
    }
    const bool attached = out.files.size() > 1;

    std::string qualifier, column;
    size_t nextRef = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (!out.sql.empty())
            out.sql += ' ';
        if (nextRef < refs.size() && refs[nextRef].token == i) {
            const TableRef& r = refs[nextRef++];
            if (attached) {
                const size_t fi =
                    std::find(out.files.begin(), out.files.end(), r.file) - out.files.begin();
                out.sql += "\"a" + std::to_string(fi) + "\".";
            }
            out.sql += "records";
            if (r.alias.empty())
                out.sql += " AS " + QuoteIdent(r.name);
            continue;
        }
        switch (t[i].kind) {
            case Token::String: {
                std::string value = t[i].text;
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
                out.sql += '?';
                out.values.push_back(Value::Text(std::move(value)));
                break;
            }
            case Token::QuotedIdent:
                out.sql += QuoteIdent(t[i].text);
                break;
            default:
                out.sql += t[i].text;
        }
    }
    return out;
}

namespace {

// Statements over several tables run on an empty in-memory database the
// table files are attached to for the statement's duration.
void RunAttached(const Rewritten& rw, Rows* rows) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(db);
        Fail("Cannot start the SQL engine");
    }
    sqlite3_busy_timeout(db, kTableWaitMs);
    struct Closer {
        sqlite3* db;
        ~Closer() { sqlite3_close_v2(db); }
    } closer{db};
    for (size_t i = 0; i < rw.files.size(); ++i) {
        sqlite3_stmt* a = nullptr;
        const std::string sql = "ATTACH DATABASE ? AS \"a" + std::to_string(i) + "\"";
        sqlite3_prepare_v2(db, sql.c_str(), -1, &a, nullptr);
        sqlite3_bind_text(a, 1, rw.files[i]->Path().c_str(), -1, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(a);
        sqlite3_finalize(a);
        if (rc != SQLITE_DONE)
            Fail(sqlite3_errmsg(db));
    }
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, rw.sql.c_str(), -1, &stmt, &tail) != SQLITE_OK) {
        Fail(sqlite3_errmsg(db));
    }
    if (!stmt)
        Fail("Empty statement");
    try {
        if (tail && !Trim(tail).empty())
            Fail("Only one statement can be run at a time");
        RunStatement(stmt, rw.values, rows, "Key violation.");
    } catch (...) {
        sqlite3_finalize(stmt);
        throw;
    }
    sqlite3_finalize(stmt);
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
    const bool readOnly =
        sqlite3_prepare_v2(f.Db(), rw.sql.c_str(), -1, &probe, nullptr) == SQLITE_OK && probe &&
        sqlite3_stmt_readonly(probe);
    sqlite3_finalize(probe);
    if (readOnly) {
        f.BeginRead();
    } else {
        f.BeginWrite();
    }
    f.RunInternal(rw.sql, rw.values, rows);
}

}  // namespace tallon::db::local
