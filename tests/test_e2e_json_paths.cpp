// One JSON line on every path: a signal while the record is flushed; and
// file names that must not drive the terminal nor lose their bytes in JSON.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sim/VirtualPrinter.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "support/ServedDevice.h"
#include "test_cdu_util.h"

using nlohmann::json;

namespace {

// Starts kvfwdn with `args` and the extra `env`, standard output on a pipe
// whose reading end goes to `*out`.
pid_t StartTool(const std::vector<std::string>& args, const std::vector<std::string>& env,
                int* out) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDERR_FILENO);
        for (const std::string& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv = {const_cast<char*>(KVFWDN_EXE)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KVFWDN_EXE, argv.data());
        _exit(127);
    }
    close(fds[1]);
    *out = fds[0];
    return pid;
}

// Whether `pid` has its handler for SIGTERM set (it runs kvfwdn, not the
// forked test any more).
bool CatchesSigterm(pid_t pid) {
    std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("SigCgt:");
    return at != std::string::npos &&
           (std::stoull(status.substr(at + 7), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
}

// Waits until kvfwdn as `pid` has `path` open (the history, which it opens
// only to append the record and keeps open while it waits for the lock).
bool WaitHolding(pid_t pid, const std::string& path, int tries) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (int i = 0; i < tries; ++i) {
        if (!CatchesSigterm(pid)) {
            usleep(10000);
            continue;
        }
        if (DIR* dir = opendir(fds.c_str())) {
            bool found = false;
            while (dirent* entry = readdir(dir)) {
                char target[4096];
                std::string link = fds + "/" + entry->d_name;
                ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
                found = found || (n > 0 && path == std::string(target, static_cast<size_t>(n)));
            }
            closedir(dir);
            if (found)
                return true;
        }
        usleep(10000);
    }
    return false;
}

// Everything readable from `fd` until `pid` has ended and nothing is left;
// its exit status goes to `*status`.
std::string DrainUntilExit(int fd, pid_t pid, int* status) {
    std::string text;
    bool ended = false;
    for (int i = 0; i < 3000; ++i) {
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (ended)
            break;
        ended = waitpid(pid, status, WNOHANG) == pid;
        if (!ended)
            usleep(10000);
    }
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, next; at < text.size(); at = next + 1) {
        next = text.find('\n', at);
        if (next == std::string::npos)
            next = text.size();
        lines.push_back(text.substr(at, next - at));
    }
    return lines;
}

} // namespace

// The action has ended; its record is being written, held by another tool's
// lock on the history, when SIGTERM comes: the tool ends with 143 (its
// signal path waits for the lock briefly, then appends), standard output has
// the one result line saying so, with the keys of every version result, and
// the last record says 143 and not ok.
TEST(E2eJsonPaths, SignalWhileTheRecordIsFlushed) {
    ScratchDir dir;
    ServedDevice<VirtualPrinter, PrinterConfig> printer;
    std::string history = dir.write("history.jsonl", "");
    int holder = open(history.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    int out = -1;
    pid_t tool = StartTool({"rpu", "version", "-p", printer.port, "--json"},
                           {"KVFWDN_HISTORY=" + history}, &out);
    ASSERT_GT(tool, 0);
    ASSERT_TRUE(WaitHolding(tool, history, 3000)) << "the tool never reached the record";
    kill(tool, SIGTERM);
    int status = 0;
    DrainUntilExit(holder, tool, &status);
    close(holder);
    std::string records = ReadWholeFile(history);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<size_t>(n));
    close(out);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
    ASSERT_EQ(Lines(output).size(), 1u) << output;
    json line = json::parse(output, nullptr, false);
    EXPECT_EQ(line["exit"], 143) << output;
    EXPECT_EQ(line["ok"], false);
    EXPECT_EQ(line["error"], "interrupted by SIGTERM");
    std::vector<std::string> keys;
    for (const auto& item : line.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, std::vector<std::string>({"action", "baud", "crc", "device", "error", "exit",
                                              "kvfwdn", "message", "ok", "port", "ticket", "time",
                                              "version"}));
    ASSERT_FALSE(Lines(records).empty());
    json last = json::parse(Lines(records).back(), nullptr, false);
    EXPECT_EQ(last["exit"], 143) << records;
    EXPECT_EQ(last["ok"], false) << records;
}

// A file name with an escape sequence, a newline, a byte that is not UTF-8
// and printable UTF-8: text shows '?' for each control or stray byte and
// keeps the rest; JSON and the record keep the name readable in `file` and
// exact in `file_hex`; a plain name has `file_hex` null.
TEST(E2eJsonPaths, FileNamesSafeInTextExactInJson) {
    ScratchDir dir;
    const std::string name = "fw\x1b]0;owned\x07\x1b[2J\n\xff\xc3\xa9.bin";
    const std::string shown = "fw?]0;owned??[2J??\xc3\xa9.bin";
    const std::string hex = "66771b5d303b6f776e6564071b5b324a0affc3a92e62696e";
    std::string path = dir.write(name, PrinterFirmware(1024));
    std::string safe = dir.path() + "/" + shown;

    ToolRun info = RunToolArgs({"info", path});
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_EQ(info.output.substr(0, info.output.find(':')), safe);
    json infoJson = json::parse(RunToolArgs({"info", path, "--json"}).output, nullptr, false);
    EXPECT_EQ(infoJson["file"],
              dir.path() + "/fw\x1b]0;owned\x07\x1b[2J\n\xef\xbf\xbd\xc3\xa9.bin");
    std::string folderHex;
    for (unsigned char c : dir.path() + "/")
        folderHex += "0123456789abcdef"[c >> 4], folderHex += "0123456789abcdef"[c & 15];
    EXPECT_EQ(infoJson["file_hex"], folderHex + hex);

    ToolOptions options = CapturingOptions();
    options.history = dir.file("history.jsonl");
    options.args = {"rpu", "download", "-p", "/dev/kvfwdn-no-such-port", path};
    ToolRun download = RunTool("", options);
    EXPECT_EQ(download.exitCode, 6);
    std::string detail = safe + ": 1024 bytes, bootloader road, ";
    EXPECT_EQ(download.output.compare(0, detail.size(), detail), 0) << download.output;
    std::string identity = "kvfwdn: " + safe + ": 1024 bytes, sha256 ";
    EXPECT_EQ(download.errors.compare(0, identity.size(), identity), 0) << download.errors;
    EXPECT_EQ(download.errors.find('\x1b'), std::string::npos) << download.errors;
    json record = json::parse(ReadWholeFile(options.history), nullptr, false);
    EXPECT_EQ(record["file_hex"], folderHex + hex);
    EXPECT_EQ(record["file"], infoJson["file"]);

    std::string plain = dir.write("plain.bin", PrinterFirmware(1024));
    json plainJson = json::parse(RunToolArgs({"info", plain, "--json"}).output, nullptr, false);
    EXPECT_EQ(plainJson["file"], plain);
    EXPECT_TRUE(plainJson["file_hex"].is_null());
}
