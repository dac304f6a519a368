#include "support/ConsoleChild.h"
#include "support/PolicyKit.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include "sim/SimClock.h"

namespace {

// A temporary file holding `content`; returns its path (empty on failure).
std::string TempFile(const std::string& content) {
    char path[] = "/tmp/kvconsoleXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return path;
}

std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    fclose(f);
    return text;
}

// Child side: run the body with fd 0 and fd 1 already in place, report its
// result through the pipe and leave without running the parent's cleanup.
[[noreturn]] void RunBody(const std::function<int()>& body, int resultFd) {
    clearerr(stdin);
    int result = body();
    fflush(stdout);
    ssize_t put = write(resultFd, &result, sizeof result);
    _exit(put == sizeof result ? 0 : 3);
}

// Parent side: starts the child with `stdinFd`/`stdoutFd` as its fd 0 and 1.
TtyChild Start(int stdinFd, int stdoutFd, const std::function<int()>& body) {
    TtyChild child;
    int fds[2];
    if (pipe(fds) != 0)
        return child;
    fflush(stdout); // nothing of the test's own output may be written twice
    // The menus record their actions: never into the user's own history
    // (a test that wants a record sets its own scratch file first).
    setenv("KVFWDN_HISTORY", "off", 0);
    IsolatePolicy();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (dup2(stdinFd, 0) < 0 || dup2(stdoutFd, 1) < 0)
            _exit(2);
        RunBody(body, fds[1]);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return child;
    }
    child.pid = pid;
    child.resultFd = fds[0];
    return child;
}

} // namespace

ChildResult FinishConsoleChild(TtyChild& child, int timeoutMs) {
    ChildResult res;
    if (child.pid <= 0)
        return res;
    long long deadline = NowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        pid_t w = waitpid(child.pid, &status, WNOHANG);
        if (w == child.pid)
            break;
        if (w < 0 && errno != EINTR)
            break;
        if (NowMs() >= deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    child.pid = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        read(child.resultFd, &res.result, sizeof res.result) == sizeof res.result)
        res.finished = true;
    close(child.resultFd);
    child.resultFd = -1;
    return res;
}

ChildResult RunConsoleChild(const std::string& input, const std::function<int()>& body,
                            int timeoutMs) {
    ChildResult res;
    std::string inPath = TempFile(input);
    std::string outPath = TempFile("");
    int inFd = inPath.empty() ? -1 : open(inPath.c_str(), O_RDONLY);
    int outFd = outPath.empty() ? -1 : open(outPath.c_str(), O_WRONLY | O_TRUNC);
    if (inFd >= 0 && outFd >= 0) {
        TtyChild child = Start(inFd, outFd, body);
        res = FinishConsoleChild(child, timeoutMs);
        res.output = ReadFile(outPath);
    }
    if (inFd >= 0)
        close(inFd);
    if (outFd >= 0)
        close(outFd);
    if (!inPath.empty())
        unlink(inPath.c_str());
    if (!outPath.empty())
        unlink(outPath.c_str());
    return res;
}

TtyChild StartConsoleChildOnTty(const std::string& ttyPath, const std::function<int()>& body) {
    int fd = open(ttyPath.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return TtyChild();
    TtyChild child = Start(fd, fd, body);
    close(fd);
    return child;
}
