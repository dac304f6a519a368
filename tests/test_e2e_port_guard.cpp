// How kvfwdn guards a port and the terminal: lock files that other serial
// programs honour, closed standard descriptors, the controlling terminal as a
// port, long link names, and device text that must not drive the terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/LockFile.h" // LockFolder
#include "sim/VirtualDispenser.h"
#include "sim/VirtualPrinter.h"
#include "support/KvsimChild.h"
#include "support/LockFiles.h"
#include "support/RunTool.h"
#include "support/ServedDevice.h"
#include "test_cdu_util.h"
#include "test_e2e_rpu_dialogue.h"

using nlohmann::json;
using namespace rpu_dialogue;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Runs `command` with sh; its exit status, or -1.
int Shell(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Printer = ServedDevice<VirtualPrinter, PrinterConfig>;

const std::string kVersionText = "Current F/W Ver : V1.23, CRC : 0x0AB3\n";

} // namespace

TEST(PortGuard, DefaultLockFolder) {
    unsetenv("KVFWDN_LOCK_DIR");
    struct stat st;
    bool runLock = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode);
    EXPECT_STREQ(LockFolder(), runLock ? "/run/lock" : "/var/lock");
}

// A live process's lock file keeps kvfwdn off the port, in the menus and on
// the command line, without a byte written; a dead one's is taken over and
// removed at the end; without a lock folder the port is still used.
TEST(PortGuard, LockFileOfAnotherProgram) {
    ScratchDir locks;
    setenv("KVFWDN_LOCK_DIR", locks.path().c_str(), 1);
    Printer p;
    std::string lock = locks.file(LockNameOf(p.port));
    pid_t holder = fork(); // lives until it is killed
    if (holder == 0)
        for (;;)
            pause();
    ASSERT_GT(holder, 0);
    std::ofstream(lock) << PidText(holder);
    std::string inUse =
        "kvfwdn: " + p.port + ": in use by another program (PID " + std::to_string(holder) + ")\n";

    ToolRun run = RunToolArgs({"rpu", "version", "-p", p.port});
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(run.errors, inUse);
    ToolOptions options;
    options.captureErrors = true;
    run = RunTool("1\n1\n" + p.port + "\nq\nq\n", options);
    EXPECT_EQ(run.output, EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                              p.port + " Open Fail\n" + CannotOpenPort() + QuitBoth());
    EXPECT_EQ(run.errors, inUse);
    EXPECT_TRUE(p.device.received().empty());
    EXPECT_EQ(ReadFile(lock), PidText(holder));

    kill(holder, SIGKILL); // its lock file is stale now
    waitpid(holder, nullptr, 0);
    run = RunToolArgs({"rpu", "version", "-p", p.port});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, p.port + " answered at 115200 baud\n" + kVersionText);
    EXPECT_EQ(run.errors, "");
    EXPECT_FALSE(Exists(lock));

    std::string none = locks.file("none");
    setenv("KVFWDN_LOCK_DIR", none.c_str(), 1);
    run = RunToolArgs({"rpu", "version", "-p", p.port});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.errors, "kvfwdn: " + p.port + ": no lock folder " + none +
                              "; the port is locked without a lock file\n");
    unsetenv("KVFWDN_LOCK_DIR");
}

// The loader road closes and reopens its port; its lock file stays from the
// first open to the end (made once, never removed meanwhile), a second
// kvfwdn is refused all the while, and the download completes.
TEST(PortGuard, LoaderRoadHoldsItsPortThroughTheReopens) {
    ScratchDir locks;
    setenv("KVFWDN_LOCK_DIR", locks.path().c_str(), 1);
    ScratchDir dir;
    Kvsim kvsim({"--dir", dir.path()});
    ASSERT_TRUE(kvsim.waitFor("kvsim> ", 10000)) << kvsim.output;
    std::string cdu = dir.file("cdu");
    char target[256] = {0};
    ASSERT_GT(readlink(cdu.c_str(), target, sizeof target - 1), 0);
    std::string lock = locks.file(LockNameOf(target));
    std::string file = dir.write("cirn.bin", Firmware(30000, "CIRN7_cdu7_17A100_2020", 16));

    int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, locks.path().c_str(), IN_CREATE | IN_DELETE), 0);
    std::atomic<bool> ended(false);
    ToolRun download;
    std::thread first([&] {
        download = RunToolArgs({"cdu", "download", "-p", cdu, file});
        ended = true;
    });
    for (int i = 0; i < 1000 && !Exists(lock) && !ended; ++i)
        usleep(5000);
    std::string owner = ReadFile(lock);
    int refused = 0, created = 0, removed = 0;
    while (!ended) {
        ToolRun second = RunToolArgs({"cdu", "version", "-p", cdu});
        if (ended)
            break;
        ++refused;
        EXPECT_EQ(second.exitCode, 6);
        EXPECT_EQ(second.errors, "kvfwdn: " + cdu + ": in use by another program (PID " +
                                     std::to_string(atoi(owner.c_str())) + ")\n");
        CountEvents(watch, LockNameOf(target), &created, &removed); // while it runs
    }
    first.join();
    EXPECT_EQ(download.exitCode, 0) << download.output;
    EXPECT_GT(refused, 2);
    EXPECT_FALSE(Exists(lock));
    close(watch);
    // Taken once and never removed while the download ran; the loop may
    // just have seen its one removal at the end of the action.
    EXPECT_EQ(created, 1);
    EXPECT_LE(removed, 1);
    unsetenv("KVFWDN_LOCK_DIR");
}

