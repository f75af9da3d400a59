#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallon {

// Integer text conversion: leading spaces (only the space character) are
// skipped; then an optional '+'/'-' and decimal digits to the end of the
// text, or, without a sign, a hexadecimal number after "$", "x", "X", "0x"
// or "0X". Anything else, including a trailing blank or a value outside the
// signed 32-bit range, fails.
std::optional<int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but raises EConvertError "'<text>' is not a valid integer
// value" on failure.
int32_t StrToInt(std::string_view text);

// Decimal text of a number ("-5", "7").
std::string IntToStr(int64_t value);

}  // namespace tallon
