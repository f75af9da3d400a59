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
// quoted literals.
//
// Outside a batch every statement commits on its own (autocommit). A
// connection lost between statements is reopened by the next statement. A
// select that finds the connection gone is retried once on a fresh
// connection (it changes nothing, so running it again is harmless); any
// other statement reports the error, because the server may or may not have
// carried it out, and the statement after it reconnects.
//
// Inside a batch the session holds one transaction from its first statement
// until the batch commits, so a run pays one commit (one log flush on the
// server) per batch instead of one per insert. Each write runs under a
// savepoint, sent with it in one pipeline (one round trip), so a write that
// fails undoes only itself. Every write of the open transaction is kept,
// with the check (a ReadBeforeWrite statement) that came before it: when the
// connection breaks, the driver waits a bounded time for the server, opens a
// new transaction and runs the kept writes again, each only when its check
// still finds nothing. That also settles a commit whose answer was lost: if
// it went through, every check finds its row and nothing is written twice.
// A server that does not come back fails the batch.
//
// Runs on one database take turns batch by batch: each batch's transaction
// holds an advisory lock (see OpenTransaction), so a run's duplicate checks
// see everything other runs committed before, and two runs of one file
// store each event once. The wait for it is bounded.
//
// Checked writes (a duplicate check and its insert, for many lines) are
// piped inside a batch: every check of a call in one round trip, then every
// write whose check found nothing, under one savepoint, in a second. A
// statement that fails in a pipe makes the server skip the rest of it: the
// pipe is undone (to its savepoint, or by restoring the transaction), the
// failed statement fails alone and the others are sent again.

#include <libpq-fe.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/errors.h"
#include "db/alias/drivers.h"
#include "db/batch.h"
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

// A statement's values as the server receives them.
struct Parameters {
    explicit Parameters(const Statement& statement) {
        texts.reserve(statement.values.size());
        for (size_t i = 0; i < statement.values.size(); ++i) {
            texts.push_back(ParameterText(statement.values[i]));
            if (std::memchr(texts.back().data(), '\0', texts.back().size())) {
                throw EDatabaseError("Value " + std::to_string(i + 1) +
                                     " holds a NUL byte, which PostgreSQL text cannot store");
            }
        }
        pointers.reserve(texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            pointers.push_back(statement.values[i].IsNull() ? nullptr : texts[i].c_str());
        }
    }
    int Count() const { return static_cast<int>(pointers.size()); }

    std::vector<std::string> texts;
    std::vector<const char*> pointers;
};

// The connection broke under a statement of the batch's transaction.
struct ConnectionLost {};
// The batch's transaction was undone and brought back (after a failed
// statement) under a new turn of the run lock.
struct Restored {};

class PgAliasConnection final : public Connection, public BatchMember {
  public:
    PgAliasConnection(Engine& engine, const AliasConfig& alias, std::string usedName)
        : engine_(engine), conninfo_(alias.connection), name_(std::move(usedName)) {}

    ~PgAliasConnection() override {
        if (Batch* b = engine_.ActiveBatch()) {
            b->Leave(this);
        }
        Drop();
    }

    void Run(const Statement& statement, Rows* rows) override {
        const Parameters params(statement);
        if (engine_.ActiveBatch()) {
            RunInBatch(statement, params, rows);
            return;
        }
        PGresult* res = Execute([&] { return ExecPrepared(statement, params); },
                                statement.intent == Statement::Intent::Read);
        Collect(res, rows);
    }

    void RunText(const std::string& sql, Rows* rows) override {
        // Typed statements manage their own transactions: the batch's is
        // committed first so they start from a clean session.
        if (inBatch_) {
            engine_.CommitBeforeWaiting();
        }
        PGresult* res = Execute([&] { return PQexec(conn_, sql.c_str()); }, StartsWithSelect(sql));
        Collect(res, rows);
    }

