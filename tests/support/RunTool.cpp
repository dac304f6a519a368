// Runs the built tool as a child process with scripted standard input. The
// input goes through a pipe that is closed after the last byte, so the tool
// sees the end of input exactly as `kvfwdn < answers.txt` would. Standard
// output is collected through a second pipe; standard error is left to the
// test's own (so sanitizer reports show up in the test log) unless the run
// collects it through a third.
#include "support/RunTool.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void closeBoth() {
        CloseFd(fd[0]);
        CloseFd(fd[1]);
    }
};

// Child side: wire the pipes to fd 0, 1 (and 2), change directory, exec the
// tool. Only async-signal-safe calls are made between fork and exec.
[[noreturn]] void ExecTool(int inRead, int outWrite, int errWrite, const char* cwd, char** argv) {
    if (dup2(inRead, 0) < 0 || dup2(outWrite, 1) < 0 || (errWrite >= 0 && dup2(errWrite, 2) < 0))
        _exit(126);
    if (cwd != nullptr && chdir(cwd) != 0)
        _exit(126);
    execv(KVFWDN_EXE, argv);
    _exit(127);
}

// Appends what one read of `fd` brings to `text`; closes `fd` at its end.
void Drain(int& fd, std::string* text) {
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0)
        text->append(chunk, static_cast<size_t>(got));
    else if (got == 0 || errno != EINTR)
        CloseFd(fd);
}

ToolRun Run(const std::vector<std::string>& args, const std::string& input, int timeoutMs,
            const std::string& cwd, bool collectErrors) {
    ToolRun run;
    Pipe in, out, err;
    if (!in.open() || !out.open() || (collectErrors && !err.open())) {
        in.closeBoth();
        out.closeBoth();
        return run;
    }
    // A tool that stops reading early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::vector<char*> argv{const_cast<char*>("kvfwdn")};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0)
        ExecTool(in.fd[0], out.fd[1], err.fd[1], cwd.empty() ? nullptr : cwd.c_str(), argv.data());
    CloseFd(in.fd[0]);
    CloseFd(out.fd[1]);
    CloseFd(err.fd[1]);
    if (pid < 0) {
        in.closeBoth();
        out.closeBoth();
        err.closeBoth();
        return run;
    }
    int& toTool = in.fd[1];
    int& fromTool = out.fd[0];
    int& errorsFromTool = err.fd[0];
    fcntl(toTool, F_SETFL, O_NONBLOCK);

    size_t written = 0;
    if (input.empty())
        CloseFd(toTool);
    long long deadline = NowMs() + timeoutMs;
    // Feed the input and drain the outputs side by side, so that no pipe can
    // fill up and stall the tool, until the tool closes its outputs.
    while (fromTool >= 0 || errorsFromTool >= 0) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        struct pollfd fds[3] = {
            {fromTool, POLLIN, 0}, {errorsFromTool, POLLIN, 0}, {toTool, POLLOUT, 0}};
        int r = poll(fds, 3, static_cast<int>(left < 100 ? left : 100));
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            Drain(fromTool, &run.output);
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            Drain(errorsFromTool, &run.errors);
        if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            ssize_t put = write(toTool, input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<size_t>(put);
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                CloseFd(toTool);
        }
    }
    CloseFd(toTool);
    CloseFd(fromTool);
    CloseFd(errorsFromTool);

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

} // namespace

ToolRun RunTool(const std::string& input, int timeoutMs, const std::string& cwd) {
    return Run({}, input, timeoutMs, cwd, false);
}

ToolRun RunToolArgs(const std::vector<std::string>& args, int timeoutMs) {
    return Run(args, "", timeoutMs, "", true);
}
