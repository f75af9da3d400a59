#pragma once

#include <string>
#include <vector>

namespace tallon::test {

// A program directory as an installation has it: the template "tran_tpl"
// (without index files unless asked) and the lookup tables "rdrmain",
// "cards" and "TranSamp" with a few rows, made through the engine.
//
// rdrmain: logical_point '007' -> "Door 7", '012' -> "Door 12",
//          '7' -> "Door seven" (the trimmed unit code is what is looked up).
// cards:   123456 "Ann Smith" S100 U1a U2a U3a; 654321 "Bob Jones" S200;
//          12'456 "Quote Card" S300; " 12345" "Blank Card" S400.
// TranSamp: 123456 "Sample Ann" T100 TU1 TU2 TU3.
struct ProgramDirOptions {
    bool templatePrimaryIndex = false;  // give the template a primary index
};
void MakeProgramDirectory(const std::string& directory, const ProgramDirOptions& options = {});

// Rows of a table file read with plain SQLite (the way anyone can read a
// table), after the engine has flushed: every row as text, columns in the
// statement's order. `sql` names the records table "records".
std::vector<std::vector<std::string>> ReadTable(const std::string& dbFile, const std::string& sql);

// The activity log of a directory split into lines (CR LF ends).
std::vector<std::string> LogLines(const std::string& directory);

}  // namespace tallon::test