    void CommitBatch() override {
        inBatch_ = false;
        for (int attempt = 0;; ++attempt) {
            try {
                if (!conn_) {
                    throw ConnectionLost{};
                }
                PGresult* res = PQexec(conn_, "COMMIT");
                const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK &&
                                std::strcmp(PQcmdStatus(res), "COMMIT") == 0;
                const std::string msg = ok ? std::string() : ErrorText(res);
                PQclear(res);
                if (ok) {
                    journal_.clear();
                    return;
                }
                if (PQstatus(conn_) == CONNECTION_BAD) {
                    throw ConnectionLost{};
                }
                journal_.clear();
                Rollback();
                throw EDatabaseError("Cannot commit to database '" + name_ + "': " + msg);
            } catch (const ConnectionLost&) {
                // Whether the commit happened is unknown: the checks of the
                // kept writes tell, in a new transaction.
                if (attempt > 0) {
                    journal_.clear();
                    throw EDatabaseError("Cannot commit to database '" + name_ +
                                         "': the connection was lost");
                }
                try {
                    Reopen();
                } catch (...) {
                    journal_.clear();
                    throw;
                }
            }
        }
    }

    size_t CheckedWritesPerCall() const override { return kCheckedWritesPerCall; }

    void RunCheckedWrites(std::span<const CheckedWrite> units,
                          std::vector<CheckedWriteOutcome>& outcomes) override {
        if (!engine_.ActiveBatch()) {
            Connection::RunCheckedWrites(units, outcomes);
            return;
        }
        outcomes.assign(units.size(), {});
        std::vector<bool> decided(units.size(), false);
        const auto undecided = [&] {
            std::vector<size_t> open;
            for (size_t i = 0; i < units.size(); ++i) {
                if (!decided[i]) {
                    open.push_back(i);
                }
            }
            return open;
        };
        bool replanned = false;
        for (int lost = 0;;) {
            try {
                Begin();
                const std::vector<size_t> unfound =
                    PipeChecks(units, undecided(), outcomes, decided, replanned);
                PipeWrites(units, unfound, outcomes, decided);
                return;
            } catch (const Restored&) {
                // Each restore decides a unit (or plans a check afresh
                // once), so this ends.
            } catch (const ConnectionLost&) {
                // Writes already answered are kept (Reopen brings them
                // back); every other unit runs again, check first.
                try {
                    if (lost++ > 0) {
                        Fail("the connection to the server was lost again");
                    }
                    ReopenInBatch();
                } catch (const EDatabaseError& e) {
                    FailUndecided(outcomes, decided, e);
                    return;
                }
            } catch (const EDatabaseError& e) {
                // Units already written stay written (their batch says
                // whether they are kept); the others fail with the message.
                FailUndecided(outcomes, decided, e);
                return;
            }
        }
    }

    void AbandonBatch() noexcept override {
        inBatch_ = false;
        journal_.clear();
        lastCheck_.reset();
        Rollback();
    }

  private:
    // A write of the open transaction and the check that preceded it.
    struct Kept {
        std::optional<Statement> check;
        Statement write;
    };

    void RunInBatch(const Statement& statement, const Parameters& params, Rows* rows) {
        for (int attempt = 0;; ++attempt) {
            try {
                Begin();
                PGresult* res = statement.intent == Statement::Intent::Write
                                    ? GuardedWrite(statement, params)
                                    : Checked(statement, params);
                Collect(res, rows);
                if (statement.intent == Statement::Intent::ReadBeforeWrite) {
                    lastCheck_ = statement;
                } else if (statement.intent == Statement::Intent::Write) {
                    journal_.push_back({std::move(lastCheck_), statement});
                    lastCheck_.reset();
                }
                return;
            } catch (const ConnectionLost&) {
                // Everything of the open transaction is gone with the
                // session: Reopen() brings the kept writes back, then the
                // statement runs again.
                if (attempt > 0) {
                    Fail("the connection to the server was lost again");
                }
                ReopenInBatch();
            }
        }
    }

    // Reopen() for the run's batch, joining it when the session was lost
    // before this batch's transaction began.
    void ReopenInBatch() {
        const bool joined = inBatch_;
        Reopen();
        if (!joined) {
            inBatch_ = true;
            engine_.ActiveBatch()->Join(this);
        }
    }

