#pragma once

#include <algorithm>
#include <chrono>
#include <string>

namespace tallon {

// The wait before a failed write is tried again: one second, doubled after
// every failure, up to a minute; over once a try succeeds.
class RetryWait {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kFirst{1};
    static constexpr std::chrono::seconds kLongest{60};

    bool Waiting() const { return failures_ > 0; }
    const std::string& Reason() const { return reason_; }
    Clock::time_point Due() const { return due_; }
    int Failures() const { return failures_; }

    void Failed(const std::string& reason, Clock::time_point now) {
        const auto wait =
            std::min<Clock::duration>(kFirst * (1LL << std::min(failures_, 6)), kLongest);
        ++failures_;
        reason_ = reason;
        due_ = now + wait;
    }
    void Succeeded() {
        failures_ = 0;
        reason_.clear();
    }

  private:
    int failures_ = 0;
    std::string reason_;
    Clock::time_point due_{};
};

}  // namespace tallon
