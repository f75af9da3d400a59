#pragma once

#include <string>

namespace tallon::db::paradox {

// True when the file starts with the header of a Paradox data table (.DB):
// the engine uses it to explain why a table file will not open, so it reads
// only the header bytes and needs no Paradox library.
bool IsParadoxTableFile(const std::string& path);

// The same test on the first bytes of a file (at least 0x58 are needed).
bool IsParadoxTableHeader(const unsigned char* bytes, size_t size);

}  // namespace tallon::db::paradox