    // Inside a batch: a transaction from the first statement on.
    void Begin() {
        if (inBatch_) {
            if (!conn_) {
                throw ConnectionLost{};
            }
            return;
        }
        // A session lost before this batch began is waited for like one
        // lost in its middle, rather than failing line after line.
        if (!conn_ && wasConnected_) {
            throw ConnectionLost{};
        }
        Connect();
        OpenTransaction();
        inBatch_ = true;
        engine_.ActiveBatch()->Join(this);
    }

    // A batch's transaction. Every run writing to the database holds the
    // same lock for its transaction, so runs take turns batch by batch and
    // a duplicate check always sees what another run's earlier batch added
    // (otherwise two runs of one RAW file would both find nothing and both
    // insert). Waiting for it is bounded like any lock wait of the engine.
    void OpenTransaction() {
        const std::string sql =
            "BEGIN; SET LOCAL lock_timeout = " + std::to_string(engine_.LockWaitMs()) +
            "; SELECT pg_advisory_xact_lock(" + kRunLock + ")";
        PGresult* res = PQexec(conn_, sql.c_str());
        const bool ok = PQresultStatus(res) == PGRES_TUPLES_OK;
        const std::string msg = ok ? std::string() : ErrorText(res);
        PQclear(res);
        if (ok) {
            return;
        }
        if (PQstatus(conn_) == CONNECTION_BAD) {
            Drop();
            throw ConnectionLost{};
        }
        Rollback();
        throw EDatabaseError("Database '" + name_ + "' is busy: another run is writing to it (" +
                             msg + ")");
    }

