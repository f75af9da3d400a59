#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/site_directory.h"
#include "base/text.h"
#include "db/alias/config.h"
#include "db/engine.h"

namespace tallon::db {

namespace {

std::string TrimBlanks(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') {
        ++b;
    }
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') {
        --e;
    }
    return s.substr(b, e - b);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Anything of that name, even a directory or a link that leads nowhere, is
// the configuration the operator put there: reading it tells what is wrong,
// instead of the search passing it over for another.
bool IsPresent(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The value part of a key=value line: quoted literally, or up to an inline
// comment.
std::string ParseValue(const std::string& raw) {
    std::string v = TrimBlanks(raw);
    if (!v.empty() && v.front() == '"') {
        const size_t close = v.find('"', 1);
        if (close == std::string::npos) {
            ThrowEngineStartError(kStartConfigSyntax);
        }
        const std::string rest = TrimBlanks(v.substr(close + 1));
        if (!rest.empty() && rest.front() != ';' && rest.front() != '#') {
            ThrowEngineStartError(kStartConfigSyntax);
        }
        return v.substr(1, close - 1);
    }
    for (size_t i = 1; i < v.size(); ++i) {
        if ((v[i] == ';' || v[i] == '#') && (v[i - 1] == ' ' || v[i - 1] == '\t')) {
            return TrimBlanks(v.substr(0, i));
        }
    }
    return v;
}

void CheckSection(const AliasConfig& a) {
    if (a.driver.empty()) {
        ThrowEngineStartError(kStartNoDriver);
    }
    if (a.driver == "sqlite") {
        if (a.database.empty()) {
            ThrowEngineStartError(kStartMissingTarget);
        }
    } else if (a.driver == "postgresql") {
        if (a.connection.empty()) {
            ThrowEngineStartError(kStartMissingTarget);
        }
    } else {
        ThrowEngineStartError(kStartUnknownDriver);
    }
}

}  // namespace

std::string EngineStartMessage(unsigned status) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "An error occurred while attempting to initialize the Borland Database Engine "
                  "(error $%.4X)",
                  status & 0xFFFFu);
    return buf;
}

void ThrowEngineStartError(unsigned status) {
    throw EDatabaseError(EngineStartMessage(status));
}

std::string FindEngineConfigFile(const std::string& programDirectory) {
    if (const char* env = std::getenv("TALLON_DB_CONF"); env && *env) {
        return env;
    }
    const std::string name = kEngineConfigFileName;
    for (const std::string& dir :
         {CurrentDirectory(), programDirectory, FindSiteDirectory(), std::string("/etc/tallon/")}) {
        if (dir.empty()) {
            continue;
        }
        std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
        if (IsPresent(path)) {
            return path;
        }
    }
    return "";
}

namespace {

// "[name]", with nothing but a comment after it: a new alias.
void StartSection(const std::string& t, std::vector<AliasConfig>& aliases) {
    const size_t close = t.find(']');
    if (close == std::string::npos) {
        ThrowEngineStartError(kStartConfigSyntax);
    }
    const std::string rest = TrimBlanks(t.substr(close + 1));
    if (!rest.empty() && rest.front() != ';' && rest.front() != '#') {
        ThrowEngineStartError(kStartConfigSyntax);
    }
    const std::string name = TrimBlanks(t.substr(1, close - 1));
    if (name.empty()) {
        ThrowEngineStartError(kStartConfigSyntax);
    }
    for (const AliasConfig& a : aliases) {
        if (LowerCase(a.name) == LowerCase(name)) {
            ThrowEngineStartError(kStartDuplicateAlias);
        }
    }
    aliases.push_back(AliasConfig{name, "", "", "", ""});
}

// "key=value" of the alias last started; unknown keys are passed over.
void SetKey(const std::string& t, std::vector<AliasConfig>& aliases) {
    const size_t eq = t.find('=');
    if (eq == std::string::npos || eq == 0 || aliases.empty()) {
        ThrowEngineStartError(kStartConfigSyntax);
    }
    const std::string key = LowerCase(TrimBlanks(t.substr(0, eq)));
    const std::string value = ParseValue(t.substr(eq + 1));
    AliasConfig& a = aliases.back();
    if (key == "driver") {
        a.driver = LowerCase(value);
    } else if (key == "database") {
        a.database = value;
    } else if (key == "connection") {
        a.connection = value;
    } else if (key == "synchronous") {
        a.synchronous = LowerCase(value);
        if (a.synchronous != "off" && a.synchronous != "normal" && a.synchronous != "full" &&
            a.synchronous != "extra") {
            ThrowEngineStartError(kStartConfigSyntax);
        }
    }
}

void ReadLine(const std::string& line, std::vector<AliasConfig>& aliases) {
    // A NUL byte is no text (trimming would take it for a blank).
    if (line.find('\0') != std::string::npos) {
        ThrowEngineStartError(kStartConfigSyntax);
    }
    const std::string t = TrimBlanks(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') {
        return;
    }
    if (t.front() == '[') {
        StartSection(t, aliases);
    } else {
        SetKey(t, aliases);
    }
}

}  // namespace

std::vector<AliasConfig> ReadEngineConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in || !IsRegularFile(path)) {
        ThrowEngineStartError(kStartConfigUnreadable);
    }
    std::string dir = ExtractFilePath(path);
    if (dir.empty() || dir.front() != '/') {
        dir = CurrentDirectory() + dir;  // the working directory may change later
    }
    std::vector<AliasConfig> result;
    std::string line;
    while (std::getline(in, line)) {
        if (in.bad()) {
            ThrowEngineStartError(kStartConfigUnreadable);
        }
        ReadLine(line, result);
    }
    if (in.bad()) {
        ThrowEngineStartError(kStartConfigUnreadable);
    }
    for (AliasConfig& a : result) {
        CheckSection(a);
        if (a.driver == "sqlite" && a.database.front() != '/') {
            a.database = dir + a.database;
        }
    }
    return result;
}

}  // namespace tallon::db
