#include "db/alias/postgresql/result.h"

#include <cstring>

namespace tallon::db::pg {

std::string CleanMessage(const char* text) {
    std::string s = text ? text : "";
    for (char& c : s) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s.empty() ? "PostgreSQL error" : s;
}

std::string ErrorText(const PGconn* conn, const PGresult* res) {
    const char* primary = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    return CleanMessage(primary ? primary : PQerrorMessage(conn));
}

EDatabaseError ErrorOf(const PGconn* conn, const PGresult* res) {
    const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    const bool unique = state != nullptr && std::strcmp(state, "23505") == 0;
    return EDatabaseError(ErrorText(conn, res),
                          unique ? DatabaseErrorCode::UniqueViolation : DatabaseErrorCode::Other);
}

bool ShapeChanged(const PGresult* res) {
    const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr && std::strcmp(state, "0A000") == 0;
}

void CollectRows(const PGresult* res, Rows& rows) {
    rows.Clear();
    const int ncol = PQnfields(res);
    const int nrow = PQntuples(res);
    for (int c = 0; c < ncol; ++c) {
        rows.columns.emplace_back(PQfname(res, c));
    }
    rows.values.resize(nrow);
    rows.nulls.resize(nrow);
    for (int r = 0; r < nrow; ++r) {
        auto& row = rows.values[r];
        auto& nulls = rows.nulls[r];
        row.resize(ncol);
        nulls.assign(ncol, false);
        for (int c = 0; c < ncol; ++c) {
            if (PQgetisnull(res, r, c)) {
                nulls[c] = true;
            } else {
                row[c].assign(PQgetvalue(res, r, c), PQgetlength(res, r, c));
            }
        }
    }
}

}  // namespace tallon::db::pg
