// Runs console code of the tool in a forked child process, so that each run
// starts with a fresh standard-input stream and fresh console state, with
// standard input fed from a regular file or from a pseudo-terminal, and its
// standard output captured.
#ifndef KV_TESTS_CONSOLECHILD_H
#define KV_TESTS_CONSOLECHILD_H

#include <functional>
#include <string>
#include <sys/types.h>

struct ChildResult {
    std::string output;    // what the body wrote to standard output
    int result = 0;        // the body's return value
    bool finished = false; // false when the child crashed or was killed
};

// Runs `body` with standard input reading `input` from a regular file
// (scripted input) and standard output captured into a file.
ChildResult RunConsoleChild(const std::string& input, const std::function<int()>& body,
                            int timeoutMs = 10000);

// Starts `body` with standard input and output both on the terminal
// `ttyPath` (the slave of a VirtualLine), as a technician's session would
// be. The test plays the technician on the master side and then collects
// the result with FinishConsoleChild.
struct TtyChild {
    pid_t pid = -1;
    int resultFd = -1;
};
TtyChild StartConsoleChildOnTty(const std::string& ttyPath, const std::function<int()>& body);
// Waits for the child (killing it after timeoutMs); `finished` false when it
// did not end by itself. The output is read on the terminal by the test.
ChildResult FinishConsoleChild(TtyChild& child, int timeoutMs = 10000);

#endif
