#pragma once

#include <functional>
#include <memory>

#include "db/batch.h"
#include "db/engine.h"
#include "recovery/line_writer.h"
#include "recovery/lookup_cache.h"
#include "recovery/run_accounts.h"
#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// The objects lines are written with: the batch, the account of every line,
// the lookups remembered and the writer of the mode. A recovery run makes
// one for its whole length; continuous intake makes one and keeps it until
// it is told to read its configuration again. The owner decides when to
// commit and what a loss means.
class RunSession {
  public:
    // The writer of the mode, writing into `batch`, remembering its lookups
    // in `lookups`, reporting each line through `report`.
    using WriterFactory = std::function<std::unique_ptr<LineWriter>(
        db::Batch& batch, LookupCache& lookups, LineWriter::Report report)>;

    struct Setting {
        db::Engine& engine;
        RunMode mode;
        const RunAccounts::RejectSink& rejects;
        // How long a lookup's answer is kept (zero: for the session's life).
        LookupCache::Clock::duration lookupAge{};
    };

    // Each line's result goes to `report` when given (the owner accounts for
    // it), else straight to the accounts.
    RunSession(const Setting& setting, const WriterFactory& makeWriter, RunTotals& totals,
               LineWriter::Report report = nullptr);

    // A line read: counted, then handed to the writer.
    void Take(ReadLine line) {
        accounts_.Read();
        writer_->Take(std::move(line));
    }

    db::Batch& Batch() { return batch_; }
    RunAccounts& Accounts() { return accounts_; }
    LookupCache& Lookups() { return lookups_; }
    LineWriter& Writer() { return *writer_; }

  private:
    db::Batch batch_;
    RunAccounts accounts_;
    LookupCache lookups_;
    std::unique_ptr<LineWriter> writer_;
};

}  // namespace tallon
