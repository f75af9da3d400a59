#include "recovery/external_line_writer.h"

#include <exception>

#include "log/activity_log.h"
#include "recovery/raw_record.h"
#include "recovery/writer_failure.h"

namespace tallon {

ExternalLineWriter::ExternalLineWriter(ExternalWriter writer, RunMode mode, db::Batch& batch,
                                       Report report)
    : writer_(writer), mode_(mode), batch_(batch), report_(std::move(report)) {}

void ExternalLineWriter::Take(ReadLine line) {
    if (limit_ == 0) {
        limit_ = writer_.LinesPerWrite();
    }
    const RawLine pieces = SplitRawLine(line.text);
    ExternalLine external = writer_.Prepare(mode_, pieces.unitCode, pieces.recordText);
    if (external.waiting && keys_.contains(external.duplicateKey)) {
        try {
            Flush();
        } catch (...) {
            // The line read is settled with the rest.
            queue_.push_back({std::move(line), std::move(external)});
            throw;
        }
    }
    // Keys are distinct (a repeat flushed first): one per write queued.
    if (external.waiting) {
        keys_.insert(external.duplicateKey);
    }
    queue_.push_back({std::move(line), std::move(external)});
    const size_t writes = keys_.size();
    if (writes >= limit_ || writes == 0 || queue_.size() >= 4 * limit_) {
        Flush();
    }
}

void ExternalLineWriter::Flush() {
    if (queue_.empty()) {
        return;
    }
    std::vector<ExternalLine*> writes;
    for (Queued& q : queue_) {
        if (q.external.waiting) {
            writes.push_back(&q.external);
        }
    }
    if (!writes.empty()) {
        writer_.Write(writes);
    }
    std::vector<Queued> lines;
    lines.swap(queue_);
    keys_.clear();
    ReportInOrder(lines);
}

void ExternalLineWriter::ReportInOrder(std::vector<Queued>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        bool reported = false;
        try {
            const LineResult result = writer_.Report(lines[i].external);
            reported = true;
            report_(lines[i].line, result);
        } catch (const std::exception& e) {
            // The log (or the rejects list) failed: the lines not yet
            // accounted, this one too if it was not, are still accounted.
            const size_t rest = reported ? i + 1 : i;
            queue_.assign(std::make_move_iterator(lines.begin() + static_cast<long>(rest)),
                          std::make_move_iterator(lines.end()));
            Fail(e.what());
            throw;
        }
    }
}

void ExternalLineWriter::Settle(const std::string& message) noexcept {
    if (queue_.empty()) {
        return;
    }
    if (batch_.Failure().empty()) {
        try {
            Flush();
            return;
        } catch (const std::exception& e) {
            Fail(e.what());
            return;
        } catch (...) {
        }
    }
    Fail(batch_.Failure().empty() ? message : batch_.Failure());
}

void ExternalLineWriter::Fail(const std::string& message) noexcept {
    std::vector<Queued> lines;
    lines.swap(queue_);
    keys_.clear();
    for (Queued& q : lines) {
        const ExternalLine& e = q.external;
        LineResult result;
        if (!e.waiting && e.outcome == LineOutcome::Added) {
            // Written into the batch: its commit, or its failure, settles it.
            result = LineResult::Added(nullptr);
        } else {
            // Refused or failed on its own, or never written.
            const bool decided = !e.waiting;
            result = decided ? LineResult::NotAdded(e.outcome, e.message)
                             : LineResult::NotAdded(LineOutcome::Failed,
                                                    ExternalFailureLine(message, e.recordText));
            try {
                LogLine(result.message);
            } catch (...) {
                // The run is ending on its own failure already.
            }
        }
        try {
            report_(q.line, result);
        } catch (...) {
        }
    }
}

}  // namespace tallon
