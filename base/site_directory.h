#pragma once

#include <string>

namespace tallon {

// The site directory is the program directory of an installation: the
// local tables, the template tran_tpl and tallon.ini. A packaged program
// lives in read-only shared places, so its tables cannot sit beside it.

inline constexpr const char* kSiteDirectoryVariable = "TALLON_HOME";
inline constexpr const char* kDefaultSiteDirectory = "/var/lib/tallon/";

// Where the site directory is, absolute and ending in "/": the directory
// given on the command line when there is one, else `environment` (the
// value of TALLON_HOME, null or empty when unset), else the executable's
// directory when it holds the template (the portable layout), else
// /var/lib/tallon/.
std::string FindSiteDirectory(const std::string& commandLineDirectory, const char* environment,
                              const std::string& executableDirectory);

// The same from this process's environment and executable.
std::string FindSiteDirectory(const std::string& commandLineDirectory = "");

// The packaged template and empty lookup tables a new site starts from:
// share/tallon/site/ beside the executable's bin/ (so an unpacked or
// relocated installation finds its own).
std::string PackagedSeedDirectory();

// Makes `directory` when it does not exist yet and copies every file of
// `seed` into it, never replacing a file that is there. An existing
// directory is left alone. Returns a line for the operator, or "" when
// there is nothing to say.
std::string PrepareSiteDirectory(const std::string& directory, const std::string& seed);

struct SiteDirectory {
    std::string path;    // the program directory, ending in "/"
    std::string notice;  // what PrepareSiteDirectory had to say, or ""
};

// What both front ends do at start: find the site directory and make it
// from the packaged seed when it is new.
SiteDirectory OpenSiteDirectory(const std::string& commandLineDirectory);

}  // namespace tallon
