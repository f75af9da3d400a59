#pragma once

#include <cstdint>
#include <string>

namespace tallon {

namespace db {
class BatchMember;
}

// What became of one RAW line. Refusals by rule are the site's data telling
// us something (a card or reader not yet entered, an event already there);
// the other two are faults the operator must hear about.
enum class LineOutcome { Added, Duplicate, UnknownCard, UnknownReader, Undecodable, Failed };

// The cause as the rejects list names it.
const char* CauseName(LineOutcome outcome);

inline bool RefusedByRule(LineOutcome outcome) {
    return outcome == LineOutcome::Duplicate || outcome == LineOutcome::UnknownCard ||
           outcome == LineOutcome::UnknownReader;
}

// Lines of a file or a run by what became of them.
struct LineCounts {
    int64_t added = 0;
    int64_t duplicate = 0;
    int64_t unknownCard = 0;
    int64_t unknownReader = 0;
    int64_t undecodable = 0;
    int64_t failed = 0;

    void Count(LineOutcome outcome, int64_t n = 1);
    int64_t Refused() const { return duplicate + unknownCard + unknownReader; }
    // Lines that did not decode count as failed: nothing the site can enter
    // makes them recoverable.
    int64_t Failed() const { return undecodable + failed; }
    int64_t NotAdded() const { return Refused() + Failed(); }
};

// What a writer made of one line. An added line is kept once the batch
// member holding its record commits (`holder`; nullptr for the only member
// of an external database, whose every commit keeps all or nothing).
struct LineResult {
    LineOutcome outcome = LineOutcome::Failed;
    std::string message;  // as logged, for a line not added
    const db::BatchMember* holder = nullptr;

    static LineResult Added(const db::BatchMember* holder) {
        return {LineOutcome::Added, "", holder};
    }
    static LineResult NotAdded(LineOutcome outcome, std::string message) {
        return {outcome, std::move(message), nullptr};
    }
};

// One line read from a RAW file, with where it came from.
struct ReadLine {
    std::string rawFile;     // as shown in "Recovering: "
    int64_t lineNumber = 0;  // 1-based, in its RAW file
    std::string text;        // the RAW line as read, without its line end
    uint64_t sequence = 0;   // the reader's own number for it, to find it again
};

// A line that was not added, with where it came from.
struct RejectedLine {
    std::string rawFile;
    int64_t lineNumber = 0;  // 1-based, in its RAW file
    LineOutcome outcome = LineOutcome::Failed;
    std::string message;  // as logged
    std::string text;     // the RAW line as read, without its line end
};

}  // namespace tallon
