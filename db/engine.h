#pragma once

#include <functional>
#include <string>

namespace tallon::db {

// Asked when an external database wants a password its alias does not hold.
// Fills user name and password and returns true, or returns false when the
// operator cancels. Asked at most once while the program runs.
using LoginPrompt =
    std::function<bool(const std::string& alias, std::string& userName, std::string& password)>;

void SetLoginPrompt(LoginPrompt prompt);

// Commits everything written so far and makes it durable on disk. Called
// when a recovery run returns.
void FlushAll();

// Closes every cached connection and forgets the configuration (tests, and
// the end of the process).
void ShutdownEngine();

// Name of the engine's configuration file and the places searched for it, in
// order: the current directory, the program directory, /etc/tallon/.
inline constexpr const char* kEngineConfigFileName = "tallon-db.conf";

// The program directory the engine searches for its configuration.
void SetEngineProgramDirectory(const std::string& directory);

}  // namespace tallon::db
