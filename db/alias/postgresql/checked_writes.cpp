#include "db/alias/postgresql/checked_writes.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace tallon::db::pg {
namespace {

using Outcome = CheckedWriteOutcome::Result;

const Statement& CheckOf(const CheckedWrite& u) {
    return u.check;
}
const Statement& WriteOf(const CheckedWrite& u) {
    return u.write;
}

// The server's names of the texts of a pipe, each text prepared (or planned
// afresh) at most once per pipe.
std::vector<std::string> NamesFor(Transaction& transaction,
                                  const std::vector<const Statement*>& statements) {
    std::unordered_map<std::string_view, std::string> names;
    std::vector<std::string> out;
    out.reserve(statements.size());
    for (const Statement* s : statements) {
        auto it = names.find(s->text);
        if (it == names.end()) {
            const auto uses = static_cast<unsigned>(
                std::count_if(statements.begin(), statements.end(),
                              [&](const Statement* t) { return t->text == s->text; }));
            it = names.emplace(s->text, transaction.Prepared(s->text, uses)).first;
        }
        out.push_back(it->second);
    }
    return out;
}

}  // namespace

CheckedWriteCall::CheckedWriteCall(Session& session, Transaction& transaction,
                                   std::span<const CheckedWrite> units,
                                   std::vector<CheckedWriteOutcome>& outcomes)
    : session_(session),
      transaction_(transaction),
      units_(units),
      outcomes_(outcomes),
      decided_(units.size(), false) {
    outcomes_.assign(units.size(), {});
}

void CheckedWriteCall::Run() {
    try {
        // Writes already answered are kept (a lost session brings them
        // back); every other unit runs again, check first. Each restore
        // decides a unit (or plans a check afresh once), so this ends.
        while (transaction_.Retrying([this] {
            transaction_.Begin();
            return RunOnce();
        }) == Step::Again) {
        }
    } catch (const EDatabaseError& e) {
        // Units already written stay written (their batch says whether they
        // are kept); the others fail with the message.
        FailUndecided(e);
    }
}

CheckedWriteCall::Step CheckedWriteCall::RunOnce() {
    std::vector<size_t> unfound;
    if (PipeChecks(Undecided(), unfound) == Step::Again) {
        return Step::Again;
    }
    return PipeWrites(unfound);
}

std::vector<size_t> CheckedWriteCall::Undecided() const {
    std::vector<size_t> open;
    for (size_t i = 0; i < units_.size(); ++i) {
        if (!decided_[i]) {
            open.push_back(i);
        }
    }
    return open;
}

void CheckedWriteCall::Decide(size_t i, Outcome result, const EDatabaseError* error) {
    outcomes_[i].result = result;
    if (error) {
        outcomes_[i].message = error->Message();
        outcomes_[i].code = error->Code();
    }
    decided_[i] = true;
}

void CheckedWriteCall::FailUndecided(const EDatabaseError& error) {
    for (size_t i = 0; i < units_.size(); ++i) {
        if (!decided_[i]) {
            Decide(i, Outcome::Failed, &error);
        }
    }
}

// The units' values as the server receives them; a unit whose values
// cannot be sent fails alone.
CheckedWriteCall::Todo CheckedWriteCall::Sendable(const std::vector<size_t>& which, Pick pick) {
    Todo out;
    out.reserve(which.size());
    for (size_t i : which) {
        try {
            out.emplace_back(i, Parameters(pick(units_[i])));
        } catch (const EDatabaseError& e) {
            Decide(i, Outcome::Failed, &e);
        }
    }
    return out;
}

// The server's names for the statements of `todo`; when they cannot be
// prepared, those units fail and the answer is empty.
std::vector<std::string> CheckedWriteCall::NamesOrFail(const Todo& todo, Pick pick) {
    std::vector<const Statement*> statements;
    for (const auto& [unit, params] : todo) {
        statements.push_back(&pick(units_[unit]));
    }
    try {
        return NamesFor(transaction_, statements);
    } catch (const EDatabaseError& e) {
        for (const auto& [unit, params] : todo) {
            Decide(unit, Outcome::Failed, &e);
        }
        return {};
    }
}

