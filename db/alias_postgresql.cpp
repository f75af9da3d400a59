// An alias on a PostgreSQL server, through libpq.
//
// Text is the program's 8-bit code-page text, so the session runs with
// client_encoding LATIN1: every byte value maps to one character and comes
// back unchanged. Values reach us already quoted with embedded quotes
// doubled, which is all the escaping a literal needs once
// standard_conforming_strings is on (a backslash is then an ordinary
// character); we make sure it is on for the session.
//
// Each statement is one round trip in autocommit, so an insert the server
// acknowledged is durable by the server's own rules; nothing is batched or
// delayed on our side.
//
// The writers build a handful of statement shapes that differ only in their
// quoted values, and for such short statements parsing and planning cost the
// server as much as running them. So a select, insert, update or delete is
// split into its shape (each quoted literal replaced by $1, $2, ...) and its
// values; the shape is prepared once per connection and then executed with
// the values as text parameters. A parameter of unspecified type is resolved
// from its context exactly like an untyped quoted literal. Anything the
// server will not prepare that way (a typed literal such as date '...', a
// value whose type cannot be inferred, several statements in one text) is
// remembered and simply sent as it is. Measured on loopback, this takes a
// writer's line from about 250 to about 150 microseconds of server time.
//
// A connection lost between statements is reopened by the next statement. A
// select that finds the connection gone is retried once on a fresh
// connection (it changes nothing, so running it again is harmless); any
// other statement reports the error, because the server may or may not have
// carried it out, and the statement after it reconnects.

#include <libpq-fe.h>

#include <optional>
#include <unordered_map>
#include <vector>

#include "base/errors.h"
#include "db/alias.h"

namespace tallon::db {

namespace {

std::string CleanMessage(const char* text) {
    std::string s = text ? text : "";
    for (char& c : s) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s.empty() ? "PostgreSQL error" : s;
}

void IgnoreNotice(void*, const char*) {}

constexpr size_t kMaxValues = 32;

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// A statement split into its shape and the values of its quoted literals.
// False for statements that are better sent exactly as written.
bool Parameterize(const std::string& sql, std::string& shape, std::vector<std::string>& values) {
    size_t i = 0;
    while (i < sql.size() && static_cast<unsigned char>(sql[i]) <= ' ') {
        ++i;
    }
    size_t w = i;
    while (w < sql.size() && IsWordChar(sql[w])) {
        ++w;
    }
    std::string verb = sql.substr(i, w - i);
    for (char& c : verb) {
        c = static_cast<char>(c | 0x20);
    }
    if (verb != "select" && verb != "insert" && verb != "update" && verb != "delete") {
        return false;
    }
    shape.clear();
    values.clear();
    shape.reserve(sql.size());
    const size_t n = sql.size();
    for (i = 0; i < n;) {
        const char c = sql[i];
        if (c == '\'') {
            // A prefixed literal (E'', B'', X'', N'') has its own rules.
            if (i > 0 && IsWordChar(sql[i - 1])) {
                return false;
            }
            std::string value;
            size_t j = i + 1;
            for (;; ++j) {
                if (j >= n) {
                    return false;  // unterminated: let the server say so
                }
                if (sql[j] == '\'') {
                    if (j + 1 < n && sql[j + 1] == '\'') {
                        value += '\'';
                        ++j;
                        continue;
                    }
                    break;
                }
                value += sql[j];
            }
            if (values.size() >= kMaxValues) {
                return false;  // a bulk insert: prepared once, used once
            }
            values.push_back(std::move(value));
            shape += '$';
            shape += std::to_string(values.size());
            i = j + 1;
        } else if (c == '"') {
            const size_t close = sql.find('"', i + 1);
            if (close == std::string::npos) {
                return false;
            }
            shape.append(sql, i, close + 1 - i);  // a doubled "" is two such runs
            i = close + 1;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            const size_t end = sql.find('\n', i);
            const size_t stop = end == std::string::npos ? n : end;
            shape.append(sql, i, stop - i);
            i = stop;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            return false;  // block comments nest; not worth following
        } else if (c == '$' || c == ';') {
            return false;  // parameters, dollar quoting, several statements
        } else {
            shape += c;
            ++i;
        }
    }
    return true;
}

class PgAliasConnection : public Connection {
  public:
    PgAliasConnection(const AliasConfig& alias, std::string usedName)
        : conninfo_(alias.connection), name_(std::move(usedName)) {}

