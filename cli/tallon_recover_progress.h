#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tallon {

// A status line as tallon-recover echoes it: whole up to kEchoLimit bytes;
// a longer one (a RAW line of megabytes inside a message) is cut there and
// followed by its size, so the terminal stays readable. The log and the
// rejects files keep the whole text.
inline constexpr size_t kEchoLimit = 512;
std::string EchoText(const std::string& line);

// The one progress line of tallon-recover on a terminal: file, lines, share
// of the file's bytes read, rate and time left. Other output clears it and
// has it drawn again at once; between lines it is redrawn every kEvery.
class ProgressLine {
  public:
    static constexpr std::chrono::milliseconds kEvery{200};

    explicit ProgressLine(std::FILE* out) : out_(out) {}

    // Draws when kEvery has passed since the last drawing, or when `now`.
    void Update(const std::string& file, int64_t lines, uint64_t position, uint64_t size,
                bool now = false);
    // Takes the line off the screen before other output; the next Update
    // draws it whatever the time.
    void Clear();
    // Leaves the last drawing on the screen, ended by a new line.
    void Finish();

  private:
    using Clock = std::chrono::steady_clock;
    std::FILE* out_;
    bool shown_ = false;
    bool cleared_ = true;
    std::string file_;
    Clock::time_point drawn_{};
    Clock::time_point fileStart_{};
};

}  // namespace tallon
