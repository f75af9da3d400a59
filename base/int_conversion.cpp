#include "base/int_conversion.h"

#include "base/errors.h"

namespace tallon {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Hexadecimal digits to the end of the text. Any value that fits in 32 bits
// is accepted and taken as the bit pattern of a signed number, so "$FFFFFFFF"
// is -1; leading zeros do not count against the width.
std::optional<int32_t> ParseHex(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFull) {
            return std::nullopt;
        }
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

std::optional<int32_t> ParseDecimal(std::string_view digits, bool negative) {
    if (digits.empty()) {
        return std::nullopt;
    }
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > limit) {
            return std::nullopt;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

std::optional<int32_t> TryStrToInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    std::string_view rest = text.substr(i);
    if (rest.empty()) {
        return std::nullopt;
    }
    if (rest[0] == '+' || rest[0] == '-') {
        return ParseDecimal(rest.substr(1), rest[0] == '-');
    }
    if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
        return ParseHex(rest.substr(1));
    }
    if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        return ParseHex(rest.substr(2));
    }
    return ParseDecimal(rest, false);
}

int32_t StrToInt(std::string_view text) {
    if (auto v = TryStrToInt(text)) {
        return *v;
    }
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

std::string IntToStr(int64_t value) {
    return std::to_string(value);
}

}  // namespace tallon
