#include "db/alias/postgresql/pipe.h"

namespace tallon::db::pg {
namespace {

[[noreturn]] void GiveUp(Session& session) {
    ConnectionLost lost{CleanMessage(PQerrorMessage(session.Handle()))};
    session.Drop();
    throw lost;
}

// The answers of one statement: one or more results, closed by a null.
void Collect(Session& session, Piped& p) {
    for (;;) {
        Result r(PQgetResult(session.Handle()));
        if (session.Broken()) {
            GiveUp(session);
        }
        if (!r) {
            return;
        }
        p.status = PQresultStatus(r.get());
        if (p.status == PGRES_TUPLES_OK) {
            p.rows = PQntuples(r.get());
        } else if (p.status == PGRES_FATAL_ERROR) {
            p.shapeChanged = ShapeChanged(r.get());
            p.error = session.ErrorOf(r.get());
        }
    }
}

}  // namespace

bool SendPlain(Session& session, const char* sql) {
    return PQsendQueryParams(session.Handle(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0) != 0;
}

bool SendPrepared(Session& session, const std::string& name, const Parameters& params) {
    return PQsendQueryPrepared(session.Handle(), name.c_str(), params.Count(), params.Values(),
                               nullptr, nullptr, 0) != 0;
}

std::vector<Piped> RunPipe(Session& session, size_t count,
                           const std::function<bool(size_t)>& send) {
    PGconn* conn = session.Handle();
    if (!PQenterPipelineMode(conn)) {
        session.LostOr("cannot enter pipeline mode");
    }
    bool sent = true;
    for (size_t i = 0; i < count && sent; ++i) {
        sent = send(i);
    }
    if (!sent || !PQpipelineSync(conn)) {
        // What the server got is unknown: the session is given up and the
        // batch's transaction brought back on a new one.
        GiveUp(session);
    }
    std::vector<Piped> out(count);
    for (Piped& p : out) {
        Collect(session, p);
    }
    const Result sync(PQgetResult(conn));
    if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC || !PQexitPipelineMode(conn)) {
        GiveUp(session);
    }
    return out;
}

}  // namespace tallon::db::pg