    ~PgAliasConnection() override { Drop(); }

    std::unique_ptr<QueryResult> Select(const std::string& sql) override {
        PGresult* res = Run(sql, true);
        auto result = std::make_unique<QueryResult>();
        const int ncol = PQnfields(res);
        const int nrow = PQntuples(res);
        result->columns.reserve(ncol);
        for (int c = 0; c < ncol; ++c) {
            result->columns.emplace_back(PQfname(res, c));
        }
        result->rows.resize(nrow);
        result->nulls.resize(nrow);
        for (int r = 0; r < nrow; ++r) {
            auto& row = result->rows[r];
            auto& nulls = result->nulls[r];
            row.resize(ncol);
            nulls.assign(ncol, false);
            for (int c = 0; c < ncol; ++c) {
                if (PQgetisnull(res, r, c)) {
                    nulls[c] = true;
                } else {
                    row[c].assign(PQgetvalue(res, r, c), PQgetlength(res, r, c));
                }
            }
        }
        PQclear(res);
        return result;
    }

    void Execute(const std::string& sql) override { PQclear(Run(sql, false)); }

  private:
    void Drop() {
        if (conn_) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
        shapes_.clear();  // prepared statements live and die with the session
    }

    // A shape prepared on this session, or "" when it cannot be.
    std::string Prepared(const std::string& shape) {
        auto it = shapes_.find(shape);
        if (it != shapes_.end()) {
            Shape& known = it->second;
            if (++known.uses < kReplanEvery) {
                return known.name;
            }
            // The server keeps reusing a plan it judged good enough once; a
            // table that has grown a lot since may need another. Preparing
            // afresh from time to time lets it judge again (and gives a
            // shape that failed, say on a table made since, another chance),
            // at the price of one round trip in a thousand statements.
            if (!known.name.empty()) {
                PQclear(PQexec(conn_, ("deallocate " + known.name).c_str()));
            }
            shapes_.erase(it);
        }
        if (shapes_.size() >= kMaxShapes) {
            // Ad hoc statements (the admin tool) must not pile up on the server.
            PQclear(PQexec(conn_, "deallocate all"));
            shapes_.clear();
        }
        std::string name = "tallon_" + std::to_string(++shapeCounter_);
        PGresult* res = PQprepare(conn_, name.c_str(), shape.c_str(), 0, nullptr);
        if (PQresultStatus(res) != PGRES_COMMAND_OK) {
            name.clear();
        }
        PQclear(res);
        shapes_[shape] = Shape{name, 0};
        return name;
    }

    // Sends one statement: as a prepared shape with its values when it can,
    // else exactly as written.
    PGresult* Send(const std::string& sql) {
        // A failed prepare inside a transaction would abort it: only outside.
        if (PQtransactionStatus(conn_) == PQTRANS_IDLE && Parameterize(sql, shapeBuf_, valueBuf_)) {
            const std::string name = Prepared(shapeBuf_);
            if (!name.empty()) {
                std::vector<const char*> params;
                params.reserve(valueBuf_.size());
                for (const std::string& v : valueBuf_) {
                    params.push_back(v.c_str());
                }
                PGresult* res = PQexecPrepared(conn_, name.c_str(), static_cast<int>(params.size()),
                                               params.data(), nullptr, nullptr, 0);
                const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
                if (!state || std::string(state) != "0A000") {
                    return res;
                }
                // The table changed shape under a prepared "select *": the
                // statement did not run. Prepare it afresh next time.
                PQclear(res);
                PQclear(PQexec(conn_, ("deallocate " + name).c_str()));
                shapes_.erase(shapeBuf_);
            }
        }
        return PQexec(conn_, sql.c_str());
    }

