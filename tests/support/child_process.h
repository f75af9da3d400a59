#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tallon::test {

// The test helper program (tests/child), started with exec: a process of
// its own with its own engine.
std::string ChildProgram();

// A started process, with pipes to its standard input and from its standard
// output.
struct Child {
    pid_t pid = -1;
    int toChild = -1;    // write end
    int fromChild = -1;  // read end
};

Child StartProcess(const std::vector<std::string>& argv);
// Waits for it; its exit status, or 128 + the signal that ended it.
int WaitFor(Child& child);
// Runs the helper program to its end.
int RunChild(const std::vector<std::string>& args);

// A shell command run to its end: its exit status (-1 when it did not exit)
// and what it printed, standard error included.
struct ShellRun {
    int status = -1;
    std::string out;
};
ShellRun RunShell(const std::string& command);

}  // namespace tallon::test
