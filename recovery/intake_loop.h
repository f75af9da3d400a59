#pragma once

#include <chrono>
#include <functional>

#include "recovery/intake.h"
#include "recovery/intake_status.h"

namespace tallon {

// Who hears how continuous intake is doing: the service manager, the
// status and metrics files, a terminal.
class IntakeNotifier {
  public:
    virtual ~IntakeNotifier() = default;
    // The first scan is done: the intake is running.
    virtual void Ready(const IntakeStatus& status) = 0;
    // Every few seconds, and once more at the end.
    virtual void Update(const IntakeStatus& status) = 0;
    // Often, also in the middle of a long catch-up (a watchdog's answer).
    virtual void Alive() = 0;
    // The intake is ending.
    virtual void Stopping() = 0;
};

struct IntakeLoopSetting {
    std::chrono::steady_clock::duration rescan;  // the directory is listed this often
    bool useInotify = true;
    int wakeFd = -1;  // readable when a signal has come
    std::function<bool()> stopRequested;
    std::function<bool()> takeReload;  // true once per SIGHUP
    std::function<void()> rereadSettings;
};

// How often the status is looked at (and rewritten when it changed).
inline constexpr std::chrono::seconds kStatusEvery{2};

// Runs `intake` until told to stop: waits for the kernel's word on the
// directory, for the next scan, the next settle time or retry, or a signal,
// whichever comes first, and lets the intake work. Raises what the intake
// raises (its start refused, a log that cannot be written).
void RunIntake(Intake& intake, const std::string& directory, const IntakeLoopSetting& setting,
               IntakeNotifier& notifier);

}  // namespace tallon
