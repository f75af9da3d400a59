#include "recovery/intake_figures.h"

#include <algorithm>

#include "base/clock.h"

namespace tallon {
namespace {

double SecondsBetween(IntakeFigures::Clock::time_point from, IntakeFigures::Clock::time_point to) {
    return std::max(0.0, std::chrono::duration<double>(to - from).count());
}

std::string WithoutLastSlash(const std::string& directory) {
    return directory.size() > 1 && directory.back() == '/'
               ? directory.substr(0, directory.size() - 1)
               : directory;
}

}  // namespace

IntakeFigures::IntakeFigures(const std::string& directory, RunMode mode)
    : directory_(WithoutLastSlash(directory)), mode_(mode) {}

void IntakeFigures::Committed() {
    lastCommitUnix_ = ActiveClock().UnixSeconds();
}

void IntakeFigures::Error(const std::string& message) {
    lastError_ = message;
    lastErrorUnix_ = ActiveClock().UnixSeconds();
}

void IntakeFigures::ScanFailed(const std::string& message) {
    if (!scanFailed_) {
        Error(message);
    }
    scanFailed_ = true;
}

IntakeStatus IntakeFigures::Status(const WatchedFiles& files, const RunTotals& totals,
                                   const HeldLines& held, Clock::time_point now) const {
    IntakeStatus s;
    s.directory = directory_;
    s.mode = mode_;
    Clock::time_point oldest = now;
    files.ForEach([&](const WatchedFile& file) {
        s.files.push_back({file.Name(), file.committed.offset, file.size, file.gone});
        if (file.HasUnread()) {
            s.unreadBytes += file.size - file.read.offset;
            if (file.unreadSince != Clock::time_point{}) {
                oldest = std::min(oldest, file.unreadSince);
            }
        }
    });
    std::sort(s.files.begin(), s.files.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    s.oldestUnreadSeconds = SecondsBetween(oldest, now);
    s.linesRead = totals.linesRead;
    s.counts = totals.counts;
    s.lastCommitUnix = lastCommitUnix_;
    s.lastError = lastError_;
    s.lastErrorUnix = lastErrorUnix_;
    if (held.Waiting()) {
        s.waitingFor = held.Reason();
        s.retryInSeconds = SecondsBetween(now, held.Due());
    }
    return s;
}

}  // namespace tallon
