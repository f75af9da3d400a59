#pragma once

#include <string>

#include "recovery/held_lines.h"
#include "recovery/intake_positions.h"
#include "recovery/run_totals.h"
#include "recovery/watched_files.h"

namespace tallon {

// The commit point of every watched file and the positions file that keeps
// them in the site directory. After a commit, a file's committed position
// is where its first line still held starts, else where reading stands:
// every line before it is in the tables, or was reported. The file is
// written again only when a committed position moved or a file came, went
// or was renamed, so an idle watcher writes nothing.
class CommittedPositions {
  public:
    // The positions of watching `directory` (ends in "/"), kept in `siteDirectory`.
    CommittedPositions(const std::string& siteDirectory, std::string directory);

    // Reads the positions file; false when there is none yet. Raises
    // Exception when it cannot be read.
    bool Load(SavedIntake& saved) const;
    // After a commit: each file's committed position moves up to what was
    // committed.
    void Advance(WatchedFiles& files, const HeldLines& heldLines);
    // Something the file keeps changed other than a committed position.
    void MarkChanged() { changed_ = true; }
    // Writes the positions with the counts of `totals`, when they changed;
    // returns "" or why they could not be written (they are tried again at
    // the next commit; until then a restart reads more again, and the
    // duplicate check refuses it).
    std::string Save(WatchedFiles& files, const RunTotals& totals);

  private:
    std::string path_;
    std::string directory_;
    bool changed_ = false;
};

}  // namespace tallon
