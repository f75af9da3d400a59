#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "recovery/intake_loop.h"

namespace tallon {

// Continuous intake's news for the service manager (sd_notify: readiness,
// a one-line status, the watchdog, when NOTIFY_SOCKET is set) and for the
// administrator's status and metrics files, rewritten atomically when what
// they say changed and every kRefresh regardless, so that their time stamp
// tells a collector the watcher lives (on tmpfs, as the unit keeps them, an
// idle watcher still writes nothing to disk).
class ServiceNotifier final : public IntakeNotifier {
  public:
    static constexpr std::chrono::seconds kRefresh{10};

    ServiceNotifier(std::string statusFile, std::string metricsFile);

    void Ready(const IntakeStatus& status) override;
    void Update(const IntakeStatus& status) override;
    void Alive() override;
    void Stopping() override;

  private:
    struct Written {
        std::string content;
        std::chrono::steady_clock::time_point at{};
    };
    void Rewrite(const std::string& path, const std::string& content, Written& written);

    std::string statusFile_;
    std::string metricsFile_;
    Written statusWritten_;
    Written metricsWritten_;
    std::string lineSent_;
    std::string fileError_;  // the last failure to write a file, said once
    uint64_t watchdogUsec_ = 0;
    std::chrono::steady_clock::time_point lastPing_{};
};

}  // namespace tallon
