#include "support/TtyErrors.h"
#include "support/PolicyKit.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Moves what is waiting on `fd` into `to`; false at its end.
bool Drain(int fd, std::string* to) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        to->append(buf, static_cast<size_t>(n));
    return n > 0;
}

} // namespace

ToolRun RunToolErrorsOnTty(const std::vector<std::string>& args, int timeoutMs) {
    ToolRun run;
    int master = -1, slave = -1, out[2];
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return run;
    if (pipe(out) != 0) {
        close(master);
        close(slave);
        return run;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KVFWDN_EXE));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    IsolatePolicy();
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(slave, 2);
        setenv("KVFWDN_HISTORY", "off", 1);
        execv(KVFWDN_EXE, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(slave);
    bool outOpen = true, errOpen = true;
    long long end = NowMs() + timeoutMs;
    int status = 0;
    bool exited = false;
    while (NowMs() < end && !(exited && !outOpen && !errOpen)) {
        struct pollfd fds[2] = {{out[0], POLLIN, 0}, {master, POLLIN, 0}};
        poll(fds, 2, 50);
        if (outOpen && fds[0].revents != 0)
            outOpen = Drain(out[0], &run.output);
        if (errOpen && fds[1].revents != 0)
            errOpen = Drain(master, &run.errors); // EIO once the child is gone
        if (!exited && waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
    }
    if (!exited) {
        run.timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    close(out[0]);
    close(master);
    return run;
}
