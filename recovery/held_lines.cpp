#include "recovery/held_lines.h"

#include <algorithm>

#include "base/errors.h"

namespace tallon {

void HeldLines::Hold(const ReadLine& line, const LinesInFlight::Line& at, LineResult result) {
    held_.push_back({line, at.file, at.before, std::move(result)});
}

bool HeldLines::Holds(const WatchedFile& file) const {
    return std::any_of(held_.begin(), held_.end(), [&](const Held& h) { return h.file == &file; });
}

std::optional<FilePosition> HeldLines::EarliestOf(const WatchedFile& file) const {
    std::optional<FilePosition> earliest;
    for (const Held& h : held_) {
        if (h.file == &file && (!earliest || h.before.offset < earliest->offset)) {
            earliest = h.before;
        }
    }
    return earliest;
}

// A commit that lost work, or a database that does not answer, makes the
// held lines wait. While it answers they are written again at once (a lock
// let go, a connection made again); what fails a second time while it
// still answers failed by itself.
std::string HeldLines::Judge(std::string loss, RunSession& session, LinesInFlight& inFlight) {
    for (int round = 0; !held_.empty(); ++round) {
        if (!loss.empty()) {
            return loss;
        }
        if (std::string why = AskDatabase(session); !why.empty()) {
            return why;
        }
        if (round > 0) {
            AccountAsFailed(session);
            return "";
        }
        loss = Retake(session, inFlight);
    }
    return "";
}

std::string HeldLines::AskDatabase(RunSession& session) {
    std::string why = probe_(held_.front().line.text);
    // The probe may have locked a table for writing: let go of it.
    try {
        session.Accounts().Commit();
    } catch (const Exception& e) {
        return e.Message();
    }
    return why;
}

std::string HeldLines::Retake(RunSession& session, LinesInFlight& inFlight) {
    std::vector<Held> lines;
    lines.swap(held_);
    std::sort(lines.begin(), lines.end(),
              [](const Held& a, const Held& b) { return a.line.sequence < b.line.sequence; });
    for (Held& h : lines) {
        h.line.sequence = inFlight.Add(*h.file, h.before);
        session.Accounts().ReadInto(h.file->episode);
        session.Writer().Take(std::move(h.line));
    }
    session.Writer().Flush();
    try {
        session.Accounts().Commit();
    } catch (const Exception& e) {
        return e.Message();
    }
    return session.Batch().Failure();
}

void HeldLines::AccountAsFailed(RunSession& session) {
    std::vector<Held> failed;
    failed.swap(held_);
    for (const Held& h : failed) {
        session.Accounts().ReadInto(h.file->episode);
        session.Accounts().Account(h.line, h.result);
    }
}

}  // namespace tallon
