#pragma once

#include <string>

#include "db/engine.h"
#include "recovery/run_mode.h"

namespace tallon {

// Whether the database a line goes to answers at all, asked when the line
// failed: a failure the probe shares is the database's (a server gone, a
// table locked, a configuration that cannot be used) and the line is
// written again later; a line that fails while its database answers failed
// by itself. Local mode: the line's day table, locked for writing as a
// write would lock it (made from the template first when it does not exist
// yet, as the writer makes it). External modes: a read of `trans` on the
// mode's alias. Returns "" when the database answers, else why not.
std::string ProbeDatabase(db::Engine& engine, RunMode mode, const std::string& programDirectory,
                          const std::string& lineText);

}  // namespace tallon
