#pragma once

namespace tallon::db {

enum IndexOption : unsigned {
    ixNone = 0,
    ixPrimary = 1,
    ixUnique = 2,
    ixCaseInsensitive = 4,
};

}  // namespace tallon::db
