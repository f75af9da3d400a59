#pragma once

#include <string>

namespace tallon::db::paradox {

// A field name (or other header text) as messages show it: recoded from
// the table's code page into UTF-8, the text of every message. Bytes a
// code page does not explain (or every non-ASCII byte, when the table names
// no code page) are shown as \xNN. Only messages are recoded; the tables
// keep the stored bytes.
std::string TextForMessages(const std::string& text, int codePage);

}  // namespace tallon::db::paradox
