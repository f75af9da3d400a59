#pragma once

#include <cstdint>

#include "base/date_time.h"

namespace tallon {

// Every reading of "now" goes through the active clock, so tests can stand
// on any day and time (the year rule, the day's password, the sequence-number
// seed and the external record id all depend on it).
class Clock {
  public:
    virtual ~Clock() = default;
    // Local date and time, with milliseconds.
    virtual DateTime Now() const = 0;
    // Milliseconds since midnight, universal time.
    virtual uint32_t UtcMillisecondsOfDay() const = 0;
    // Milliseconds since 1970-01-01 00:00 universal time (Unix time).
    virtual int64_t UnixMilliseconds() const = 0;
    // Whole seconds of Unix time, as status files and metrics give it.
    int64_t UnixSeconds() const;
};

class SystemClock final : public Clock {
  public:
    DateTime Now() const override;
    uint32_t UtcMillisecondsOfDay() const override;
    int64_t UnixMilliseconds() const override;
};

// A clock that stands still until told to move.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(DateTime local = {}, int utcOffsetMinutes = 0)
        : now_(local), utcOffsetMinutes_(utcOffsetMinutes) {}
    DateTime Now() const override { return now_; }
    uint32_t UtcMillisecondsOfDay() const override;
    int64_t UnixMilliseconds() const override;

    void Set(DateTime local) { now_ = local; }
    void AdvanceMilliseconds(int64_t ms);
    void SetUtcOffsetMinutes(int minutes) { utcOffsetMinutes_ = minutes; }

  private:
    DateTime now_;
    int utcOffsetMinutes_;
};

// The active clock (the system clock unless a test installed another).
const Clock& ActiveClock();

// Installs a clock for the lifetime of the object.
class ScopedClock {
  public:
    explicit ScopedClock(const Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

  private:
    const Clock* saved_;
};

}  // namespace tallon
