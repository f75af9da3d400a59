// An alias on a PostgreSQL server, through libpq.
//
// Text is the program's 8-bit code-page text, so the session runs with
// client_encoding LATIN1: every byte value maps to one character and comes
// back unchanged. Values reach us already quoted with embedded quotes
// doubled, which is all the escaping a literal needs once
// standard_conforming_strings is on (a backslash is then an ordinary
// character); we make sure it is on for the session.
//
// Each statement goes to the server as one simple-protocol round trip in
// autocommit, so an insert the server acknowledged is durable by the
// server's own rules; nothing is batched or delayed on our side.
//
// A connection lost between statements is reopened by the next statement. A
// select that finds the connection gone is retried once on a fresh
// connection (it changes nothing, so running it again is harmless); any
// other statement reports the error, because the server may or may not have
// carried it out, and the statement after it reconnects.

#include <libpq-fe.h>

#include <optional>

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
    }

    [[noreturn]] void CannotConnect() {
        throw EDatabaseError("Cannot connect to database '" + name_ + "'");
    }

    PGconn* Open() const {
        std::vector<const char*> keys{"dbname", "client_encoding", "fallback_application_name"};
        std::vector<const char*> values{conninfo_.c_str(), "LATIN1", "tallon"};
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
            PGresult* res = PQexec(conn_, sql.c_str());
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
            PQclear(res);
            throw EDatabaseError(msg);
        }
    }

    std::string conninfo_;
    std::string name_;
    std::optional<LoginAnswer> login_;
    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> MakePostgresAliasConnection(const AliasConfig& alias,
                                                        const std::string& usedName) {
    return std::make_unique<PgAliasConnection>(alias, usedName);
}

}  // namespace tallon::db
