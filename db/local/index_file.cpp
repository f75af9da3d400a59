#include "db/local/index_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/errors.h"
#include "base/file_mode.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/index_option.h"

namespace tallon::db::local {

std::string JoinFields(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        out += (i ? ";" : "") + fields[i];
    }
    return out;
}

std::string IndexFileText(const IndexDef& def) {
    std::string opts;
    if (def.options & ixPrimary)
        opts += " primary";
    if (def.options & ixUnique)
        opts += " unique";
    if (def.options & ixCaseInsensitive)
        opts += " case-insensitive";
    return "tallon index 1\nname=" + def.name + "\nfields=" + JoinFields(def.fields) +
           "\noptions=" + Trim(opts) + "\n";
}

std::optional<IndexDef> ParseIndexFileText(const std::string& slot, const std::string& text) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || Trim(line) != "tallon index 1") {
        return std::nullopt;
    }
    IndexDef def;
    def.slot = slot;
    bool haveFields = false;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "name") {
            def.name = value;
        } else if (key == "fields") {
            std::string part;
            std::istringstream fs(value);
            while (std::getline(fs, part, ';')) {
                if (!part.empty())
                    def.fields.push_back(part);
            }
            haveFields = !def.fields.empty();
        } else if (key == "options") {
            std::istringstream os(value);
            std::string o;
            while (os >> o) {
                if (o == "primary")
                    def.options |= ixPrimary;
                if (o == "unique")
                    def.options |= ixUnique;
                if (o == "case-insensitive")
                    def.options |= ixCaseInsensitive;
            }
        }
    }
    if (!haveFields)
        return std::nullopt;
    if (slot == "PX")
        def.options |= ixPrimary | ixUnique;
    return def;
}

std::string SlotOfExtension(const std::string& ext) {
    std::string up = UpperCase(ext);
    if (up == "PX") {
        return up;
    }
    if (up.size() >= 3 && (up[0] == 'X' || up[0] == 'Y') && up[1] == 'G' &&
        std::all_of(up.begin() + 2, up.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "XG" + up.substr(2);
    }
    return "";
}

std::string TwinSlot(const std::string& slot) {
    std::string twin = slot;
    if (!twin.empty()) {
        twin[0] = 'Y';
    }
    return twin;
}

std::string TemporaryIndexFileName(const std::string& path) {
    return path + ".tmp-" + std::to_string(::getpid());
}

void WriteIndexFile(const std::string& path, const std::string& content) {
    const std::string temp = TemporaryIndexFileName(path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw EDatabaseError("Cannot write index file " + path + ": " + std::strerror(errno));
    }
    ShareNewFile(temp, fd);
    bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw EDatabaseError("Cannot write index file " + path + ": " + std::strerror(err));
    }
    const std::string dir = ExtractFilePath(path);
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tallon::db::local
