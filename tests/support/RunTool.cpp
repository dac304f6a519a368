// Runs the built tool as a child process with scripted standard input. The
// input goes through a pipe that is closed after the last byte, so the tool
// sees the end of input exactly as `kvfwdn < answers.txt` would. Standard
// output is collected through a second pipe; standard error is left to the
// test's own (so sanitizer reports show up in the test log) unless the test
// asks for it, when it goes to an unlinked scratch file.
#include "support/RunTool.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include "sim/SimClock.h"

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Child side: wire the pipes to fd 0 and 1, change directory, exec the tool.
// Only async-signal-safe calls are made between fork and exec.
[[noreturn]] void ExecTool(int inRead, int outWrite, int errWrite, const char* cwd) {
    if (dup2(inRead, 0) < 0 || dup2(outWrite, 1) < 0 || (errWrite >= 0 && dup2(errWrite, 2) < 0))
        _exit(126);
    close(inRead);
    close(outWrite);
    if (cwd != nullptr && chdir(cwd) != 0)
        _exit(126);
    char name[] = "kvfwdn";
    char* argv[] = {name, nullptr};
    execv(KVFWDN_EXE, argv);
    _exit(127);
}

// An unlinked scratch file for standard error, -1 when not wanted.
int ErrorsFile(bool wanted) {
    if (!wanted)
        return -1;
    char path[] = "/tmp/kv_stderr_XXXXXX";
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0)
        unlink(path);
    return fd;
}

std::string ReadErrors(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    close(fd);
    return text;
}

} // namespace

ToolRun RunTool(const std::string& input, int timeoutMs, const std::string& cwd,
                bool captureErrors) {
    ToolRun run;
    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (pipe2(inPipe, O_CLOEXEC) != 0)
        return run;
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        CloseFd(inPipe[0]);
        CloseFd(inPipe[1]);
        return run;
    }
    // A tool that stops reading early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    int errFile = ErrorsFile(captureErrors);
    pid_t pid = fork();
    if (pid == 0)
        ExecTool(inPipe[0], outPipe[1], errFile, cwd.empty() ? nullptr : cwd.c_str());
    CloseFd(inPipe[0]);
    CloseFd(outPipe[1]);
    if (pid < 0) {
        CloseFd(errFile);
        CloseFd(inPipe[1]);
        CloseFd(outPipe[0]);
        return run;
    }
    fcntl(inPipe[1], F_SETFL, O_NONBLOCK);

    size_t written = 0;
    if (input.empty())
        CloseFd(inPipe[1]);
    long long deadline = NowMs() + timeoutMs;
    char chunk[4096];
    // Feed the input and drain the output side by side, so that neither
    // pipe can fill up and stall the tool, until the tool closes its output.
    while (outPipe[0] >= 0) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        struct pollfd fds[2];
        int n = 0;
        fds[n++] = {outPipe[0], POLLIN, 0};
        if (inPipe[1] >= 0)
            fds[n++] = {inPipe[1], POLLOUT, 0};
        int r = poll(fds, n, static_cast<int>(left < 100 ? left : 100));
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = read(outPipe[0], chunk, sizeof chunk);
            if (got > 0)
                run.output.append(chunk, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR)
                CloseFd(outPipe[0]);
        }
        if (n > 1 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(inPipe[1], input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<size_t>(put);
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                CloseFd(inPipe[1]);
        }
    }
    CloseFd(inPipe[1]);
    CloseFd(outPipe[0]);

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
        if (w < 0 && errno != EINTR) {
            CloseFd(errFile);
            return run;
        }
        if (w == 0)
            usleep(2000);
    }
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    if (errFile >= 0)
        run.errors = ReadErrors(errFile);
    return run;
}
