#include "recovery/intake.h"

#include <algorithm>
#include <exception>

#include "base/errors.h"
#include "log/activity_log.h"
#include "recovery/database_probe.h"
#include "recovery/growing_file_source.h"

namespace tallon {
namespace {

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// How long ago, on the steady clock, a file was last modified.
Intake::Clock::time_point ChangedAt(int64_t modifiedNs, Intake::Clock::time_point now) {
    const auto wallNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    return now - std::chrono::nanoseconds(std::max<int64_t>(0, wallNs - modifiedNs));
}

// The position after the last complete line of a file, for a first start
// at the end of what files already hold.
FilePosition EndOfCompleteLines(int fd) {
    GrowingFileSource source(fd, FilePosition{}, false);
    std::string line;
    while (source.Next(line)) {
    }
    return source.At();
}

}  // namespace

Intake::Intake(Setting setting)
    : setting_(std::move(setting)),
      positionsPath_(PositionsFilePath(setting_.programDirectory, setting_.directory)) {}

Intake::~Intake() = default;

void Intake::OpenSession() {
    session_ = std::make_unique<RunSession>(
        RunSession::Setting{setting_.engine, setting_.mode, setting_.rejects, kLookupAge},
        setting_.makeWriter, totals_,
        [this](const ReadLine& line, const LineResult& result) { OnResult(line, result); });
    session_->Accounts().SetLossHandler(
        [this](const ReadLine& line, const std::string& message) { OnLost(line, message); });
}

void Intake::Start() {
    hadPositions_ = LoadPositions(positionsPath_, saved_);
    saved_.directory = setting_.directory;
    startupFiles_ = std::move(saved_.files);
    totals_.linesRead = saved_.linesRead;
    totals_.counts = saved_.counts;
    OpenSession();
    ScanEntries(ListRawFiles(setting_.directory), true);
    startupFiles_.clear();
    // Saved files that are no longer there are forgotten.
    positionsChanged_ = true;
    SavePositions();
}

void Intake::Scan() {
    std::vector<RawFileEntry> entries;
    try {
        entries = ListRawFiles(setting_.directory);
    } catch (const Exception& e) {
        // The directory may come back (a network filesystem remounted).
        if (!scanFailed_) {
            lastError_ = e.Message();
            lastErrorUnix_ = UnixNow();
        }
        scanFailed_ = true;
        return;
    }
    scanFailed_ = false;
    ScanEntries(entries, false);
}

void Intake::ScanEntries(const std::vector<RawFileEntry>& entries, bool firstScan) {
    std::unordered_map<std::string, WatchedFile*> byName;
    for (const RawFileEntry& entry : entries) {
        WatchedFile& file = Track(entry, firstScan);
        byName[entry.name] = &file;
    }
    for (auto& [id, file] : files_) {
        const auto it = byName.find(file->Name());
        if ((it == byName.end() || it->second != file.get()) && !file->gone) {
            // Renamed out of the directory or deleted: what it still holds
            // is read through the descriptor, if one is open.
            file->gone = true;
            file->dirty = file->IsOpen();
        }
    }
    byName_ = std::move(byName);
}

WatchedFile& Intake::Track(const RawFileEntry& entry, bool firstScan) {
    const Clock::time_point now = Clock::now();
    auto it = files_.find(entry.id);
    if (it == files_.end()) {
        auto file = std::make_unique<WatchedFile>(entry.id, entry.name);
        file->size = entry.size;
        file->modifiedNs = entry.modifiedNs;
        file->changed = ChangedAt(entry.modifiedNs, now);
        Place(*file, entry, firstScan);
        file->dirty = true;
        it = files_.emplace(entry.id, std::move(file)).first;
        return *it->second;
    }
    WatchedFile& file = *it->second;
    if (file.Name() != entry.name) {
        file.Rename(entry.name);  // renamed within the directory: same place
        positionsChanged_ = true;
    }
    file.gone = false;
    if (file.Seen(entry.size, entry.modifiedNs, now)) {
        file.dirty = true;
    }
    return file;
}

// Where a file seen for the first time is read from: its saved position
// (found by identity, else by name; either is checked against the file's
// fingerprints before a line is read), its end on a first start told to
// begin there, else its start.
void Intake::Place(WatchedFile& file, const RawFileEntry& entry, bool firstScan) {
    const SavedFile* found = nullptr;
    for (const SavedFile& s : startupFiles_) {
        if (s.id == entry.id) {
            found = &s;
            break;
        }
        if (s.name == entry.name && found == nullptr) {
            found = &s;
        }
    }
    if (found != nullptr) {
        file.read = file.committed = found->position;
        file.head = found->head;
        file.tail = found->tail;
        file.tailAt = found->position.offset;
        file.endNoted = found->position.ended;
        return;
    }
    if (firstScan && setting_.startAtEnd && !hadPositions_ && file.Open(setting_.directory)) {
        file.read = file.committed = EndOfCompleteLines(file.Fd());
        file.endNoted = file.read.ended;
        file.Fingerprints();
        positionsChanged_ = true;
    }
}

void Intake::Written(const std::vector<std::string>& names) {
    const Clock::time_point now = Clock::now();
    for (const std::string& name : names) {
        if (!IsRawFileName(name)) {
            continue;
        }
        RawFileEntry entry;
        const auto it = byName_.find(name);
        if (it == byName_.end() || !StatRawFile(setting_.directory, name, entry) ||
            entry.id != it->second->Id()) {
            Scan();  // a name this intake does not know yet
            return;
        }
        if (it->second->Seen(entry.size, entry.modifiedNs, now)) {
            it->second->dirty = true;
        }
    }
}

}  // namespace tallon
