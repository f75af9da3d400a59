#include "db/engine.h"

#include <map>
#include <mutex>
#include <optional>

#include "base/file_names.h"
#include "db/alias.h"

namespace tallon::db {

namespace {

struct LoginState {
    LoginPrompt prompt;
    bool asked = false;
    // What the operator answered, per alias (lower-case name); nullopt for a
    // cancel. Kept so that a reconnect never has to ask again.
    std::map<std::string, std::optional<LoginAnswer>> answers;
};

std::mutex& LoginMutex() {
    static std::mutex m;
    return m;
}

LoginState& Login() {
    static LoginState state;
    return state;
}

std::mutex& DirMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string>& ProgramDirectoryOverride() {
    static std::optional<std::string> dir;
    return dir;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

}  // namespace

void SetLoginPrompt(LoginPrompt prompt) {
    std::lock_guard lock(LoginMutex());
    Login().prompt = std::move(prompt);
}

std::optional<LoginAnswer> LoginFor(const std::string& alias, const std::string& suggestedUser) {
    LoginPrompt prompt;
    {
        std::lock_guard lock(LoginMutex());
        LoginState& state = Login();
        auto it = state.answers.find(Lower(alias));
        if (it != state.answers.end()) {
            return it->second;
        }
        if (state.asked || !state.prompt) {
            return std::nullopt;
        }
        state.asked = true;
        prompt = state.prompt;
    }
    // The prompt may run a modal dialog: call it without holding the lock.
    LoginAnswer answer{suggestedUser, ""};
    const bool ok = prompt(alias, answer.userName, answer.password);
    std::lock_guard lock(LoginMutex());
    std::optional<LoginAnswer> result;
    if (ok) {
        result = answer;
    }
    Login().answers[Lower(alias)] = result;
    return result;
}

void ResetLoginState() {
    std::lock_guard lock(LoginMutex());
    Login().asked = false;
    Login().answers.clear();
}

void SetEngineProgramDirectory(const std::string& directory) {
    std::lock_guard lock(DirMutex());
    if (directory.empty()) {
        ProgramDirectoryOverride().reset();  // back to the executable's directory
        return;
    }
    std::string dir = directory;
    if (!dir.empty() && dir.back() != '/') {
        dir += '/';
    }
    ProgramDirectoryOverride() = dir;
}

std::string EngineProgramDirectory() {
    {
        std::lock_guard lock(DirMutex());
        if (ProgramDirectoryOverride()) {
            return *ProgramDirectoryOverride();
        }
    }
    return ExecutableDirectory();
}

}  // namespace tallon::db
