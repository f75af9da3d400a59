#include "base/ini_file.h"

#include <cstdio>

#include "base/file_names.h"
#include "base/int_conversion.h"
#include "base/text.h"

namespace tallon {

namespace {

constexpr size_t kMaxValueLength = 2047;

std::string_view TrimBlanks(std::string_view s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && (s[begin] == ' ' || s[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t')) {
        --end;
    }
    return s.substr(begin, end - begin);
}

bool ReadLine(std::FILE* f, std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') {
            break;
        }
        line += static_cast<char>(c);
    }
    if (c == EOF && line.empty()) {
        return false;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// The raw value of the first matching key in the first matching section.
bool FindValue(const std::string& path, const std::string& section, const std::string& key,
               std::string& value) {
    std::FILE* f = std::fopen(ResolveFileName(path).c_str(), "rb");
    if (!f) {
        return false;
    }
    const std::string_view wantedSection = TrimBlanks(section);
    const std::string_view wantedKey = TrimBlanks(key);
    bool inSection = false;
    bool sectionSeen = false;
    bool found = false;
    std::string line;
    bool first = true;
    while (ReadLine(f, line)) {
        std::string_view l = line;
        if (first && l.substr(0, 3) == "\xEF\xBB\xBF") {
            l.remove_prefix(3);
        }
        first = false;
        l = TrimBlanks(l);
        if (l.empty() || l[0] == ';') {
            continue;
        }
        if (l[0] == '[') {
            if (inSection) {
                break;  // only the first section of that name counts
            }
            const size_t close = l.find(']');
            const std::string_view name =
                TrimBlanks(l.substr(1, close == std::string_view::npos ? l.npos : close - 1));
            inSection = !sectionSeen && SameText(name, wantedSection);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) {
            continue;
        }
        const size_t eq = l.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        if (SameText(TrimBlanks(l.substr(0, eq)), wantedKey)) {
            value = std::string(TrimBlanks(l.substr(eq + 1)));
            found = true;
            break;
        }
    }
    std::fclose(f);
    return found;
}

}  // namespace

std::string IniReadString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& defaultValue) {
    std::string value;
    if (!FindValue(path, section, key, value)) {
        return defaultValue;
    }
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    if (value.size() > kMaxValueLength) {
        value.resize(kMaxValueLength);
    }
    return value;
}

int IniReadInteger(const std::string& path, const std::string& section, const std::string& key,
                   int defaultValue) {
    const std::string text = IniReadString(path, section, key, "");
    if (text.empty()) {
        return defaultValue;
    }
    return TryStrToInt(text).value_or(defaultValue);
}

bool IniReadBool(const std::string& path, const std::string& section, const std::string& key,
                 bool defaultValue) {
    return IniReadInteger(path, section, key, defaultValue ? 1 : 0) != 0;
}

}  // namespace tallon
