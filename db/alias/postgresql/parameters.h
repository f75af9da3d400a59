#pragma once

// A statement as the server receives it: '?' placeholders numbered, values
// as text parameters.

#include <string>
#include <vector>

#include "db/statement.h"

namespace tallon::db::pg {

// The statement text with its '?' placeholders numbered for the server
// ($1, $2, ...), quoted text left alone.
std::string NumberedPlaceholders(const std::string& text);

// A statement's values as text parameters. Text is the program's 8-bit text
// sent as it is (the session's encoding is LATIN1); PostgreSQL text cannot
// hold a NUL byte, so a value holding one is refused before anything is sent.
struct Parameters {
    explicit Parameters(const Statement& statement);
    int Count() const { return static_cast<int>(pointers.size()); }
    const char* const* Values() const { return pointers.data(); }

    std::vector<std::string> texts;
    std::vector<const char*> pointers;  // nullptr for NULL
};

}  // namespace tallon::db::pg
