#pragma once

#include "cli/tallon_recover_console.h"
#include "cli/tallon_recover_options.h"
#include "db/engine.h"
#include "recovery/recovery_core.h"
#include "recovery/rejects_file.h"

namespace tallon {

// What continuous intake is run with, made and started up by tallon-recover.
struct WatchParts {
    db::Engine& engine;
    RecoveryCore& core;
    ConsoleHost& host;
    RejectsFile* rejects;  // may be null
};

// SIGTERM and SIGINT stop continuous intake, SIGHUP makes it read its
// configuration again. Installed before start-up, so that a stop asked for
// meanwhile is not lost.
void InstallWatchSignals();

// tallon-recover --watch DIR, to its end: 0 when a signal stopped it, 1 when
// it could not start or ended on an error.
int RunWatch(const RecoverOptions& opts, const WatchParts& parts);

}  // namespace tallon
