#include "support/KvsimChild.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

std::string KvsimExe() {
    return KVSIM_EXE;
}

pid_t StartKvsim(const std::vector<std::string>& args, int* input, int* output) {
    *input = -1;
    *output = -1;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string exe = KvsimExe();
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return -1;
    }
    *input = in[1];
    *output = out[0];
    return pid;
}

int MsLeft(std::chrono::steady_clock::time_point end) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                end - std::chrono::steady_clock::now())
                                .count());
}

bool ReadSome(int fd, int timeoutMs, std::string* output) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0)
        return false;
    output->append(buffer, static_cast<size_t>(n));
    return true;
}