    // Runs a statement of the transaction; a failure that left the
    // transaction unusable undoes it and brings the kept writes back, so the
    // failure stays the statement's own.
    PGresult* Checked(const Statement& statement, const Parameters& params) {
        PGresult* res = ExecPrepared(statement, params);
        const ExecStatusType st = PQresultStatus(res);
        if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) {
            return res;
        }
        if (PQstatus(conn_) == CONNECTION_BAD) {
            PQclear(res);
            Drop();
            throw ConnectionLost{};
        }
        EDatabaseError error = ErrorOf(res);
        PQclear(res);
        RestoreTransaction();
        throw error;
    }

    // A failed statement (or prepare) leaves the transaction unusable: undo
    // it and bring the kept writes back.
    void RestoreTransaction() {
        if (!inBatch_ || PQtransactionStatus(conn_) != PQTRANS_INERROR) {
            return;
        }
        try {
            // The lock went with the transaction: another run may have added
            // some of the kept writes' events meanwhile, so each is checked.
            Simple("ROLLBACK");
            OpenTransaction();
            Replay();
        } catch (const EDatabaseError& e) {
            Fail(e.Message());
        }
    }

    // Savepoint, write, release: one round trip. A failed write is rolled
    // back to its savepoint and raised.
    PGresult* GuardedWrite(const Statement& statement, const Parameters& params) {
        const std::string name = Prepared(statement.text);
        if (!PQenterPipelineMode(conn_)) {
            LostOr("cannot enter pipeline mode");
        }
        const bool sent = PQsendQueryParams(conn_, "SAVEPOINT tallon_line", 0, nullptr, nullptr,
                                            nullptr, nullptr, 0) &&
                          PQsendQueryPrepared(conn_, name.c_str(), params.Count(),
                                              params.pointers.data(), nullptr, nullptr, 0) &&
                          PQsendQueryParams(conn_, "RELEASE SAVEPOINT tallon_line", 0, nullptr,
                                            nullptr, nullptr, nullptr, 0) &&
                          PQpipelineSync(conn_);
        if (!sent) {
            LostOr(PQerrorMessage(conn_));
        }
        // Results: one or more per statement, each statement's closed by a
        // null, then the sync.
        PGresult* written = nullptr;
        std::optional<EDatabaseError> error;
        int query = 0;
        for (int nulls = 0; nulls <= 3;) {
            PGresult* r = PQgetResult(conn_);
            if (PQstatus(conn_) == CONNECTION_BAD) {
                PQclear(r);
                PQclear(written);
                Drop();
                throw ConnectionLost{};
            }
            if (!r) {
                ++nulls;
                ++query;
                continue;
            }
            const ExecStatusType st = PQresultStatus(r);
            if (st == PGRES_PIPELINE_SYNC) {
                PQclear(r);
                break;
            }
            if (st == PGRES_FATAL_ERROR && !error) {
                error = ErrorOf(r);
            }
            if (query == 1 && !written && st == PGRES_COMMAND_OK) {
                written = r;
            } else {
                PQclear(r);
            }
        }
        if (!PQexitPipelineMode(conn_)) {
            PQclear(written);
            LostOr("cannot leave pipeline mode");
        }
        if (!error && written) {
            return written;
        }
        PQclear(written);
        if (PQtransactionStatus(conn_) == PQTRANS_INERROR) {
            Simple("ROLLBACK TO SAVEPOINT tallon_line");
            Simple("RELEASE SAVEPOINT tallon_line");
        }
        if (error) {
            throw *error;
        }
        throw EDatabaseError("PostgreSQL error");
    }

    // One query's answer in a pipe.
    struct Piped {
        ExecStatusType status = PGRES_PIPELINE_ABORTED;
        int rows = 0;
        std::optional<EDatabaseError> error;
        bool shapeChanged = false;  // a prepared "select *" whose table changed
        bool Ok() const { return status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK; }
    };

    // Sends `count` queries (send(i) sends the i-th) and a sync in one
    // round trip and collects their answers.
    template <class Send>
    std::vector<Piped> Pipe(size_t count, Send send) {
        if (!PQenterPipelineMode(conn_)) {
            LostOr("cannot enter pipeline mode");
        }
        bool sent = true;
        for (size_t i = 0; i < count && sent; ++i) {
            sent = send(i);
        }
        if (!sent || !PQpipelineSync(conn_)) {
            // What the server got is unknown: the session is given up and
            // the batch's transaction brought back on a new one.
            Drop();
            throw ConnectionLost{};
        }
        std::vector<Piped> out(count);
        for (size_t i = 0; i < count; ++i) {
            for (;;) {
                PGresult* r = PQgetResult(conn_);
                if (PQstatus(conn_) == CONNECTION_BAD) {
                    PQclear(r);
                    Drop();
                    throw ConnectionLost{};
                }
                if (!r) {
                    break;
                }
                Piped& p = out[i];
                p.status = PQresultStatus(r);
                if (p.status == PGRES_TUPLES_OK) {
                    p.rows = PQntuples(r);
                } else if (p.status == PGRES_FATAL_ERROR) {
                    const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
                    p.shapeChanged = state && std::string(state) == "0A000";
                    p.error = ErrorOf(r);
                }
                PQclear(r);
            }
        }
        PGresult* r = PQgetResult(conn_);
        const bool synced = r && PQresultStatus(r) == PGRES_PIPELINE_SYNC;
        PQclear(r);
        if (!synced || !PQexitPipelineMode(conn_)) {
            Drop();
            throw ConnectionLost{};
        }
        return out;
    }

    // The server's names of the texts of a pipe, each text prepared (or
    // planned afresh) at most once per pipe.
    std::vector<std::string> NamesFor(const std::vector<const Statement*>& statements) {
        std::unordered_map<std::string_view, std::string> names;
        std::vector<std::string> out;
        out.reserve(statements.size());
        for (const Statement* s : statements) {
            auto it = names.find(s->text);
            if (it == names.end()) {
                const auto uses = static_cast<unsigned>(
                    std::count_if(statements.begin(), statements.end(),
                                  [&](const Statement* t) { return t->text == s->text; }));
                it = names.emplace(s->text, Prepared(s->text, uses)).first;
            }
            out.push_back(it->second);
        }
        return out;
    }

    static void FailUndecided(std::vector<CheckedWriteOutcome>& outcomes,
                              const std::vector<bool>& decided, const EDatabaseError& error) {
        for (size_t i = 0; i < outcomes.size(); ++i) {
            if (!decided[i]) {
                outcomes[i].result = CheckedWriteOutcome::Result::Failed;
                outcomes[i].message = error.Message();
                outcomes[i].code = error.Code();
            }
        }
    }

    static void Decide(std::vector<CheckedWriteOutcome>& outcomes, std::vector<bool>& decided,
                       size_t i, CheckedWriteOutcome::Result result,
                       const EDatabaseError* error = nullptr) {
        outcomes[i].result = result;
        if (error) {
            outcomes[i].message = error->Message();
            outcomes[i].code = error->Code();
        }
        decided[i] = true;
    }

    // The units' values as the server receives them; a unit whose values
    // cannot be sent fails alone.
    template <class Pick>
    std::vector<std::pair<size_t, Parameters>> Sendable(std::span<const CheckedWrite> units,
                                                        const std::vector<size_t>& which,
                                                        std::vector<CheckedWriteOutcome>& outcomes,
                                                        std::vector<bool>& decided, Pick pick) {
        std::vector<std::pair<size_t, Parameters>> out;
        out.reserve(which.size());
        for (size_t i : which) {
            try {
                out.emplace_back(i, Parameters(pick(units[i])));
            } catch (const EDatabaseError& e) {
                Decide(outcomes, decided, i, CheckedWriteOutcome::Result::Failed, &e);
            }
        }
        return out;
    }

    // The server's names for the statements of `todo`; when they cannot be
    // prepared, those units fail and the answer is empty.
    template <class Pick>
    std::vector<std::string> NamesOrFail(std::span<const CheckedWrite> units,
                                         const std::vector<std::pair<size_t, Parameters>>& todo,
                                         Pick pick, std::vector<CheckedWriteOutcome>& outcomes,
                                         std::vector<bool>& decided) {
        std::vector<const Statement*> statements;
        for (const auto& [unit, params] : todo) {
            statements.push_back(&pick(units[unit]));
        }
        try {
            return NamesFor(statements);
        } catch (const EDatabaseError& e) {
            for (const auto& [unit, params] : todo) {
                Decide(outcomes, decided, unit, CheckedWriteOutcome::Result::Failed, &e);
            }
            return {};
        }
    }

    // Runs the checks of `open` in one pipe; returns the units whose check
    // found nothing, in order.
    std::vector<size_t> PipeChecks(std::span<const CheckedWrite> units,
                                   const std::vector<size_t>& open,
                                   std::vector<CheckedWriteOutcome>& outcomes,
                                   std::vector<bool>& decided, bool& replanned) {
        const auto check = [](const CheckedWrite& u) -> const Statement& { return u.check; };
        auto todo = Sendable(units, open, outcomes, decided, check);
        std::vector<size_t> unfound;
        if (todo.empty()) {
            return unfound;
        }
        const std::vector<std::string> names = NamesOrFail(units, todo, check, outcomes, decided);
        if (names.empty()) {
            return unfound;
        }
        const std::vector<Piped> answers = Pipe(names.size(), [&](size_t i) {
            const Parameters& p = todo[i].second;
            return PQsendQueryPrepared(conn_, names[i].c_str(), p.Count(), p.pointers.data(),
                                       nullptr, nullptr, 0) != 0;
        });
        size_t k = 0;
        for (; k < answers.size() && answers[k].Ok(); ++k) {
            const size_t unit = todo[k].first;
            if (answers[k].rows > 0) {
                Decide(outcomes, decided, unit, CheckedWriteOutcome::Result::Found);
            } else {
                unfound.push_back(unit);
            }
        }
        if (k == answers.size()) {
            return unfound;
        }
        const Piped& failed = answers[k];
        const EDatabaseError error = failed.error.value_or(EDatabaseError("PostgreSQL error"));
        if (failed.shapeChanged && !replanned) {
            // The check did not run: prepared afresh, it runs again.
            replanned = true;
            Forget(units[todo[k].first].check.text);
        } else {
            Decide(outcomes, decided, todo[k].first, CheckedWriteOutcome::Result::Failed, &error);
        }
        // The transaction is restored on a new turn of the lock: what the
        // checks before found nothing for is stale, so every unit not yet
        // decided runs again.
        RestoreTransaction();
        throw Restored{};
    }

    // Runs the writes of `unfound` in pipes, each pipe under one savepoint;
    // every write answered is kept for a replay. A write that fails undoes
    // the pipe (the server skips what follows it anyway): it alone fails,
    // and the others are sent again. One savepoint per pipe instead of one
    // per write saves the server two statements a line.
    void PipeWrites(std::span<const CheckedWrite> units, const std::vector<size_t>& unfound,
                    std::vector<CheckedWriteOutcome>& outcomes, std::vector<bool>& decided) {
        const auto write = [](const CheckedWrite& u) -> const Statement& { return u.write; };
        auto todo = Sendable(units, unfound, outcomes, decided, write);
        while (!todo.empty()) {
            const std::vector<std::string> names =
                NamesOrFail(units, todo, write, outcomes, decided);
            if (names.empty()) {
                return;
            }
            const size_t n = names.size();
            const std::vector<Piped> answers = Pipe(n + 2, [&](size_t i) {
                if (i == 0 || i == n + 1) {
                    const char* sql =
                        i == 0 ? "SAVEPOINT tallon_pipe" : "RELEASE SAVEPOINT tallon_pipe";
                    return PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr,
                                             0) != 0;
                }
                const Parameters& p = todo[i - 1].second;
                return PQsendQueryPrepared(conn_, names[i - 1].c_str(), p.Count(),
                                           p.pointers.data(), nullptr, nullptr, 0) != 0;
            });
            size_t k = 0;
            while (k < n && answers[k + 1].Ok()) {
                ++k;
            }
            if (answers[0].Ok() && k == n && answers[n + 1].Ok()) {
                for (const auto& [unit, params] : todo) {
                    journal_.push_back({units[unit].check, units[unit].write});
                    Decide(outcomes, decided, unit, CheckedWriteOutcome::Result::Written);
                }
                return;
            }
            std::optional<EDatabaseError> error;
            for (size_t q = 0; q < n + 2 && !error; ++q) {
                error = answers[q].error;
            }
            bool restored = false;
            if (PQtransactionStatus(conn_) == PQTRANS_INERROR) {
                try {
                    Simple("ROLLBACK TO SAVEPOINT tallon_pipe");
                    Simple("RELEASE SAVEPOINT tallon_pipe");
                } catch (const EDatabaseError&) {
                    restored = true;
                }
            }
            const EDatabaseError e = error.value_or(EDatabaseError("PostgreSQL error"));
            if (restored) {
                // A new transaction on a new turn of the lock: the units
                // not yet decided are checked again.
                Decide(outcomes, decided, todo[k].first, CheckedWriteOutcome::Result::Failed, &e);
                RestoreTransaction();
                throw Restored{};
            }
            if (!answers[0].Ok() || k == n) {
                // The savepoint itself, or its release, failed: no write of
                // the pipe is known to be kept.
                for (const auto& [unit, params] : todo) {
                    Decide(outcomes, decided, unit, CheckedWriteOutcome::Result::Failed, &e);
                }
                return;
            }
            Decide(outcomes, decided, todo[k].first, CheckedWriteOutcome::Result::Failed, &e);
            todo.erase(todo.begin() + static_cast<long>(k));
        }
    }

    // After a lost connection: wait for the server (a bounded time), open a
    // transaction and bring back the kept writes, each only when its check
    // finds nothing (an earlier commit, or another run, may have kept it).
    void Reopen() {
        Drop();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(engine_.ReconnectWaitMs());
        for (;;) {
            try {
                Connect();
                break;
            } catch (const EDatabaseError& e) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    Fail(e.Message());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        try {
            OpenTransaction();
            Replay();
        } catch (const ConnectionLost&) {
            Fail("the connection to the server was lost again");
        } catch (const EDatabaseError& e) {
            Fail(e.Message());
        }
    }

    void Replay() {
        for (const Kept& k : journal_) {
            if (k.check) {
                PGresult* res = Checked(*k.check, Parameters(*k.check));
                const bool found = PQntuples(res) > 0;
                PQclear(res);
                if (found) {
                    continue;
                }
            }
            PQclear(GuardedWrite(k.write, Parameters(k.write)));
        }
    }

    // The batch cannot be kept: its members are undone and the run hears it.
    [[noreturn]] void Fail(const std::string& message) {
        const std::string msg = "Lost the connection to database '" + name_ + "': " + message;
        journal_.clear();
        lastCheck_.reset();
        if (Batch* b = engine_.ActiveBatch()) {
            b->MarkLost(this, msg);
        }
        throw EDatabaseError(msg);
    }

    [[noreturn]] void LostOr(const std::string& message) {
        if (PQstatus(conn_) == CONNECTION_BAD) {
            Drop();
            throw ConnectionLost{};
        }
        throw EDatabaseError(CleanMessage(message.c_str()));
    }

    // A statement without values or rows on the open session.
    void Simple(const char* sql) {
        PGresult* res = PQexec(conn_, sql);
        const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
        const std::string msg = ok ? std::string() : ErrorText(res);
        PQclear(res);
        if (!ok) {
            LostOr(msg);
        }
    }

    void Rollback() noexcept {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK &&
            PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            PQclear(PQexec(conn_, "ROLLBACK"));
        }
    }

    std::string ErrorText(const PGresult* res) const {
        const char* primary = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        return CleanMessage(primary ? primary : PQerrorMessage(conn_));
    }

    EDatabaseError ErrorOf(const PGresult* res) const {
        const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        const bool unique = state != nullptr && std::string(state) == "23505";
        return EDatabaseError(
            ErrorText(res), unique ? DatabaseErrorCode::UniqueViolation : DatabaseErrorCode::Other);
    }

    PGresult* ExecPrepared(const Statement& statement, const Parameters& params) {
        for (int attempt = 0;; ++attempt) {
            const std::string name = Prepared(statement.text);
            PGresult* r = PQexecPrepared(conn_, name.c_str(), params.Count(),
                                         params.pointers.data(), nullptr, nullptr, 0);
            const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            if (attempt > 0 || !state || std::string(state) != "0A000") {
                return r;
            }
            // The table changed shape under a prepared "select *": the
            // statement did not run. Prepare it afresh.
            PQclear(r);
            Forget(statement.text);
        }
    }
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
    std::string Prepared(const std::string& text, unsigned uses = 1) {
        auto it = prepared_.find(text);
        if (it != prepared_.end()) {
            it->second.uses += uses;
            if (it->second.uses < kReplanEvery) {
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
            const std::string msg = ErrorText(res);
            PQclear(res);
            if (inBatch_ && PQstatus(conn_) == CONNECTION_BAD) {
                Drop();
                throw ConnectionLost{};
            }
            RestoreTransaction();
            throw EDatabaseError(msg);
        }
        PQclear(res);
        prepared_[text] = Prepared_{name, uses - 1};
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
        wasConnected_ = true;
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
            EDatabaseError error = ErrorOf(res);
            PQclear(res);
            throw error;
        }
    }

    Engine& engine_;
    std::string conninfo_;
    std::string name_;
    std::optional<LoginAnswer> login_;
    PGconn* conn_ = nullptr;
    bool wasConnected_ = false;

    bool inBatch_ = false;
    std::vector<Kept> journal_;
    std::optional<Statement> lastCheck_;

    static constexpr unsigned kReplanEvery = 1000;
    // The advisory lock the runs take turns with (two keys: "tall", 1).
    static constexpr const char* kRunLock = "1952541804, 1";
    // Lines per pipe: enough that round trips stop mattering, few enough
    // that STOP is not kept waiting and a failure resends little.
    static constexpr size_t kCheckedWritesPerCall = 64;
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
