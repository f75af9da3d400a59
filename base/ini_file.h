#pragma once

#include <string>

namespace tallon {

// Reading of Windows initialisation files: section and key names match
// without regard to case, blanks around the value are removed, a value
// enclosed in matching quotes loses them, and the value is cut at 2047
// characters. A missing file, section or key gives the default. Lines
// starting with ';' are comments. The file is never written.
std::string IniReadString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& defaultValue);

// An integer value by the program's integer conversion; a value that does
// not convert gives the default.
int IniReadInteger(const std::string& path, const std::string& section, const std::string& key,
                   int defaultValue);

// A boolean: any integer other than 0 is true.
bool IniReadBool(const std::string& path, const std::string& section, const std::string& key,
                 bool defaultValue);

}  // namespace tallon
