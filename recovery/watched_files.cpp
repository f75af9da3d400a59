#include "recovery/watched_files.h"

#include <algorithm>

#include "base/clock.h"
#include "recovery/growing_file_source.h"

namespace tallon {
namespace {

// When, on the steady clock, a file was last modified (a file found by a
// scan may have settled long ago).
WatchedFiles::Clock::time_point ChangedAt(int64_t modifiedNs, WatchedFiles::Clock::time_point now) {
    const int64_t wallNs = ActiveClock().UnixMilliseconds() * 1000000;
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

const SavedFile* FindSaved(const std::vector<SavedFile>& saved, const RawFileEntry& entry) {
    const SavedFile* found = nullptr;
    for (const SavedFile& s : saved) {
        if (s.id == entry.id) {
            return &s;
        }
        if (s.name == entry.name && found == nullptr) {
            found = &s;
        }
    }
    return found;
}

}  // namespace

void WatchedFiles::Start(const std::vector<RawFileEntry>& entries,
                         const std::vector<SavedFile>& saved, bool startAtEnd,
                         Clock::time_point now) {
    const Startup startup{saved, startAtEnd};
    Scanned(entries, now, &startup);
}

void WatchedFiles::Update(const std::vector<RawFileEntry>& entries, Clock::time_point now) {
    Scanned(entries, now, nullptr);
}

void WatchedFiles::Scanned(const std::vector<RawFileEntry>& entries, Clock::time_point now,
                           const Startup* startup) {
    std::unordered_map<std::string, WatchedFile*> byName;
    for (const RawFileEntry& entry : entries) {
        byName[entry.name] = &Track(entry, now, startup);
    }
    for (auto& [id, file] : files_) {
        const auto it = byName.find(file->Name());
        if (it != byName.end() && it->second == file.get()) {
            continue;
        }
        if (!file->gone) {
            // Renamed out of the directory or deleted: what it still holds
            // is read through the descriptor, if one is open.
            file->gone = true;
            file->dirty = file->IsOpen();
        } else if (file->LookAgain(now)) {
            // Its writer still appends to it where it went.
            file->dirty = true;
        }
    }
    byName_ = std::move(byName);
}

WatchedFile& WatchedFiles::Track(const RawFileEntry& entry, Clock::time_point now,
                                 const Startup* startup) {
    auto it = files_.find(entry.id);
    if (it == files_.end()) {
        auto file = std::make_unique<WatchedFile>(entry.id, entry.name);
        file->size = entry.size;
        file->modifiedNs = entry.modifiedNs;
        file->changed = ChangedAt(entry.modifiedNs, now);
        if (startup != nullptr) {
            Place(*file, entry, *startup);
        }
        file->dirty = true;
        return *files_.emplace(entry.id, std::move(file)).first->second;
    }
    WatchedFile& file = *it->second;
    if (file.Name() != entry.name) {
        file.Rename(entry.name);  // renamed within the directory: same place
        changed_ = true;
    }
    file.gone = false;
    if (file.Seen(entry.size, entry.modifiedNs, now)) {
        file.dirty = true;
    }
    return file;
}

void WatchedFiles::Place(WatchedFile& file, const RawFileEntry& entry, const Startup& startup) {
    if (const SavedFile* found = FindSaved(startup.saved, entry)) {
        file.read = file.committed = found->position;
        file.head = found->head;
        file.tail = found->tail;
        file.tailAt = found->position.offset;
        file.endNoted = found->position.ended;
        return;
    }
    if (startup.startAtEnd && file.Open(directory_)) {
        file.read = file.committed = EndOfCompleteLines(file.Fd());
        file.endNoted = file.read.ended;
        file.Fingerprints();
        changed_ = true;
    }
}

bool WatchedFiles::Written(const std::vector<std::string>& names, Clock::time_point now) {
    for (const std::string& name : names) {
        if (!IsRawFileName(name)) {
            continue;
        }
        RawFileEntry entry;
        const auto it = byName_.find(name);
        if (it == byName_.end() || !StatRawFile(directory_, name, entry) ||
            entry.id != it->second->Id()) {
            return false;
        }
        if (it->second->Seen(entry.size, entry.modifiedNs, now)) {
            it->second->dirty = true;
        }
    }
    return true;
}

size_t WatchedFiles::OpenCount() const {
    return static_cast<size_t>(std::count_if(files_.begin(), files_.end(),
                                             [](const auto& f) { return f.second->IsOpen(); }));
}

bool WatchedFiles::Open(WatchedFile& file, const std::function<void()>& beforeClosing) {
    if (file.IsOpen()) {
        return true;
    }
    if (OpenCount() >= kMaxOpenFiles) {
        beforeClosing();
        for (auto& [id, other] : files_) {
            if (!other->gone) {
                other->Close();
            }
        }
    }
    if (file.gone || !file.Open(directory_)) {
        file.dirty = false;  // nothing left to read it through
        return false;
    }
    return true;
}

void WatchedFiles::CloseIdle(Clock::time_point now, Clock::duration settle, const Busy& busy) {
    const Clock::duration idleFor = std::max<Clock::duration>(settle, kCloseAfter);
    for (auto& [id, file] : files_) {
        if (!file->gone && file->ReadToEnd() && now - file->changed >= idleFor && !busy(*file)) {
            file->Close();
        }
    }
}

void WatchedFiles::Forget(const Busy& busy) {
    for (auto it = files_.begin(); it != files_.end();) {
        const WatchedFile& file = *it->second;
        const bool done = !file.IsOpen() || (!file.dirty && !file.unendedTail);
        if (file.gone && done && !file.active && !busy(file)) {
            it = files_.erase(it);
            changed_ = true;
        } else {
            ++it;
        }
    }
}

WatchedFiles::Clock::time_point WatchedFiles::NextDue(Clock::time_point now,
                                                      Clock::duration settle) const {
    Clock::time_point due = Clock::time_point::max();
    for (const auto& [id, file] : files_) {
        if (file->dirty) {
            return now;
        }
        if (file->unendedTail || file->active) {
            due = std::min(due, file->changed + settle);
        } else if (file->IsOpen()) {
            due = std::min(due, file->changed + std::max<Clock::duration>(settle, kCloseAfter));
        }
    }
    // A settle time already past that did not end its file (a line held
    // for a retry) is looked at again in a second, not at once.
    const Clock::time_point soonest = now + std::chrono::seconds(1);
    return due < soonest ? soonest : due;
}

bool WatchedFiles::TakeChanged() {
    const bool changed = changed_;
    changed_ = false;
    return changed;
}

}  // namespace tallon
