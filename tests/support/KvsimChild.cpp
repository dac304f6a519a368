#include "support/KvsimChild.h"
#include "support/PolicyKit.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
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
    // A kvfwdn that kvsim runs records nothing into the user's history.
    setenv("KVFWDN_HISTORY", "off", 0);
    IsolatePolicy();
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

Kvsim::Kvsim(const std::vector<std::string>& args) {
    pid_ = StartKvsim(args, &input_, &output_);
}

Kvsim::~Kvsim() {
    closeInput();
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0)
        close(output_);
}

void Kvsim::send(const std::string& text) {
    if (write(input_, text.data(), text.size()) < 0) {
        ADD_FAILURE() << "kvsim's input is closed";
    }
}

void Kvsim::closeInput() {
    if (input_ >= 0)
        close(input_);
    input_ = -1;
}

void Kvsim::signal(int signo) {
    if (pid_ > 0)
        kill(pid_, signo);
}

bool Kvsim::waitFor(const std::string& marker, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output.find(marker) == std::string::npos) {
        int left = MsLeft(end);
        if (left <= 0 || !ReadSome(output_, left, &output))
            return false;
    }
    return true;
}

int Kvsim::finish(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = MsLeft(end);
        if (left <= 0 || !ReadSome(output_, left, &output))
            break;
    }
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

bool KvsimControl(const std::string& dir, const std::string& command, int timeoutMs) {
    auto readLog = [&dir] {
        std::ifstream in(dir + "/kvsim.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    size_t before = readLog().size();
    {
        std::ofstream control(dir + "/control");
        control << command << "\n";
    }
    std::string echo = "> " + command + "\n";
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (MsLeft(end) > 0) {
        std::string log = readLog();
        size_t at = log.find(echo, before);
        // The reply is the line after the echoed command.
        if (at != std::string::npos && log.find('\n', at + echo.size()) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
