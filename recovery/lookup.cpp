#include "recovery/lookup.h"

namespace tallon {

bool RunLookup(db::Query& query, const db::Statement& statement) {
    query.Close();
    query.Clear();
    query.Open(statement);
    return query.RecordCount() > 0;
}

}  // namespace tallon