// Runs the checks of `open` in one pipe; `unfound` gets the units whose
// check found nothing, in order.
CheckedWriteCall::Step CheckedWriteCall::PipeChecks(const std::vector<size_t>& open,
                                                    std::vector<size_t>& unfound) {
    const Todo todo = Sendable(open, CheckOf);
    const std::vector<std::string> names =
        todo.empty() ? std::vector<std::string>{} : NamesOrFail(todo, CheckOf);
    if (names.empty()) {
        return Step::Done;
    }
    const std::vector<Piped> answers = RunPipe(session_, names.size(), [&](size_t i) {
        return SendPrepared(session_, names[i], todo[i].second);
    });
    for (size_t k = 0; k < answers.size(); ++k) {
        const size_t unit = todo[k].first;
        if (!answers[k].Ok()) {
            return WhenACheckFailed(answers[k], unit);
        }
        if (answers[k].rows > 0) {
            Decide(unit, Outcome::Found);
        } else {
            unfound.push_back(unit);
        }
    }
    return Step::Done;
}

CheckedWriteCall::Step CheckedWriteCall::WhenACheckFailed(const Piped& failed, size_t unit) {
    const EDatabaseError error = failed.error.value_or(EDatabaseError("PostgreSQL error"));
    if (failed.shapeChanged && !replanned_) {
        // The check did not run: prepared afresh, it runs again.
        replanned_ = true;
        session_.Forget(units_[unit].check.text);
    } else {
        Decide(unit, Outcome::Failed, &error);
    }
    transaction_.Restore();
    return Step::Again;
}

// Runs the writes of `unfound` in pipes, each pipe under one savepoint;
// every write answered is kept for a replay. One savepoint per pipe instead
// of one per write saves the server two statements a line.
CheckedWriteCall::Step CheckedWriteCall::PipeWrites(const std::vector<size_t>& unfound) {
    Todo todo = Sendable(unfound, WriteOf);
    while (!todo.empty()) {
        const std::vector<std::string> names = NamesOrFail(todo, WriteOf);
        if (names.empty()) {
            return Step::Done;
        }
        const size_t n = names.size();
        const std::vector<Piped> answers = RunPipe(session_, n + 2, [&](size_t i) {
            if (i == 0 || i == n + 1) {
                return SendPlain(
                    session_, i == 0 ? "SAVEPOINT tallon_pipe" : "RELEASE SAVEPOINT tallon_pipe");
            }
            return SendPrepared(session_, names[i - 1], todo[i - 1].second);
        });
        if (std::all_of(answers.begin(), answers.end(), [](const Piped& p) { return p.Ok(); })) {
            for (const auto& [unit, params] : todo) {
                transaction_.KeepWrite(units_[unit].check, units_[unit].write);
                Decide(unit, Outcome::Written);
            }
            return Step::Done;
        }
        bool finished = false;
        if (WhenAWriteFailed(todo, answers, finished) == Step::Again) {
            return Step::Again;
        }
        if (finished) {
            return Step::Done;
        }
    }
    return Step::Done;
}

// A write that fails undoes its pipe (the server skips what follows it
// anyway): it alone fails, and the others are sent again (left in `todo`).
CheckedWriteCall::Step CheckedWriteCall::WhenAWriteFailed(Todo& todo,
                                                          const std::vector<Piped>& answers,
                                                          bool& finished) {
    const size_t n = todo.size();
    size_t k = 0;
    while (k < n && answers[k + 1].Ok()) {
        ++k;
    }
    std::optional<EDatabaseError> error;
    for (size_t q = 0; q < answers.size() && !error; ++q) {
        error = answers[q].error;
    }
    const EDatabaseError e = error.value_or(EDatabaseError("PostgreSQL error"));
    bool undone = true;
    if (session_.TransactionStatus() == PQTRANS_INERROR) {
        try {
            session_.Simple("ROLLBACK TO SAVEPOINT tallon_pipe");
            session_.Simple("RELEASE SAVEPOINT tallon_pipe");
        } catch (const EDatabaseError&) {
            undone = false;
        }
    }
    if (!undone) {
        // A new transaction on a new turn of the lock: the units not yet
        // decided are checked again.
        Decide(todo[k].first, Outcome::Failed, &e);
        transaction_.Restore();
        return Step::Again;
    }
    if (!answers[0].Ok() || k == n) {
        // The savepoint itself, or its release, failed: no write of the pipe
        // is known to be kept.
        for (const auto& [unit, params] : todo) {
            Decide(unit, Outcome::Failed, &e);
        }
        finished = true;
        return Step::Done;
    }
    Decide(todo[k].first, Outcome::Failed, &e);
    todo.erase(todo.begin() + static_cast<long>(k));
    return Step::Done;
}

}  // namespace tallon::db::pg
