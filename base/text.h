#pragma once

#include <string>
#include <string_view>

namespace tallon {

// Removes every character of code 32 or below from both ends; inner
// characters and bytes above 127 stay.
std::string Trim(std::string_view s);

// Substring by 1-based position: a start below 1 counts as 1; a start past
// the end or a negative count gives ""; a count past the end is cut there.
std::string Copy(std::string_view s, int start, int count);

// Upper-cases the ASCII letters only; other bytes are left alone.
std::string UpperCase(std::string_view s);

// Lower-cases the ASCII letters only.
std::string LowerCase(std::string_view s);

// The value between two quote characters, with every quote character inside
// it doubled: the one way values and names are quoted in statements and CSV.
std::string QuotedWith(std::string_view value, char quote);

// ASCII case-insensitive equality.
bool SameText(std::string_view a, std::string_view b);

}  // namespace tallon
