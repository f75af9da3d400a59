#include "db/query.h"

namespace tallon::db {

std::string Quoted(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    out += '\'';
    return out;
}

}  // namespace tallon::db
