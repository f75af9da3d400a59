#include "cli/tallon_recover_console.h"

#include <termios.h>

#include <cstdio>
#include <iostream>

namespace tallon {

void ConsoleHost::AddMemoLine(const std::string& line) {
    MemoryHost::AddMemoLine(line);
    line_.Clear();
    std::cout << EchoText(line) << std::endl;
    // A script that reads only standard error still learns why the run
    // ended.
    if (line.rfind("Recovery stopped: ", 0) == 0) {
        std::cerr << EchoText(line) << std::endl;
    }
    ShowProgress(true);
}

void ConsoleHost::ShowMessage(const std::string& message) {
    MemoryHost::ShowMessage(message);
    line_.Clear();
    std::cerr << EchoText(message) << std::endl;
}

void ConsoleHost::ProcessPendingEvents() {
    if (onEvents_) {
        onEvents_();
    }
    ShowProgress(false);
}

void ConsoleHost::FinishProgress(const FileTotals* file) {
    if (showProgress_ && file != nullptr) {
        line_.Update(file->name, file->linesRead, file->bytes, lastSize_, true);
    }
    line_.Finish();
}

void ConsoleHost::ShowProgress(bool now) {
    if (showProgress_ && progress_ != nullptr && !progress_->file.empty()) {
        lastSize_ = progress_->size;
        line_.Update(progress_->file, linesRead, progress_->position, progress_->size, now);
    }
}

namespace {

std::string ReadTerminalLine(bool echo) {
    termios saved{};
    const bool restore = !echo && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (restore) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    return line;
}

}  // namespace

bool TerminalLogin(const std::string& alias, std::string& user, std::string& password) {
    if (!::isatty(STDIN_FILENO)) {
        return false;
    }
    std::fprintf(stderr, "Database Login (%s)\nUser name [%s]: ", alias.c_str(), user.c_str());
    std::fflush(stderr);
    const std::string typed = ReadTerminalLine(true);
    if (!std::cin) {
        return false;
    }
    if (!typed.empty()) {
        user = typed;
    }
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    password = ReadTerminalLine(false);
    return static_cast<bool>(std::cin);
}

}  // namespace tallon
