#include "recovery/line_outcome.h"

namespace tallon {

const char* CauseName(LineOutcome outcome) {
    switch (outcome) {
        case LineOutcome::Added:
            return "added";
        case LineOutcome::Duplicate:
            return "duplicate";
        case LineOutcome::UnknownCard:
            return "unknown-card";
        case LineOutcome::UnknownReader:
            return "unknown-reader";
        case LineOutcome::Undecodable:
            return "undecodable";
        case LineOutcome::Failed:
            break;
    }
    return "failed";
}

void LineCounts::Count(LineOutcome outcome, int64_t n) {
    switch (outcome) {
        case LineOutcome::Added:
            added += n;
            break;
        case LineOutcome::Duplicate:
            duplicate += n;
            break;
        case LineOutcome::UnknownCard:
            unknownCard += n;
            break;
        case LineOutcome::UnknownReader:
            unknownReader += n;
            break;
        case LineOutcome::Undecodable:
            undecodable += n;
            break;
        case LineOutcome::Failed:
            failed += n;
            break;
    }
}

}  // namespace tallon
