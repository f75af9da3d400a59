#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "db/batch.h"
#include "recovery/external_writer.h"
#include "recovery/line_writer.h"

namespace tallon {

// The external writer as a run drives it: the lines read are queued until
// the driver's share of one call is there, or until a line could find a
// queued one as its duplicate; then their records are written together and
// the lines reported in the order they were read, so the log and the memo
// read as if each line had run alone. Lines refused before their write
// (unknown reader or card) wait only behind writes, and never in numbers.
class ExternalLineWriter final : public LineWriter {
  public:
    ExternalLineWriter(ExternalWriter writer, RunMode mode, db::Batch& batch, Report report);

    void Take(ReadLine line) override;
    void Flush() override;
    void Settle(const std::string& message) noexcept override;

  private:
    struct Queued {
        ReadLine line;
        ExternalLine external;
    };

    void ReportInOrder(std::vector<Queued>& lines);
    // Reports every queued line failed with `message`, but those already
    // written, whose batch settles them.
    void Fail(const std::string& message) noexcept;

    ExternalWriter writer_;
    RunMode mode_;
    db::Batch& batch_;
    Report report_;
    size_t limit_ = 0;  // writes per call, known at the first line
    std::vector<Queued> queue_;
    std::unordered_set<std::string> keys_;  // of the queued writes
};

}  // namespace tallon
