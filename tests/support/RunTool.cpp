// Runs the built tool as a child process with scripted standard input. The
// input goes through a pipe that is closed after the last byte, so the tool
// sees the end of input exactly as `kvfwdn < answers.txt` would. Standard
// output is collected through a second pipe; standard error is left to the
// test's own (so sanitizer reports show up in the test log).
#include "support/RunTool.h"
#include "support/PolicyKit.h"

#include "sim/SimClock.h"
#include "support/HexText.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <nettle/sha2.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Child side: wire the pipes to fd 0, 1 (and 2), change directory, exec the
// tool. Only async-signal-safe calls are made between fork and exec.
[[noreturn]] void ExecTool(int inRead, int outWrite, int errWrite, const char* cwd, char** argv,
                           char** envp) {
    if (dup2(inRead, 0) < 0 || dup2(outWrite, 1) < 0 || (errWrite >= 0 && dup2(errWrite, 2) < 0))
        _exit(126);
    if (cwd != nullptr && chdir(cwd) != 0)
        _exit(126);
    execve(KVFWDN_EXE, argv, envp);
    _exit(127);
}

// True when nothing written to the tool's input waits in the pipe any more.
bool InputTaken(int writeEnd) {
    int waiting = 0;
    return writeEnd < 0 || (ioctl(writeEnd, FIONREAD, &waiting) == 0 && waiting == 0);
}

// Appends what one read of `fd` brings; closes it at its end.
void Drain(int& fd, std::string* into) {
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0)
        into->append(chunk, static_cast<size_t>(got));
    else if (got == 0 || errno != EINTR)
        CloseFd(fd);
}

} // namespace

ToolRun RunTool(const std::string& input, int timeoutMs, const std::string& cwd,
                bool captureErrors) {
    ToolOptions options;
    options.timeoutMs = timeoutMs;
    options.cwd = cwd;
    options.captureErrors = captureErrors;
    return RunTool(input, options);
}

ToolRun RunTool(const std::string& input, const ToolOptions& options) {
    ToolRun run;
    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(inPipe, O_CLOEXEC) != 0)
        return run;
    if (pipe2(outPipe, O_CLOEXEC) != 0 ||
        (options.captureErrors && pipe2(errPipe, O_CLOEXEC) != 0)) {
        for (int* fd : {&inPipe[0], &inPipe[1], &outPipe[0], &outPipe[1]})
            CloseFd(*fd);
        return run;
    }
    // A tool that stops reading early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    // The argument vector is built before the fork: the child only execs.
    std::vector<std::string> words = {"kvfwdn"};
    words.insert(words.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    IsolatePolicy();
    std::vector<std::string> vars = {"KVFWDN_HISTORY=" + options.history};
    vars.insert(vars.end(), options.env.begin(), options.env.end());
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "KVFWDN_HISTORY=", 15) != 0)
            vars.push_back(*e);
    std::vector<char*> envp;
    for (std::string& var : vars)
        envp.push_back(&var[0]);
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        ExecTool(inPipe[0], outPipe[1], errPipe[1],
                 options.cwd.empty() ? nullptr : options.cwd.c_str(), argv.data(), envp.data());
    CloseFd(inPipe[0]);
    CloseFd(outPipe[1]);
    CloseFd(errPipe[1]);
    if (pid < 0) {
        CloseFd(inPipe[1]);
        CloseFd(outPipe[0]);
        CloseFd(errPipe[0]);
        return run;
    }
    fcntl(inPipe[1], F_SETFL, O_NONBLOCK);

    size_t written = 0;
    if (input.empty() && !options.keepInputOpen)
        CloseFd(inPipe[1]);
    long long start = NowMs();
    long long deadline = start + options.timeoutMs;
    bool signalled = options.signal == 0;
    // Feed the input and drain the outputs side by side, so that no pipe can
    // fill up and stall the tool, until the tool closes its output.
    while (outPipe[0] >= 0 || errPipe[0] >= 0) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        if (!options.closeOutputAfter.empty() && outPipe[0] >= 0 &&
            run.output.find(options.closeOutputAfter) != std::string::npos)
            CloseFd(outPipe[0]);
        if (!signalled && (options.signalAfterMs > 0 ? NowMs() >= start + options.signalAfterMs
                           : options.signalAfter.empty()
                               ? written == input.size() && InputTaken(inPipe[1])
                               : run.output.find(options.signalAfter) != std::string::npos)) {
            kill(pid, options.signal);
            signalled = true;
        }
        struct pollfd fds[3];
        int n = 0;
        fds[n++] = {outPipe[0], POLLIN, 0};
        fds[n++] = {errPipe[0], POLLIN, 0};
        bool feeding = inPipe[1] >= 0 && written < input.size();
        fds[n++] = {feeding ? inPipe[1] : -1, POLLOUT, 0};
        int r = poll(fds, n, static_cast<int>(left < 20 ? left : 20));
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            Drain(outPipe[0], &run.output);
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            Drain(errPipe[0], &run.errors);
        if (feeding && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(inPipe[1], input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<size_t>(put);
            if (put < 0 && errno != EAGAIN && errno != EINTR)
                CloseFd(inPipe[1]);
            if (written == input.size() && !options.keepInputOpen)
                CloseFd(inPipe[1]);
        }
    }
    CloseFd(inPipe[1]);
    CloseFd(outPipe[0]);
    CloseFd(errPipe[0]);

    // The tool has closed its output (or is out of time); reap it, killing
    // it if it does not end within what is left of the time-out.
    int status = 0;
    for (;;) {
        if (!run.timedOut && NowMs() >= deadline)
            run.timedOut = true;
        if (run.timedOut)
            kill(pid, SIGKILL);
        pid_t w = waitpid(pid, &status, run.timedOut ? 0 : WNOHANG);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR)
            return run;
        if (w == 0)
            usleep(2000);
    }
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

ToolRun RunToolArgs(const std::vector<std::string>& args, int timeoutMs) {
    ToolOptions options;
    options.timeoutMs = timeoutMs;
    options.captureErrors = true;
    options.args = args;
    return RunTool("", options);
}

std::string Sha256Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Sha256OfText(
        std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
}

std::string Sha256OfText(const std::string& bytes) {
    struct sha256_ctx ctx;
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    sha256_digest(&ctx, sizeof digest, digest);
    return HexDigits(digest, sizeof digest, false, "");
}

std::string IdentityLine(const std::string& path, const std::string& kind) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    long long size = in ? static_cast<long long>(in.tellg()) : 0;
    return "kvfwdn: " + path + ": " + std::to_string(size) + " bytes, sha256 " + Sha256Of(path) +
           ", " + kind + "\n";
}
