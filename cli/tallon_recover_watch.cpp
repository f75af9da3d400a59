#include "cli/tallon_recover_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

#include "base/errors.h"
#include "base/file_names.h"
#include "cli/service_notifier.h"
#include "log/activity_log.h"
#include "recovery/intake.h"
#include "recovery/intake_loop.h"
#include "recovery/table_files.h"

namespace tallon {
namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;

volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t reloadSignal = 0;
int wakeRead = -1;
int wakeWrite = -1;

// SIGTERM and SIGINT stop, SIGHUP reloads; either wakes the loop.
void OnSignal(int signal) {
    if (signal == SIGHUP) {
        reloadSignal = 1;
    } else {
        stopSignal = signal;
    }
    const int saved = errno;
    const char byte = 1;
    (void)!::write(wakeWrite, &byte, 1);
    errno = saved;
}

// The local writer keeps its tables, and makes day tables from the
// template, in the program directory: without a usable template nothing
// could be written.
std::string TemplateProblem(db::Engine& engine, const std::string& programDirectory) {
    if (!FileExists(programDirectory + kTemplateTableName + ".DB")) {
        return "You must have Tran_Tpl.* files to proceed.";
    }
    try {
        CheckTransactionTable(engine, programDirectory, kTemplateTableName);
    } catch (const Exception& e) {
        return std::string("The template ") + kTemplateTableName +
               ".DB cannot be used: " + e.Message();
    }
    return "";
}

Intake::Setting IntakeSetting(const RecoverOptions& opts, const WatchParts& parts,
                              const std::string& directory, const RunAccounts::RejectSink& sink,
                              IntakeNotifier& notifier) {
    RecoveryCore& core = parts.core;
    return Intake::Setting{
        parts.engine,
        parts.host,
        opts.mode,
        core.ProgramDirectory(),
        directory,
        std::chrono::seconds(opts.settleSeconds),
        opts.startAtEnd,
        sink,
        [&core](db::Batch& batch, LookupCache& lookups, LineWriter::Report report) {
            return core.MakeLineWriter(batch, lookups, std::move(report));
        },
        [] { return stopSignal != 0; },
        [&notifier] { notifier.Alive(); },
    };
}

int Watch(const RecoverOptions& opts, const WatchParts& parts, const std::string& directory) {
    ServiceNotifier notifier(opts.status, opts.metrics);
    const RunAccounts::RejectSink sink =
        parts.rejects ? RunAccounts::RejectSink(
                            [&parts](const RejectedLine& line) { parts.rejects->Add(line); })
                      : RunAccounts::RejectSink();
    Intake intake(IntakeSetting(opts, parts, directory, sink, notifier));
    parts.host.Attach(&intake.Progress(), nullptr);
    const IntakeLoopSetting loop{
        std::chrono::seconds(opts.rescanSeconds),
        opts.inotify,
        wakeRead,
        [] { return stopSignal != 0; },
        [] {
            const bool asked = reloadSignal != 0;
            reloadSignal = 0;
            return asked;
        },
        [&parts] { parts.core.ReadSettings(); },
    };
    RunIntake(intake, directory, loop, notifier);
    return kExitStopped;
}

}  // namespace

void InstallWatchSignals() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &sa, nullptr);
    }
}

int RunWatch(const RecoverOptions& opts, const WatchParts& parts) {
    // Its full path names the directory's positions, however it was given.
    char* real = DirectoryExists(parts.host.rawFileName)
                     ? ::realpath(parts.host.rawFileName.c_str(), nullptr)
                     : nullptr;
    if (real == nullptr) {
        std::cerr << "tallon-recover: " << opts.path << ": not a directory" << std::endl;
        return kExitFailed;
    }
    std::string directory = real;
    std::free(real);
    if (directory.back() != '/') {
        directory += '/';
    }
    if (opts.mode == RunMode::Local) {
        if (const std::string problem =
                TemplateProblem(parts.engine, parts.core.ProgramDirectory());
            !problem.empty()) {
            std::cerr << "tallon-recover: " << problem << std::endl;
            return kExitFailed;
        }
    }
    try {
        return Watch(opts, parts, directory);
    } catch (const std::exception& e) {
        const std::string line = std::string("Recovery stopped: ") + e.what();
        parts.host.AddMemoLine(line);
        try {
            LogLine(line);
        } catch (...) {
            // The log may be what failed; standard error still says it.
        }
        return kExitFailed;
    }
}

}  // namespace tallon
