#include "tests/support/child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

extern char** environ;

namespace tallon::test {

std::string ChildProgram() {
    return std::string(TALLON_BIN_DIR) + "/../tests/tallon_test_child";
}

Child StartProcess(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    Child child;
    const int rc = posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    child.toChild = in[1];
    child.fromChild = out[0];
    return child;
}

int WaitFor(Child& child) {
    if (child.toChild >= 0) {
        close(child.toChild);
        child.toChild = -1;
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (child.fromChild >= 0) {
        close(child.fromChild);
        child.fromChild = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunChild(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ChildProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c = StartProcess(argv);
    return WaitFor(c);
}

ShellRun RunShell(const std::string& command) {
    ShellRun r;
    const std::string cmd = command + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        return r;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        r.out.append(buf, n);
    }
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace tallon::test
