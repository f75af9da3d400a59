#pragma once

#include <string>

#include "recovery/run_mode.h"

namespace tallon {

// tallon-recover's command line.
struct RecoverOptions {
    RunMode mode = RunMode::Local;
    bool all = false;
    bool merge = true;
    bool fromTran = false;
    std::string table = "TRAN1";
    std::string programDir;
    std::string rejects;
    std::string summary;
    std::string path;
    bool help = false;
    bool version = false;
    // Continuous intake (--watch) and its own options.
    bool watch = false;
    int settleSeconds = 60;
    int rescanSeconds = 5;
    std::string status;
    std::string metrics;
    bool startAtEnd = false;
    bool inotify = true;
};

extern const char* const kRecoverUsage;
extern const char* const kRecoverHelp;

// Fills `opts`; returns "" on success, else what was wrong.
std::string ParseRecoverOptions(int argc, char** argv, RecoverOptions& opts);

}  // namespace tallon
