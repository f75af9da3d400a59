#include "db/alias/postgresql/parameters.h"

#include <cstring>

#include "base/errors.h"
#include "db/local/schema.h"

namespace tallon::db::pg {
namespace {

std::string ParameterText(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Integer:
            return std::to_string(v.integer());
        case Value::Kind::Float:
            return local::RealText(v.number());
        case Value::Kind::Date:
            return local::StoredDate(v.number());
        case Value::Kind::Time:
            return local::StoredTime(v.number());
        case Value::Kind::Null:
        case Value::Kind::Text:
            break;
    }
    return v.text();
}

}  // namespace

std::string NumberedPlaceholders(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    int n = 0;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?') {
            out += '$' + std::to_string(++n);
            continue;
        }
        out += c;
    }
    return out;
}

Parameters::Parameters(const Statement& statement) {
    texts.reserve(statement.values.size());
    for (size_t i = 0; i < statement.values.size(); ++i) {
        texts.push_back(ParameterText(statement.values[i]));
        if (std::memchr(texts.back().data(), '\0', texts.back().size())) {
            throw EDatabaseError("Value " + std::to_string(i + 1) +
                                 " holds a NUL byte, which PostgreSQL text cannot store");
        }
    }
    pointers.reserve(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        pointers.push_back(statement.values[i].IsNull() ? nullptr : texts[i].c_str());
    }
}

}  // namespace tallon::db::pg
