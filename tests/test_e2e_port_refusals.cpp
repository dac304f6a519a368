// Locks and ports that keep the tool off a line: a stale lock that many
// tools race for, locks that cannot be read or hold no PID, a busy port in
// the printer's baud scan, the system console and a device that is no
// terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sim/VirtualPrinter.h"
#include "support/LockFiles.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "support/ServedDevice.h"
#include "test_e2e_rpu_dialogue.h"

using namespace rpu_dialogue;

namespace {

using Printer = ServedDevice<VirtualPrinter, PrinterConfig>;

// The PID of a process that has ended.
pid_t DeadPid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Runs `command` with sh; its exit status, or -1.
int Shell(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A watch on the lock folder for the lock file `name`.
struct LockWatch {
    int fd;
    std::string name;
    LockWatch(const std::string& folder, const std::string& lock) : name(lock) {
        fd = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE);
    }
    ~LockWatch() { close(fd); }
    void count(int* created, int* removed) {
        *created = *removed = 0;
        CountEvents(fd, name, created, removed);
    }
};

} // namespace

// Tools that find one stale lock at once: exactly one takes it over, the
// others find its live lock and exit 6; each holder's lock is made once and
// removed once, by itself, so no action runs without one.
TEST(PortRefusals, StaleLockRaceHasOneHolderAtATime) {
    ScratchDir locks;
    setenv("KVFWDN_LOCK_DIR", locks.path().c_str(), 1);
    Printer p;
    std::string lock = locks.file(LockNameOf(p.port));
    LockWatch watch(locks.path(), LockNameOf(p.port));
    for (int round = 0; round < 4; ++round) {
        std::ofstream(lock) << PidText(DeadPid());
        int created, removed;
        watch.count(&created, &removed); // the stale file itself
        std::atomic<int> answered{0};
        std::mutex mutex;
        std::vector<std::string> other;
        std::vector<std::thread> tools;
        for (int i = 0; i < 8; ++i)
            tools.emplace_back([&] {
                ToolRun run = RunToolArgs({"rpu", "version", "-p", p.port}, 30000);
                if (run.exitCode == 0)
                    ++answered;
                else if (run.exitCode != 6 ||
                         run.errors.find(": in use by another program (PID ") ==
                             std::string::npos) {
                    std::lock_guard<std::mutex> hold(mutex);
                    other.push_back(std::to_string(run.exitCode) + ": " + run.errors);
                }
            });
        for (std::thread& tool : tools)
            tool.join();
        watch.count(&created, &removed);
        EXPECT_TRUE(other.empty()) << other.front();
        EXPECT_GE(answered.load(), 1);
        EXPECT_EQ(created, answered.load()) << "round " << round;
        EXPECT_EQ(removed, answered.load()) << "round " << round;
        EXPECT_FALSE(Exists(lock));
    }
    unsetenv("KVFWDN_LOCK_DIR");
}

// A lock file that this user cannot read (another user's, mode 0600), or
// that holds no PID, is another program's: exit 6, the file named, left as
// it is and nothing sent; in a sticky folder and in one the user cannot
// write alike.
TEST(PortRefusals, UnreadableOrEmptyLockIsHeld) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as another user";
    ScratchDir locks;
    Printer p;
    std::string name = LockNameOf(p.port);
    std::string lock = locks.file(name);
    std::string errors = locks.file("errors");
    const std::string noPid = "in use by another program (lock file " + name +
                              " holds no PID; remove it if no program uses the port)";
    const struct {
        const char* content;
        mode_t mode;
        const char* folderMode;
        std::string reason;
    } cases[] = {
        {"  4711\n", 0600, "1777",
         "in use by another program (lock file " + name + ", not readable)"},
        {"  4711\n", 0600, "0755",
         "in use by another program (lock file " + name + ", not readable)"},
        {"", 0644, "1777", noPid},
        {"garbage\n", 0644, "0755", noPid},
    };
    for (const auto& c : cases) {
        std::ofstream(lock) << c.content;
        chmod(lock.c_str(), c.mode);
        chmod(locks.path().c_str(), static_cast<mode_t>(std::stoi(c.folderMode, nullptr, 8)));
        int exit = Shell("KVFWDN_HISTORY=off KVFWDN_LOCK_DIR=" + locks.path() +
                         " setpriv --reuid=65534 --regid=65534 --clear-groups " KVFWDN_EXE
                         " rpu version -p " +
                         p.port + " >/dev/null 2>" + errors);
        EXPECT_EQ(exit, 6) << c.reason;
        EXPECT_EQ(ReadWholeFile(errors), "kvfwdn: " + p.port + ": " + c.reason + "\n");
        EXPECT_EQ(ReadWholeFile(lock), c.content);
    }
    // Root reads everything: an empty lock holds it off too.
    setenv("KVFWDN_LOCK_DIR", locks.path().c_str(), 1);
    ToolRun run = RunToolArgs({"rpu", "version", "-p", p.port});
    unsetenv("KVFWDN_LOCK_DIR");
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(run.errors, "kvfwdn: " + p.port + ": " + noPid + "\n");
    EXPECT_TRUE(p.device.received().empty());
}

// A port that another program holds ends the printer's baud scan at its
// first rate, on the command line and in the menus (same text as before):
// the lock file is made once, not once per rate.
TEST(PortRefusals, BusyPortEndsBaudScan) {
    ScratchDir locks;
    setenv("KVFWDN_LOCK_DIR", locks.path().c_str(), 1);
    Printer p;
    int holder = open(p.port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    LockWatch watch(locks.path(), LockNameOf(p.port));
    int created, removed;
    ToolRun run = RunToolArgs({"rpu", "version", "-p", p.port});
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(run.errors, "kvfwdn: " + p.port + ": in use by another program\n");
    watch.count(&created, &removed);
    EXPECT_EQ(created, 1);
    ToolOptions options = CapturingOptions();
    run = RunTool("1\n1\n" + p.port + "\nq\nq\n", options);
    EXPECT_EQ(run.output, EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                              p.port + " Open Fail\n" + CannotOpenPort() + QuitBoth());
    watch.count(&created, &removed);
    EXPECT_EQ(created, 1);
    EXPECT_TRUE(p.device.received().empty());
    close(holder);
    unsetenv("KVFWDN_LOCK_DIR");
}

// The tty that the kernel's console is on (here a pty named in a made-up
// sysfs) is refused before a byte is written; /dev/null is no serial port,
// whatever standard input is.
TEST(PortRefusals, SystemConsoleAndNonTerminal) {
    ScratchDir sysfs;
    Printer p;
    std::string console = p.port.substr(5); // "pts/N"
    ASSERT_EQ(Shell("mkdir -p " + sysfs.path() + "/class/tty/console && echo 'tty0 " + console +
                    "' >" + sysfs.path() + "/class/tty/console/active"),
              0);
    ToolOptions options = CapturingOptions();
    options.args = {"rpu", "version", "-p", p.port};
    options.env = {"KVFWDN_SYSFS=" + sysfs.path()};
    ToolRun run = RunTool("", options);
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(run.errors, "kvfwdn: " + p.port + ": this is the system console (console=" + console +
                              "), not a device port\n");
    EXPECT_TRUE(p.device.received().empty());

    std::string errors = sysfs.file("errors");
    EXPECT_EQ(Shell("KVFWDN_HISTORY=off " KVFWDN_EXE " rpu version -p /dev/null </dev/null "
                    ">/dev/null 2>" +
                    errors),
              6);
    EXPECT_EQ(ReadWholeFile(errors), "kvfwdn: /dev/null: not a serial port\n");
}
