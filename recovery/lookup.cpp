#include "recovery/lookup.h"

namespace tallon {

bool RunLookup(db::Query& query, const std::string& statement) {
    query.Close();
    query.Clear();
    query.Add(statement);
    query.Open();
    return query.RecordCount() > 0;
}

}  // namespace tallon
