#pragma once

#include <unistd.h>

#include <functional>
#include <string>

#include "cli/tallon_recover_progress.h"
#include "recovery/host.h"
#include "recovery/run_totals.h"

namespace tallon {

// The window's inputs and outputs on a terminal: memo lines on standard
// output, message boxes on standard error, the progress line on standard
// error when it is a terminal.
class ConsoleHost : public MemoryHost {
  public:
    // Where reading stands (drawn as the progress line), and what to do
    // where the window would process its events (a signal's STOP).
    void Attach(const RunProgress* progress, std::function<void()> onEvents) {
        progress_ = progress;
        onEvents_ = std::move(onEvents);
    }

    void AddMemoLine(const std::string& line) override;
    void ShowMessage(const std::string& message) override;
    void ProcessPendingEvents() override;
    // The last state of `file` stays on the screen.
    void FinishProgress(const FileTotals* file);

  private:
    void ShowProgress(bool now);

    const RunProgress* progress_ = nullptr;
    std::function<void()> onEvents_;
    uint64_t lastSize_ = 0;  // of the file last shown
    bool showProgress_ = ::isatty(STDERR_FILENO) != 0;
    ProgressLine line_{stderr};
};

// The "Database Login" box on a terminal. Without a terminal the login is
// cancelled, so unattended runs never hang on a prompt.
bool TerminalLogin(const std::string& alias, std::string& user, std::string& password);

}  // namespace tallon
