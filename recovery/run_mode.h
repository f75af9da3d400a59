#pragma once

#include <string>
#include <vector>

namespace tallon {

enum class RunMode { Local, Corvane, Velora };

// The program's version, shown by a double-click and logged at start.
inline constexpr const char* kProgramVersion = "1.0.0.9";

// The mode the first command-line argument selects: "/CV" or "/VL" in any
// letter case, anything else local.
RunMode RunModeFromArguments(const std::vector<std::string>& arguments);

// The external alias each mode writes through ("KD1" for the local mode).
std::string AliasOf(RunMode mode);
// The window caption's suffix of each mode (" (Corvane)", " (Velora)", "").
std::string CaptionSuffixOf(RunMode mode);

}  // namespace tallon
