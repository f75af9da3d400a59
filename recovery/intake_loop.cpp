#include "recovery/intake_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "recovery/directory_events.h"

namespace tallon {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point due, Clock::time_point now) {
    if (due <= now) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::min<int64_t>(ms, 60000));
}

void Drain(int fd) {
    char buffer[64];
    while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
    }
}

void Wait(const DirectoryEvents& events, int wakeFd, int timeoutMs) {
    std::vector<pollfd> fds;
    for (const int fd : {events.Fd(), wakeFd}) {
        if (fd >= 0) {
            fds.push_back({fd, POLLIN, 0});
        }
    }
    ::poll(fds.data(), fds.size(), timeoutMs);
    Drain(wakeFd);
}

// What the kernel said: names written to are looked at, anything else
// means a scan (and a watch made again when the directory itself went).
void Heed(DirectoryEvents& events, Intake& intake, const std::string& directory, bool& rescanNow) {
    DirectoryEvents::Changes changes = events.Take();
    if (changes.lost) {
        std::string why;
        events.Watch(directory, why);
    }
    if (changes.names) {
        rescanNow = true;
    } else if (!changes.written.empty()) {
        intake.Written({changes.written.begin(), changes.written.end()});
    }
}

}  // namespace

void RunIntake(Intake& intake, const std::string& directory, const IntakeLoopSetting& setting,
               IntakeNotifier& notifier) {
    DirectoryEvents events;
    std::string why;
    // Watched before the first scan, so nothing written meanwhile is missed.
    bool watching = setting.useInotify && events.Watch(directory, why);
    intake.Start();
    // Ready once the directory is known, not after the catch-up, which a
    // large backlog makes long (a service manager would give up on it).
    notifier.Ready(intake.Status());
    Clock::time_point nextScan = Clock::now() + setting.rescan;
    Clock::time_point nextStatus = Clock::now() + kStatusEvery;
    while (!setting.stopRequested()) {
        if (setting.takeReload()) {
            intake.Reload(setting.rereadSettings);
        }
        bool rescanNow = false;
        Heed(events, intake, directory, rescanNow);
        Clock::time_point now = Clock::now();
        if (rescanNow || now >= nextScan) {
            if (now >= nextScan && setting.useInotify && !watching) {
                watching = events.Watch(directory, why);  // the directory may be there now
            }
            intake.Scan();
            nextScan = now + setting.rescan;
        }
        intake.Work();
        now = Clock::now();
        if (now >= nextStatus) {
            notifier.Update(intake.Status());
            nextStatus = now + kStatusEvery;
        }
        notifier.Alive();
        const Clock::time_point due = std::min({nextScan, nextStatus, intake.NextDue()});
        Wait(events, setting.wakeFd, MillisecondsUntil(due, now));
    }
    notifier.Stopping();
    intake.Stop();
    notifier.Update(intake.Status());
}

}  // namespace tallon
