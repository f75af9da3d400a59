#include "cli/tallon_recover_progress.h"

namespace tallon {

std::string EchoText(const std::string& line) {
    if (line.size() <= kEchoLimit) {
        return line;
    }
    return line.substr(0, kEchoLimit) + " ... (" + std::to_string(line.size()) + " bytes)";
}

void ProgressLine::Update(const std::string& file, int64_t lines, uint64_t position, uint64_t size,
                          bool now) {
    const auto t = Clock::now();
    if (file != file_) {
        file_ = file;
        fileStart_ = t;
    }
    if (!now && !cleared_ && t - drawn_ < kEvery) {
        return;
    }
    drawn_ = t;
    cleared_ = false;
    const double seconds = std::chrono::duration<double>(t - fileStart_).count();
    const double percent = size ? 100.0 * static_cast<double>(position) / size : 100.0;
    const double rate = seconds > 0 ? static_cast<double>(lines) / seconds : 0.0;
    std::fprintf(out_, "\r\033[K%s: %lld lines, %.0f%%, %.0f lines/s", file_.c_str(),
                 static_cast<long long>(lines), percent, rate);
    // The time left follows from the bytes still to read at the rate so far.
    if (position > 0 && position < size && seconds >= 1) {
        const auto left = static_cast<long long>(seconds * static_cast<double>(size - position) /
                                                 static_cast<double>(position));
        std::fprintf(out_, ", %lld:%02lld left", left / 60, left % 60);
    }
    std::fflush(out_);
    shown_ = true;
}

void ProgressLine::Clear() {
    if (shown_) {
        std::fputs("\r\033[K", out_);
        std::fflush(out_);
        shown_ = false;
    }
    cleared_ = true;
}

void ProgressLine::Finish() {
    if (shown_) {
        std::fputs("\n", out_);
        std::fflush(out_);
        shown_ = false;
    }
}

}  // namespace tallon
