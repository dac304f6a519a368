// Runs the built kvfwdn with scripted standard input and collects its exact
// standard output, for end-to-end tests.
#ifndef KV_TESTS_RUNTOOL_H
#define KV_TESTS_RUNTOOL_H

#include <string>
#include <vector>

struct ToolRun {
    std::string output; // everything the tool wrote to standard output
    std::string errors; // its standard error, when ToolOptions::captureErrors
    int exitCode = -1;  // exit status, or -1 when it did not exit normally
    bool timedOut = false;
};

// Starts kvfwdn with `input` as its standard input (a pipe, closed after the
// last byte, so the tool sees the end of input), waits at most timeoutMs,
// kills it on time-out. `cwd` empty means the current directory. With
// `captureErrors` standard error is collected too, else it is the test's.
ToolRun RunTool(const std::string& input, int timeoutMs = 60000, const std::string& cwd = "",
                bool captureErrors = false);

struct ToolOptions {
    int timeoutMs = 60000;
    std::string cwd;
    bool captureErrors = false;    // else standard error is the test's own
    bool keepInputOpen = false;    // no end of input: the tool waits at its prompts
    int signal = 0;                // sent once standard output contains this
    std::string signalAfter;       // text, or when it is empty, once the tool
                                   // has taken all of the input
    int signalAfterMs = 0;         // else, when set, this long after the start
    std::string closeOutputAfter;  // the test stops reading standard output
                                   // (closes its end) once it contains this
    std::vector<std::string> args; // command-line arguments
    // KVFWDN_HISTORY for the tool: "off" (no record, no system-log line) or
    // a file in the test's scratch folder; never the user's own history.
    std::string history = "off";
    std::vector<std::string> env; // more NAME=VALUE entries for the tool
};
ToolRun RunTool(const std::string& input, const ToolOptions& options);

// Options that collect standard error, with a bound of 30 seconds.
inline ToolOptions CapturingOptions() {
    ToolOptions options;
    options.timeoutMs = 30000;
    options.captureErrors = true;
    return options;
}

// Starts kvfwdn with the command-line arguments `args` and an empty standard
// input, and collects its standard output and standard error apart.
ToolRun RunToolArgs(const std::vector<std::string>& args, int timeoutMs = 60000);

// The line kvfwdn writes on standard error before a download's question:
// "kvfwdn: PATH: N bytes, sha256 X, KIND\n", with the file's size and SHA-256
// taken from the file as it is now.
std::string IdentityLine(const std::string& path, const std::string& kind);
// The SHA-256 of the file at `path` in lower-case hex.
std::string Sha256Of(const std::string& path);
std::string Sha256OfText(const std::string& bytes);

#endif
