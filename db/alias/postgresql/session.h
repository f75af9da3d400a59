#pragma once

// One session with the server of a PostgreSQL alias: the connection (with
// the login asked once when the server wants a password the alias does not
// hold) and the statements prepared on it.
//
// The session runs with client_encoding LATIN1, so every byte of the
// program's 8-bit text maps to one character and comes back unchanged. A
// statement of fixed text is prepared once per session and then executed
// with its values as text parameters, which the server resolves from their
// context exactly like quoted literals.

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <unordered_map>

#include "db/alias/postgresql/parameters.h"
#include "db/alias/postgresql/result.h"
#include "db/engine.h"
#include "db/statement.h"

namespace tallon::db::pg {

// The session broke: what it held (an open transaction, its prepared
// statements) is gone. The batch transaction handles it in one place
// (Transaction::Retrying); outside a batch the connection handles it.
struct ConnectionLost {
    std::string message;  // what libpq said, when it said anything
};

class Session {
  public:
    Session(Engine& engine, std::string conninfo, std::string alias);
    ~Session() { Drop(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& Alias() const { return alias_; }
    // Opens the session unless it is open. Raises EDatabaseError.
    void Connect();
    bool IsOpen() const { return conn_ != nullptr; }
    // True once a session was opened: one lost later is waited for.
    bool WasConnected() const { return wasConnected_; }
    bool Broken() const { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_BAD; }
    void Drop() noexcept;
    // After a failed statement: a broken session is dropped and
    // ConnectionLost raised; a live one returns.
    void ThrowIfLost();
    PGconn* Handle() const { return conn_; }

    // Any text, its result as it comes.
    Result Exec(const std::string& sql) { return Result(PQexec(conn_, sql.c_str())); }
    // A statement without values or rows. Raises ConnectionLost when the
    // session broke under it, else EDatabaseError.
    void Simple(const char* sql);
    // A statement of fixed text with its values; prepared afresh once when
    // the table under a prepared "select *" changed shape.
    Result ExecPrepared(const Statement& statement, const Parameters& params);
    // The server's name of `text` on this session, prepared on first use
    // (counted `uses` times). Raises ConnectionLost or EDatabaseError.
    std::string Prepared(const std::string& text, unsigned uses = 1);
    // Prepares `text` afresh at its next use.
    void Forget(const std::string& text);

    // Raises ConnectionLost when the session broke, else EDatabaseError.
    [[noreturn]] void LostOr(const std::string& message);
    std::string ErrorText(const PGresult* res) const { return pg::ErrorText(conn_, res); }
    EDatabaseError ErrorOf(const PGresult* res) const { return pg::ErrorOf(conn_, res); }
    PGTransactionStatusType TransactionStatus() const { return PQtransactionStatus(conn_); }
    // Ends an open transaction, if the session is there to hear it.
    void RollbackQuietly() noexcept;

  private:
    PGconn* OpenConnection() const;
    void AskLoginIfNeeded(PGconn*& c);
    static void UseStandardStrings(PGconn* c);

    struct PreparedText {
        std::string name;
        unsigned uses = 0;
    };

    Engine& engine_;
    std::string conninfo_;
    std::string alias_;
    std::optional<LoginAnswer> login_;
    PGconn* conn_ = nullptr;
    bool wasConnected_ = false;
    std::unordered_map<std::string, PreparedText> prepared_;
    unsigned long counter_ = 0;
};

}  // namespace tallon::db::pg
