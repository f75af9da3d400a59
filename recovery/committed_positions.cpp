#include "recovery/committed_positions.h"

#include "base/errors.h"

namespace tallon {

CommittedPositions::CommittedPositions(const std::string& siteDirectory, std::string directory)
    : path_(PositionsFilePath(siteDirectory, directory)), directory_(std::move(directory)) {}

bool CommittedPositions::Load(SavedIntake& saved) const {
    return LoadPositions(path_, saved);
}

void CommittedPositions::Advance(WatchedFiles& files, const HeldLines& heldLines) {
    files.ForEach([&](WatchedFile& file) {
        FilePosition committed = file.read;
        if (const auto held = heldLines.EarliestOf(file); held && held->offset < committed.offset) {
            committed = *held;
        }
        if (!(committed == file.committed)) {
            file.committed = committed;
            changed_ = true;
        }
    });
}

std::string CommittedPositions::Save(WatchedFiles& files, const RunTotals& totals) {
    if (files.TakeChanged()) {
        changed_ = true;
    }
    if (!changed_) {
        return "";
    }
    SavedIntake saved;
    saved.directory = directory_;
    files.ForEach([&](WatchedFile& file) {
        if (file.tailAt != file.committed.offset || file.head.length == 0) {
            file.Fingerprints();
        }
        saved.files.push_back({file.Id(), file.Name(), file.committed, file.head, file.tail});
    });
    saved.linesRead = totals.linesRead;
    saved.counts = totals.counts;
    try {
        SavePositions(path_, saved);
        changed_ = false;
        return "";
    } catch (const Exception& e) {
        return path_ + ": " + e.Message();
    }
}

}  // namespace tallon
