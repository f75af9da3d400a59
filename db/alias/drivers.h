#pragma once

#include <memory>
#include <string>

#include "db/alias/config.h"
#include "db/connection.h"

namespace tallon::db {

class Engine;

// Connections of the two alias drivers. They connect on their first
// statement (and again after a lost connection), so a failure to connect
// fails every statement with a message instead of hiding the alias.
std::unique_ptr<Connection> MakeSqliteAliasConnection(Engine& engine, const AliasConfig& alias,
                                                      const std::string& usedName);
std::unique_ptr<Connection> MakePostgresAliasConnection(Engine& engine, const AliasConfig& alias,
                                                        const std::string& usedName);

}  // namespace tallon::db
