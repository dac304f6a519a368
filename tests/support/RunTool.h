// Runs the built kvfwdn with scripted standard input and collects its exact
// standard output, for end-to-end tests.
#ifndef KV_TESTS_RUNTOOL_H
#define KV_TESTS_RUNTOOL_H

#include <string>
#include <vector>

struct ToolRun {
    std::string output; // everything the tool wrote to standard output
    int exitCode = -1;  // exit status, or -1 when it did not exit normally
    bool timedOut = false;
    std::string errors; // standard error, collected by RunToolArgs only
};

// Starts kvfwdn with `input` as its standard input (a pipe, closed after the
// last byte, so the tool sees the end of input), waits at most timeoutMs,
// kills it on time-out. `cwd` empty means the current directory.
ToolRun RunTool(const std::string& input, int timeoutMs = 60000, const std::string& cwd = "");

// Starts kvfwdn with the command-line arguments `args` and an empty standard
// input, and collects its standard output and standard error apart.
ToolRun RunToolArgs(const std::vector<std::string>& args, int timeoutMs = 60000);

#endif