// Started with standard descriptors closed, the tool still takes its port.
TEST(PortGuard, ClosedStandardDescriptors) {
    Printer p;
    ScratchDir dir;
    std::string tool = std::string("'") + KVFWDN_EXE + "' rpu version -p " + p.port;
    std::string out = dir.file("out"), err = dir.file("err");
    EXPECT_EQ(Shell(tool + " >&- 2>" + err), 0);
    EXPECT_EQ(ReadFile(err), "");
    EXPECT_EQ(Shell(tool + " 2>&- >" + out), 0);
    EXPECT_EQ(ReadFile(out), p.port + " answered at 115200 baud\n" + kVersionText);
    EXPECT_EQ(Shell(tool + " <&- >&- 2>&-"), 0);
}

// The terminal of the tool's own session is refused as a port: nothing is
// written to it and its settings stay as they were.
TEST(PortGuard, ControllingTerminalRefused) {
    VirtualLine line;
    const std::string& slave = line.slavePath();
    struct termios before, after;
    ASSERT_EQ(tcgetattr(line.masterFd(), &before), 0);
    ScratchDir dir;
    std::string err = dir.file("err");
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int tty = open(slave.c_str(), O_RDWR); // becomes the controlling terminal
        int null = open("/dev/null", O_RDWR);
        int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (tty < 0 || null < 0 || errFd < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 ||
            dup2(errFd, 2) < 0)
            _exit(99);
        execl(KVFWDN_EXE, KVFWDN_EXE, "rpu", "version", "-p", slave.c_str(), (char*)nullptr);
        _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 6 << 8);
    EXPECT_EQ(ReadFile(err),
              "kvfwdn: " + slave + ": this is the terminal of this session, not a serial port\n");
    unsigned char byte;
    EXPECT_FALSE(line.readByte(&byte, 100)); // nothing written to it
    ASSERT_EQ(tcgetattr(line.masterFd(), &after), 0);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
}

// A link name longer than the port field is taken as the device it names,
// which is then shown and saved; one that does not fit either is refused.
TEST(PortGuard, LongLinkNames) {
    Printer p;
    ScratchDir dir;
    std::string byId = dir.file("serial-by-id");
    ASSERT_EQ(mkdir(byId.c_str(), 0755), 0);
    std::string link =
        byId + "/usb-Example_USB_to_UART_Bridge_Controller_" + std::string(40, '7') + "-if00-port0";
    ASSERT_GT(link.size(), 110u);
    ASSERT_EQ(symlink(p.port.c_str(), link.c_str()), 0);
    std::string note = "kvfwdn: " + link + ": longer than 99 characters, taken as " + p.port + "\n";

    ToolRun run = RunToolArgs({"rpu", "version", "-p", link, "--json"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(json::parse(run.output, nullptr, false)["port"], p.port);
    EXPECT_EQ(run.errors, note);

    ToolOptions options;
    options.captureErrors = true;
    run = RunTool("1\n1\n" + link + "\n1\n\nq\nq\n", options);
    std::string answer = "\n " + p.port + ",115200 Open Success\n " + kVersionText;
    EXPECT_EQ(run.output, EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + answer +
                              NextRound() + PortPrompt(p.port) + VersionHeading() + answer +
                              QuitBoth());
    EXPECT_EQ(run.errors, note);

    std::string longFile = dir.file(std::string(110, 'f'));
    std::ofstream(longFile) << "x";
    std::string longLink = byId + "/" + std::string(100, 'l');
    ASSERT_EQ(symlink(longFile.c_str(), longLink.c_str()), 0);
    EXPECT_EQ(RunToolArgs({"rpu", "version", "-p", longLink}).exitCode, 64);
}

// Bytes outside printable ASCII in a device's text reach the terminal as
// '?', in the menus and in command-line text; JSON keeps them escaped.
TEST(PortGuard, DeviceTextMadeSafe) {
    PrinterConfig printerConfig;
    printerConfig.version = "\x1b[2J\x07";
    Printer p(printerConfig);
    const std::string shown = "Current F/W Ver : ?[2J?, CRC : 0x0AB3\n";
    ToolRun run = RunTool("1\n1\n" + p.port + "\nq\nq\n");
    EXPECT_EQ(run.output, EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                              p.port + ",115200 Open Success\n " + shown + QuitBoth());
    run = RunToolArgs({"rpu", "version", "-p", p.port});
    EXPECT_EQ(run.output, p.port + " answered at 115200 baud\n" + shown);
    run = RunToolArgs({"rpu", "version", "-p", p.port, "--json"});
    EXPECT_NE(run.output.find("\"version\":\"\\u001b[2J\\u0007\""), std::string::npos)
        << run.output;

    DispenserConfig dispenserConfig;
    dispenserConfig.version = "DSP12\x1b]0;X\x7f"
                              "R0";
    VirtualLine line;
    VirtualDispenser dispenser(line, dispenserConfig);
    dispenser.start();
    run = RunTool("2\n1\n" + line.slavePath() + "\nq\nq\n");
    EXPECT_NE(run.output.find("\n Current F/W Ver : DSP12?]0;X?R0, CST : 2\n"), std::string::npos)
        << run.output;
}
