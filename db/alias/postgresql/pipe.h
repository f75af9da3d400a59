#pragma once

// Several statements sent to the server in one round trip (libpq's pipeline
// mode) and their answers collected.

#include <functional>
#include <optional>
#include <vector>

#include "db/alias/postgresql/session.h"

namespace tallon::db::pg {

// One statement's answer in a pipe. A statement after a failed one is not
// run by the server (aborted).
struct Piped {
    ExecStatusType status = PGRES_PIPELINE_ABORTED;
    int rows = 0;
    std::optional<EDatabaseError> error;
    bool shapeChanged = false;  // a prepared "select *" whose table changed
    bool Ok() const { return status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK; }
};

// Sends `count` statements (send(i) sends the i-th and says whether it
// went) and a sync in one round trip, and collects their answers. Raises
// ConnectionLost when the session broke or what the server got is unknown
// (the session is then given up).
std::vector<Piped> RunPipe(Session& session, size_t count, const std::function<bool(size_t)>& send);

// Sends a statement without values into an open pipe.
bool SendPlain(Session& session, const char* sql);
// Sends a prepared statement with its values into an open pipe.
bool SendPrepared(Session& session, const std::string& name, const Parameters& params);

}  // namespace tallon::db::pg
