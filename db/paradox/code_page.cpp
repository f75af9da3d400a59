#include "db/paradox/code_page.h"

#include <iconv.h>

#include <cstdint>
#include <cstdio>

namespace tallon::db::paradox {

namespace {

bool IsAscii(const std::string& s) {
    for (const unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

std::string Escaped(const std::string& s) {
    std::string out;
    for (const unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

// The whole text recoded, or "" when the converter stops at a byte.
std::string Recoded(const std::string& text, int codePage) {
    const std::string from = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (reinterpret_cast<intptr_t>(cd) == -1)
        return "";
    std::string in = text;
    std::string out(text.size() * 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &src, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0)
        return "";
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

std::string TextForMessages(const std::string& text, int codePage) {
    if (IsAscii(text))
        return text;
    const std::string recoded = codePage > 0 ? Recoded(text, codePage) : "";
    return recoded.empty() ? Escaped(text) : recoded;
}

}  // namespace tallon::db::paradox
