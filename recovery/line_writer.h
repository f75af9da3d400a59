#pragma once

#include <functional>

#include "recovery/line_outcome.h"

namespace tallon {

// The writer of a run's mode, as the run sees it: it takes the lines read
// and reports what became of each, in the order they were taken, through
// the run's report. The local writer reports each line at once; the
// external one may hold a few lines to write them together.
class LineWriter {
  public:
    // Called once per line taken. May raise (a log or rejects list that
    // cannot be written): the writer then settles the lines it still holds
    // and passes the error on.
    using Report = std::function<void(const ReadLine& line, const LineResult& result)>;

    virtual ~LineWriter() = default;
    virtual void Take(ReadLine line) = 0;
    // Writes and reports every line still held.
    virtual void Flush() = 0;
    // The run is ending on `message`: every line still held is reported,
    // written if its batch still stands, else failed.
    virtual void Settle(const std::string& message) noexcept = 0;
};

}  // namespace tallon
