#pragma once

// Checked writes (a duplicate check and the insert it decides, for many
// lines) piped inside the batch's transaction: every check of a call in one
// round trip, then every write whose check found nothing, under one
// savepoint, in a second. A statement that fails in a pipe makes the server
// skip the rest of it: the pipe is undone (to its savepoint, or by
// restoring the transaction), the failed statement fails alone and the
// others are sent again.

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "db/alias/postgresql/parameters.h"
#include "db/alias/postgresql/pipe.h"
#include "db/alias/postgresql/session.h"
#include "db/alias/postgresql/transaction.h"
#include "db/checked_write.h"

namespace tallon::db::pg {

class CheckedWriteCall {
  public:
    CheckedWriteCall(Session& session, Transaction& transaction,
                     std::span<const CheckedWrite> units,
                     std::vector<CheckedWriteOutcome>& outcomes);

    // Decides every unit: written, found, or failed with its message.
    void Run();

  private:
    // Again: the transaction was restored on a new turn of the runs' lock,
    // so what the checks before found nothing for is stale and every unit
    // not yet decided runs again, check first.
    enum class Step { Done, Again };
    using Todo = std::vector<std::pair<size_t, Parameters>>;
    using Pick = const Statement& (*)(const CheckedWrite&);

    Step RunOnce();
    Step PipeChecks(const std::vector<size_t>& open, std::vector<size_t>& unfound);
    Step WhenACheckFailed(const Piped& failed, size_t unit);
    Step PipeWrites(const std::vector<size_t>& unfound);
    Step WhenAWriteFailed(Todo& todo, const std::vector<Piped>& answers, bool& finished);

    std::vector<size_t> Undecided() const;
    Todo Sendable(const std::vector<size_t>& which, Pick pick);
    std::vector<std::string> NamesOrFail(const Todo& todo, Pick pick);
    void Decide(size_t i, CheckedWriteOutcome::Result result,
                const EDatabaseError* error = nullptr);
    void FailUndecided(const EDatabaseError& error);

    Session& session_;
    Transaction& transaction_;
    std::span<const CheckedWrite> units_;
    std::vector<CheckedWriteOutcome>& outcomes_;
    std::vector<bool> decided_;
    bool replanned_ = false;
};

}  // namespace tallon::db::pg
