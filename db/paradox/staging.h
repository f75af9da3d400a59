#pragma once

// Where an import builds each engine table before it takes the place of the
// Paradox files, so that a table is either fully converted or not at all,
// whatever stops the import:
//
//   DEST/.paradox-import/NAME.partial/   the table being written
//   DEST/.paradox-import/NAME.ready/     complete, with a list of its files
//
// Putting a ready table in place moves the Paradox files into
// DEST/paradox-originals/ (NAME.DB last), then the engine files into DEST.
// A later import first settles what an interrupted one left: a partial
// table is thrown away; a ready one is put in place when its Paradox .DB
// had already moved, otherwise the moves are undone and it is thrown away
// (the table is then converted again).

#include <string>
#include <vector>

namespace tallon::db::paradox {

inline constexpr const char* kStagingFolder = ".paradox-import";

class Staging {
  public:
    // `source` holds the Paradox tables, `dest` receives the engine tables
    // (both end in '/'); `originals` is DEST/paradox-originals/.
    Staging(std::string source, std::string dest, std::string originals);

    // An empty directory for the table, leftovers removed; its path ends in '/'.
    std::string Begin(const std::string& name);
    // Declares the table complete; `family` names the Paradox files it
    // replaces (bare names in the source).
    void MarkReady(const std::string& name, const std::vector<std::string>& family);
    // Removes what was staged of the table.
    void Discard(const std::string& name) noexcept;
    // Moves the Paradox files aside (replacing earlier originals of the
    // name) and the ready table into place; when a Paradox file cannot be
    // moved, those moved are put back and Exception raised.
    void PutInPlace(const std::string& name);

    // Settles what an interrupted import left; returns the names of the
    // tables it put in place.
    std::vector<std::string> Settle();

  private:
    std::string Dir(const std::string& name, const char* state) const;
    void PlaceEngineFiles(const std::string& name);
    void UndoFamilyMoves(const std::string& name) noexcept;
    void TakeBack(const std::string& name) noexcept;

    std::string source_, dest_, originals_, root_;
};

}  // namespace tallon::db::paradox
