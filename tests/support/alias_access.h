#pragma once

// The alias tests speak to one engine at a time through these helpers: a
// fresh engine after CloseAliasConnections() (the login answers kept, as the
// engine keeps them across a shutdown), statements typed as text.

#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection.h"
#include "db/engine.h"

namespace tallon::db {

inline std::unique_ptr<Engine>& TestEngineHolder() {
    static std::unique_ptr<Engine> engine = std::make_unique<Engine>();
    return engine;
}

inline Engine& TestEngine() {
    return *TestEngineHolder();
}

// A new engine: the login prompt has not been asked.
inline void ResetLoginState() {
    const std::string dir = TestEngine().ProgramDirectory();
    TestEngineHolder() = std::make_unique<Engine>(dir);
}

inline void CloseAliasConnections() {
    TestEngine().Shutdown();
}

inline void SetEngineProgramDirectory(const std::string& directory) {
    TestEngine().SetProgramDirectory(directory);
}

inline void SetLoginPrompt(LoginPrompt prompt) {
    TestEngine().SetLoginPrompt(std::move(prompt));
}

// The connection of an alias, or nullptr when the configuration has none.
inline Connection* OpenAliasConnection(const std::string& alias) {
    try {
        return &TestEngine().ConnectionFor(alias);
    } catch (const EDatabaseError& e) {
        if (e.Message().rfind("Unknown database or alias", 0) == 0) {
            return nullptr;
        }
        throw;
    }
}

struct Selected {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::vector<bool>> nulls;
};

inline std::unique_ptr<Selected> SelectOn(Connection* c, const std::string& sql) {
    Rows r;
    c->RunText(sql, &r);
    auto out = std::make_unique<Selected>();
    out->columns = std::move(r.columns);
    out->rows = std::move(r.values);
    out->nulls = std::move(r.nulls);
    return out;
}

inline void ExecOn(Connection* c, const std::string& sql) {
    c->RunText(sql, nullptr);
}

}  // namespace tallon::db
