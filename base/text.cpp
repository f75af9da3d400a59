#include "base/text.h"

#include <cstddef>

namespace tallon {

namespace {

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

std::string Trim(std::string_view s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsTrimmed(s[begin])) {
        ++begin;
    }
    while (end > begin && IsTrimmed(s[end - 1])) {
        --end;
    }
    return std::string(s.substr(begin, end - begin));
}

std::string Copy(std::string_view s, int start, int count) {
    if (count < 0) {
        return {};
    }
    if (start < 1) {
        start = 1;
    }
    const size_t from = static_cast<size_t>(start) - 1;
    if (from >= s.size()) {
        return {};
    }
    return std::string(s.substr(from, static_cast<size_t>(count)));
}

std::string UpperCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = AsciiUpper(c);
    }
    return out;
}

std::string LowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = AsciiLower(c);
    }
    return out;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string QuotedWith(std::string_view value, char quote) {
    std::string out;
    out.reserve(value.size() + 2);
    out += quote;
    for (char c : value) {
        out += c;
        if (c == quote) {
            out += quote;
        }
    }
    out += quote;
    return out;
}

}  // namespace tallon
