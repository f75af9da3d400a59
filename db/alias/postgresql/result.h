#pragma once

// A PostgreSQL result owned by RAII, and the error it carries.

#include <libpq-fe.h>

#include <memory>
#include <string>

#include "base/errors.h"
#include "db/rows.h"

namespace tallon::db::pg {

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// A server or libpq message on one line, or a plain word when there is none.
std::string CleanMessage(const char* text);

// The message of a failed result (the session's own when it has none).
std::string ErrorText(const PGconn* conn, const PGresult* res);

// The error a failed result stands for; a repeated key is told apart.
EDatabaseError ErrorOf(const PGconn* conn, const PGresult* res);

// True when the statement did not run because a prepared "select *" met a
// table whose columns changed since it was prepared.
bool ShapeChanged(const PGresult* res);

// True for a result of a statement that ran.
inline bool Succeeded(const PGresult* res) {
    const ExecStatusType st = PQresultStatus(res);
    return st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK;
}

// The rows of a result, every value as text.
void CollectRows(const PGresult* res, Rows& rows);

}  // namespace tallon::db::pg