    [[noreturn]] void CannotConnect() {
        throw EDatabaseError("Cannot connect to database '" + name_ + "'");
    }

    PGconn* Open() const {
        // Later entries win: the alias may set its own connect_timeout, but
        // never the encoding.
        std::vector<const char*> keys{"connect_timeout", "dbname", "client_encoding",
                                      "fallback_application_name"};
        std::vector<const char*> values{"10", conninfo_.c_str(), "LATIN1", "tallon"};
        if (login_) {
            if (!login_->userName.empty()) {
                keys.push_back("user");
                values.push_back(login_->userName.c_str());
            }
            keys.push_back("password");
            values.push_back(login_->password.c_str());
        }
        keys.push_back(nullptr);
        values.push_back(nullptr);
        return PQconnectdbParams(keys.data(), values.data(), 1);
    }

    void Connect() {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
            return;
        }
        Drop();
        PGconn* c = Open();
        if (!c) {
            ThrowEngineStartError(kStartLibraryUnusable);
        }
        if (PQstatus(c) != CONNECTION_OK && !login_ && PQconnectionNeedsPassword(c)) {
            const std::string user = PQuser(c) ? PQuser(c) : "";
            PQfinish(c);
            login_ = LoginFor(name_, user);
            if (!login_) {
                CannotConnect();
            }
            c = Open();
            if (!c) {
                ThrowEngineStartError(kStartLibraryUnusable);
            }
        }
        if (PQstatus(c) != CONNECTION_OK) {
            std::string msg = CleanMessage(PQerrorMessage(c));
            PQfinish(c);
            throw EDatabaseError(msg);
        }
        PQsetNoticeProcessor(c, IgnoreNotice, nullptr);
        const char* scs = PQparameterStatus(c, "standard_conforming_strings");
        if (!scs || std::string(scs) != "on") {
            PGresult* res = PQexec(c, "set standard_conforming_strings = on");
            const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
            PQclear(res);
            if (!ok) {
                std::string msg = CleanMessage(PQerrorMessage(c));
                PQfinish(c);
                throw EDatabaseError(msg);
            }
        }
        conn_ = c;
    }

    // Runs one statement; returns its result (the caller clears it) or
    // raises the server's message.
    PGresult* Run(const std::string& sql, bool isSelect) {
        for (int attempt = 0;; ++attempt) {
            Connect();
            PGresult* res = Send(sql);
            const ExecStatusType st = PQresultStatus(res);
            if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) {
                return res;
            }
            const bool lost = PQstatus(conn_) == CONNECTION_BAD;
            if (lost && isSelect && attempt == 0) {
                PQclear(res);
                continue;
            }
            const char* primary = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
            std::string msg = CleanMessage(primary ? primary : PQerrorMessage(conn_));
            const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
            const bool unique = state != nullptr && std::string(state) == "23505";
            PQclear(res);
            throw EDatabaseError(
                msg, unique ? DatabaseErrorCode::UniqueViolation : DatabaseErrorCode::Other);
        }
    }

    std::string conninfo_;
    std::string name_;
    std::optional<LoginAnswer> login_;
    PGconn* conn_ = nullptr;

    static constexpr size_t kMaxShapes = 200;
    static constexpr unsigned kReplanEvery = 1000;
    struct Shape {
        std::string name;  // "" when the server would not prepare it
        unsigned uses = 0;
    };
    std::unordered_map<std::string, Shape> shapes_;
    unsigned long shapeCounter_ = 0;
    std::string shapeBuf_;
    std::vector<std::string> valueBuf_;
};

}  // namespace

std::unique_ptr<Connection> MakePostgresAliasConnection(const AliasConfig& alias,
                                                        const std::string& usedName) {
    return std::make_unique<PgAliasConnection>(alias, usedName);
}

}  // namespace tallon::db
