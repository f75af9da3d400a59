#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "recovery/intake_loop.h"

namespace tallon {

// Continuous intake's news for the service manager (sd_notify: readiness,
// a one-line status, the watchdog, when NOTIFY_SOCKET is set) and for the
// administrator's status and metrics files (rewritten atomically, and only
// when what they say changed, so an idle intake writes nothing).
class ServiceNotifier final : public IntakeNotifier {
  public:
    ServiceNotifier(std::string statusFile, std::string metricsFile);

    void Ready(const IntakeStatus& status) override;
    void Update(const IntakeStatus& status) override;
    void Alive() override;
    void Stopping() override;

  private:
    void Rewrite(const std::string& path, const std::string& content, std::string& written);

    std::string statusFile_;
    std::string metricsFile_;
    std::string statusWritten_;
    std::string metricsWritten_;
    std::string lineSent_;
    std::string fileError_;  // the last failure to write a file, said once
    uint64_t watchdogUsec_ = 0;
    std::chrono::steady_clock::time_point lastPing_{};
};

}  // namespace tallon
