// An alias on a PostgreSQL server, through libpq.
//
// Text is the program's 8-bit code-page text, so the session runs with
// client_encoding LATIN1: every byte value maps to one character and comes
// back unchanged, except the NUL byte, which PostgreSQL text cannot hold: a
// value holding one is refused before anything is sent.
//
// A statement of fixed text is prepared once per session (its '?'
// placeholders become $1, $2, ...) and then executed with its values as text
// parameters, which the server resolves from their context exactly like
// quoted literals. Every statement commits on its own (autocommit), so an
// insert the server acknowledged is durable by the server's own rules.
//
// A connection lost between statements is reopened by the next statement. A
// select that finds the connection gone is retried once on a fresh
// connection (it changes nothing, so running it again is harmless); any
// other statement reports the error, because the server may or may not have
// carried it out, and the statement after it reconnects.

#include <libpq-fe.h>

#include <strings.h>

#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/errors.h"
#include "db/alias/drivers.h"
#include "db/engine.h"
#include "db/local/schema.h"

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

// The statement text with its '?' placeholders numbered for the server.
std::string NumberedPlaceholders(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    int n = 0;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?') {
            out += '$' + std::to_string(++n);
            continue;
        }
        out += c;
    }
    return out;
}

std::string ParameterText(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Integer:
            return std::to_string(v.integer());
        case Value::Kind::Float:
            return local::RealText(v.number());
        case Value::Kind::Date:
            return local::StoredDate(v.number());
        case Value::Kind::Time:
            return local::StoredTime(v.number());
        case Value::Kind::Null:
        case Value::Kind::Text:
            break;
    }
    return v.text();
}

class PgAliasConnection final : public Connection {
  public:
    PgAliasConnection(Engine& engine, const AliasConfig& alias, std::string usedName)
        : engine_(engine), conninfo_(alias.connection), name_(std::move(usedName)) {}

    ~PgAliasConnection() override { Drop(); }

    void Run(const Statement& statement, Rows* rows) override {
        std::vector<std::string> texts;
        texts.reserve(statement.values.size());
        for (size_t i = 0; i < statement.values.size(); ++i) {
            texts.push_back(ParameterText(statement.values[i]));
            if (std::memchr(texts.back().data(), '\0', texts.back().size())) {
                throw EDatabaseError("Value " + std::to_string(i + 1) +
                                     " holds a NUL byte, which PostgreSQL text cannot store");
            }
        }
        std::vector<const char*> params;
        params.reserve(texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            params.push_back(statement.values[i].IsNull() ? nullptr : texts[i].c_str());
        }
        PGresult* res = Execute(
            [&]() -> PGresult* {
                for (int attempt = 0;; ++attempt) {
                    const std::string name = Prepared(statement.text);
                    PGresult* r =
                        PQexecPrepared(conn_, name.c_str(), static_cast<int>(params.size()),
                                       params.data(), nullptr, nullptr, 0);
                    const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
                    if (attempt > 0 || !state || std::string(state) != "0A000") {
                        return r;
                    }
                    // The table changed shape under a prepared "select *": the
                    // statement did not run. Prepare it afresh.
                    PQclear(r);
                    Forget(statement.text);
                }
            },
            statement.intent == Statement::Intent::Read);
        Collect(res, rows);
    }

    void RunText(const std::string& sql, Rows* rows) override {
        PGresult* res = Execute([&] { return PQexec(conn_, sql.c_str()); }, StartsWithSelect(sql));
        Collect(res, rows);
    }

  private:
    static void Collect(PGresult* res, Rows* rows) {
        if (rows) {
            rows->Clear();
            const int ncol = PQnfields(res);
            const int nrow = PQntuples(res);
            for (int c = 0; c < ncol; ++c) {
                rows->columns.emplace_back(PQfname(res, c));
            }
            rows->values.resize(nrow);
            rows->nulls.resize(nrow);
            for (int r = 0; r < nrow; ++r) {
                auto& row = rows->values[r];
                auto& nulls = rows->nulls[r];
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
        }
        PQclear(res);
    }

    void Drop() {
        if (conn_) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
        prepared_.clear();  // prepared statements live and die with the session
    }

    static bool StartsWithSelect(const std::string& sql) {
        size_t i = 0;
        while (i < sql.size() && static_cast<unsigned char>(sql[i]) <= ' ') {
            ++i;
        }
        return sql.size() - i >= 6 && strncasecmp(sql.c_str() + i, "select", 6) == 0;
    }

    void Forget(const std::string& text) {
        auto it = prepared_.find(text);
        if (it != prepared_.end()) {
            PQclear(PQexec(conn_, ("deallocate " + it->second.name).c_str()));
            prepared_.erase(it);
        }
    }

    // The server's name of a statement text prepared on this session.
    std::string Prepared(const std::string& text) {
        auto it = prepared_.find(text);
        if (it != prepared_.end()) {
            if (++it->second.uses < kReplanEvery) {
                return it->second.name;
            }
            // The server keeps reusing a plan it judged good enough once; a
            // table that has grown a lot since may need another. Preparing
            // afresh now and then lets it judge again, at the price of one
            // round trip in a thousand statements.
            PQclear(PQexec(conn_, ("deallocate " + it->second.name).c_str()));
            prepared_.erase(it);
        }
        std::string name = "tallon_" + std::to_string(++counter_);
        PGresult* res =
            PQprepare(conn_, name.c_str(), NumberedPlaceholders(text).c_str(), 0, nullptr);
        if (PQresultStatus(res) != PGRES_COMMAND_OK) {
            const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
            std::string msg = CleanMessage(primary ? primary : PQerrorMessage(conn_));
            PQclear(res);
            throw EDatabaseError(msg);
        }
        PQclear(res);
        prepared_[text] = Prepared_{name, 0};
        return name;
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
            login_ = engine_.LoginFor(name_, user);
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
    template <class Send>
    PGresult* Execute(Send send, bool retryWhenLost) {
        for (int attempt = 0;; ++attempt) {
            Connect();
            PGresult* res = nullptr;
            try {
                res = send();
            } catch (const EDatabaseError&) {
                // A prepare that found the connection gone.
                if (PQstatus(conn_) == CONNECTION_BAD && retryWhenLost && attempt == 0) {
                    continue;
                }
                throw;
            }
            const ExecStatusType st = PQresultStatus(res);
            if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) {
                return res;
            }
            const bool lost = PQstatus(conn_) == CONNECTION_BAD;
            if (lost && retryWhenLost && attempt == 0) {
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

    Engine& engine_;
    std::string conninfo_;
    std::string name_;
    std::optional<LoginAnswer> login_;
    PGconn* conn_ = nullptr;

    static constexpr unsigned kReplanEvery = 1000;
    struct Prepared_ {
        std::string name;
        unsigned uses = 0;
    };
    std::unordered_map<std::string, Prepared_> prepared_;
    unsigned long counter_ = 0;
};

}  // namespace

std::unique_ptr<Connection> MakePostgresAliasConnection(Engine& engine, const AliasConfig& alias,
                                                        const std::string& usedName) {
    return std::make_unique<PgAliasConnection>(engine, alias, usedName);
}

}  // namespace tallon::db
