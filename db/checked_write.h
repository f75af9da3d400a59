#pragma once

#include <string>

#include "base/errors.h"
#include "db/statement.h"

namespace tallon::db {

// A write that is made only when its check finds nothing: the external
// writer's duplicate check and insert of one record.
struct CheckedWrite {
    Statement check;  // a ReadBeforeWrite select
    Statement write;  // a Write
};

struct CheckedWriteOutcome {
    enum class Result { Written, Found, Failed };
    Result result = Result::Failed;
    // For Failed: the driver's message and what it means.
    std::string message;
    DatabaseErrorCode code = DatabaseErrorCode::Other;
};

}  // namespace tallon::db
