#include "base/site_directory.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/file_names.h"

namespace tallon {
namespace {

namespace fs = std::filesystem;

std::string AbsoluteDirectory(const std::string& directory) {
    std::error_code ec;
    // Absolute now: the window later changes the working directory.
    std::string dir = fs::absolute(directory, ec).lexically_normal().string();
    if (ec) {
        dir = directory;
    }
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

}  // namespace

std::string FindSiteDirectory(const std::string& commandLineDirectory, const char* environment,
                              const std::string& executableDirectory) {
    if (!commandLineDirectory.empty()) {
        return AbsoluteDirectory(commandLineDirectory);
    }
    if (environment != nullptr && *environment != '\0') {
        return AbsoluteDirectory(environment);
    }
    if (!executableDirectory.empty()) {
        std::string dir = AbsoluteDirectory(executableDirectory);
        if (FileExists(dir + "tran_tpl.DB")) {
            return dir;
        }
    }
    return kDefaultSiteDirectory;
}

std::string FindSiteDirectory(const std::string& commandLineDirectory) {
    return FindSiteDirectory(commandLineDirectory, std::getenv(kSiteDirectoryVariable),
                             ExecutableDirectory());
}

std::string PackagedSeedDirectory() {
    return AbsoluteDirectory(ExecutableDirectory() + "../share/tallon/site");
}

std::string PrepareSiteDirectory(const std::string& directory, const std::string& seed) {
    std::error_code ec;
    if (fs::exists(directory, ec)) {
        return "";
    }
    if (!fs::create_directories(directory, ec) || ec) {
        return "Cannot make the site directory " + directory + ": " + ec.message();
    }
    int copied = 0;
    for (const auto& entry : fs::directory_iterator(seed, ec)) {
        if (!entry.is_regular_file(ec)) {
            continue;
        }
        const fs::path target = fs::path(directory) / entry.path().filename();
        std::error_code copyError;
        if (fs::copy_file(entry.path(), target, fs::copy_options::skip_existing, copyError)) {
            ++copied;
        } else if (copyError) {
            return "Made the site directory " + directory + ", but could not copy " +
                   entry.path().string() + ": " + copyError.message();
        }
    }
    if (copied == 0) {
        return "Made the site directory " + directory + ", but found no packaged template in " +
               seed;
    }
    return "Made the site directory " + directory + " from the packaged template and lookup tables";
}

SiteDirectory OpenSiteDirectory(const std::string& commandLineDirectory) {
    SiteDirectory site;
    site.path = FindSiteDirectory(commandLineDirectory);
    site.notice = PrepareSiteDirectory(site.path, PackagedSeedDirectory());
    return site;
}

}  // namespace tallon
