#include "base/text.h"
#include "db/query.h"

namespace tallon::db {

std::string Quoted(const std::string& value) {
    return QuotedWith(value, '\'');
}

}  // namespace tallon::db
