#include "cli/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <iostream>

#include "base/clock.h"
#include "base/errors.h"
#include "base/file_io.h"
#include "recovery/run_summary.h"

namespace tallon {

ServiceNotifier::ServiceNotifier(std::string statusFile, std::string metricsFile)
    : statusFile_(std::move(statusFile)), metricsFile_(std::move(metricsFile)) {
    if (::sd_watchdog_enabled(0, &watchdogUsec_) <= 0) {
        watchdogUsec_ = 0;
    }
}

void ServiceNotifier::Ready(const IntakeStatus& status) {
    Update(status);
    ::sd_notify(0, "READY=1");
}

void ServiceNotifier::Update(const IntakeStatus& status) {
    const std::string line = IntakeStatusLine(status, ActiveClock().UnixSeconds());
    if (line != lineSent_) {
        ::sd_notify(0, ("STATUS=" + line).c_str());
        lineSent_ = line;
    }
    Rewrite(statusFile_, IntakeStatusJson(status), statusWritten_);
    Rewrite(metricsFile_, IntakeMetrics(status), metricsWritten_);
}

void ServiceNotifier::Rewrite(const std::string& path, const std::string& content,
                              Written& written) {
    const auto now = std::chrono::steady_clock::now();
    if (path.empty() || (content == written.content && now - written.at < kRefresh)) {
        return;
    }
    try {
        WriteFileAtomically(path, content);
        written = {content, now};
        fileError_.clear();
    } catch (const Exception& e) {
        const std::string error = path + ": " + e.Message();
        if (error != fileError_) {
            std::cerr << "tallon-recover: " << error << std::endl;
            fileError_ = error;
        }
    }
}

void ServiceNotifier::Alive() {
    if (watchdogUsec_ == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastPing_ >= std::chrono::microseconds(watchdogUsec_ / 4)) {
        ::sd_notify(0, "WATCHDOG=1");
        lastPing_ = now;
    }
}

void ServiceNotifier::Stopping() {
    ::sd_notify(0, "STOPPING=1");
}

}  // namespace tallon
