#include "db/alias/postgresql/session.h"

#include <vector>

#include "db/alias/config.h"

namespace tallon::db::pg {
namespace {

void IgnoreNotice(void*, const char*) {}

// The server keeps reusing a plan it judged good enough once; a table that
// has grown a lot since may need another. Preparing afresh now and then lets
// it judge again, at the price of one round trip in a thousand statements.
constexpr unsigned kReplanEvery = 1000;

}  // namespace

Session::Session(Engine& engine, std::string conninfo, std::string alias)
    : engine_(engine), conninfo_(std::move(conninfo)), alias_(std::move(alias)) {}

void Session::Drop() noexcept {
    if (conn_) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
    prepared_.clear();  // prepared statements live and die with the session
}

PGconn* Session::OpenConnection() const {
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
    PGconn* c = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!c) {
        ThrowEngineStartError(kStartLibraryUnusable);
    }
    return c;
}

// A server that wants a password the alias does not hold: the engine's
// login prompt is asked (once in the engine's life), and the session opened
// again with its answer.
void Session::AskLoginIfNeeded(PGconn*& c) {
    if (PQstatus(c) == CONNECTION_OK || login_ || !PQconnectionNeedsPassword(c)) {
        return;
    }
    const std::string user = PQuser(c) ? PQuser(c) : "";
    PQfinish(c);
    c = nullptr;
    login_ = engine_.LoginFor(alias_, user);
    if (!login_) {
        throw EDatabaseError("Cannot connect to database '" + alias_ + "'");
    }
    c = OpenConnection();
}

void Session::UseStandardStrings(PGconn* c) {
    const char* scs = PQparameterStatus(c, "standard_conforming_strings");
    if (scs && std::string(scs) == "on") {
        return;
    }
    const Result res(PQexec(c, "set standard_conforming_strings = on"));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        throw EDatabaseError(CleanMessage(PQerrorMessage(c)));
    }
}

void Session::Connect() {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
        return;
    }
    Drop();
    PGconn* c = OpenConnection();
    try {
        AskLoginIfNeeded(c);
        if (PQstatus(c) != CONNECTION_OK) {
            throw EDatabaseError(CleanMessage(PQerrorMessage(c)));
        }
        PQsetNoticeProcessor(c, IgnoreNotice, nullptr);
        UseStandardStrings(c);
    } catch (...) {
        PQfinish(c);
        throw;
    }
    conn_ = c;
    wasConnected_ = true;
}

void Session::ThrowIfLost() {
    if (Broken()) {
        Drop();
        throw ConnectionLost{};
    }
}

void Session::LostOr(const std::string& message) {
    if (Broken()) {
        Drop();
        throw ConnectionLost{CleanMessage(message.c_str())};
    }
    throw EDatabaseError(CleanMessage(message.c_str()));
}

void Session::Simple(const char* sql) {
    const Result res(PQexec(conn_, sql));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        LostOr(ErrorText(res.get()));
    }
}

void Session::RollbackQuietly() noexcept {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
        PQclear(PQexec(conn_, "ROLLBACK"));
    }
}

Result Session::ExecPrepared(const Statement& statement, const Parameters& params) {
    for (int attempt = 0;; ++attempt) {
        const std::string name = Prepared(statement.text);
        Result r(PQexecPrepared(conn_, name.c_str(), params.Count(), params.Values(), nullptr,
                                nullptr, 0));
        if (attempt > 0 || !ShapeChanged(r.get())) {
            return r;
        }
        // The table changed shape under a prepared "select *": the
        // statement did not run. Prepare it afresh.
        Forget(statement.text);
    }
}

void Session::Forget(const std::string& text) {
    auto it = prepared_.find(text);
    if (it != prepared_.end()) {
        PQclear(PQexec(conn_, ("deallocate " + it->second.name).c_str()));
        prepared_.erase(it);
    }
}

std::string Session::Prepared(const std::string& text, unsigned uses) {
    auto it = prepared_.find(text);
    if (it != prepared_.end()) {
        it->second.uses += uses;
        if (it->second.uses < kReplanEvery) {
            return it->second.name;
        }
        Forget(text);
    }
    std::string name = "tallon_" + std::to_string(++counter_);
    const Result res(
        PQprepare(conn_, name.c_str(), NumberedPlaceholders(text).c_str(), 0, nullptr));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        LostOr(ErrorText(res.get()));
    }
    prepared_[text] = PreparedText{name, uses - 1};
    return name;
}

}  // namespace tallon::db::pg
