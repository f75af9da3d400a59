#include "recovery/lines_in_flight.h"

namespace tallon {

uint64_t LinesInFlight::Add(WatchedFile& file, const FilePosition& before) {
    const uint64_t sequence = next_++;
    lines_.push_back({sequence, &file, before});
    return sequence;
}

const LinesInFlight::Line* LinesInFlight::Find(uint64_t sequence) const {
    if (lines_.empty() || sequence < lines_.front().sequence) {
        return nullptr;
    }
    const uint64_t index = sequence - lines_.front().sequence;
    return index < lines_.size() ? &lines_[index] : nullptr;
}

}  // namespace tallon
