#include "base/clock.h"

#include <time.h>

#include <cmath>

namespace tallon {

namespace {

// A date-time as milliseconds on a straight line (day * ms-per-day + time of
// day), and back; the stored value keeps its time as the fraction's magnitude
// before the epoch.
int64_t ToLinearMs(DateTime dt) {
    const int64_t total = std::llround(dt.value * static_cast<double>(kMsPerDay));
    const int64_t days = total / kMsPerDay;
    const int64_t ms = (total < 0 ? -total : total) % kMsPerDay;
    return days * kMsPerDay + ms;
}

DateTime FromLinearMs(int64_t linear) {
    int64_t days = linear / kMsPerDay;
    int64_t ms = linear % kMsPerDay;
    if (ms < 0) {
        ms += kMsPerDay;
        --days;
    }
    const double time = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
    const double d = static_cast<double>(days);
    return DateTime{d < 0 ? d - time : d + time};
}

const Clock* g_active = nullptr;

// 1970-01-01 as a date-time: the days from the date-time epoch to Unix time's.
constexpr int64_t kUnixEpochDays = 25569;

}  // namespace

DateTime SystemClock::Now() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    DateParts d{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
    // A leap second shows as :60; hold it at :59.
    TimeParts t{local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                static_cast<int>(ts.tv_nsec / 1000000)};
    return EncodeDateTime(d, t);
}

uint32_t SystemClock::UtcMillisecondsOfDay() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t ms = (static_cast<int64_t>(ts.tv_sec) % 86400) * 1000 + ts.tv_nsec / 1000000;
    return static_cast<uint32_t>(ms);
}

int64_t Clock::UnixSeconds() const {
    const int64_t ms = UnixMilliseconds();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

int64_t SystemClock::UnixMilliseconds() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t ManualClock::UnixMilliseconds() const {
    return ToLinearMs(now_) - kUnixEpochDays * kMsPerDay -
           static_cast<int64_t>(utcOffsetMinutes_) * 60000;
}

uint32_t ManualClock::UtcMillisecondsOfDay() const {
    const TimeParts t = DecodeTime(now_);
    int64_t ms =
        ((static_cast<int64_t>(t.hour) * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
    ms -= static_cast<int64_t>(utcOffsetMinutes_) * 60000;
    ms %= kMsPerDay;
    if (ms < 0) {
        ms += kMsPerDay;
    }
    return static_cast<uint32_t>(ms);
}

void ManualClock::AdvanceMilliseconds(int64_t ms) {
    now_ = FromLinearMs(ToLinearMs(now_) + ms);
}

const Clock& ActiveClock() {
    static const SystemClock system;
    return g_active ? *g_active : system;
}

ScopedClock::ScopedClock(const Clock& clock) : saved_(g_active) {
    g_active = &clock;
}

ScopedClock::~ScopedClock() {
    g_active = saved_;
}

}  // namespace tallon
