// kvsim's directory: a user's files are never touched, kvsim's own mark,
// directories of others refused; its command line, --version and usage
// errors, and a control line too long to keep.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/KvsimChild.h"
#include "support/ScratchDir.h"

namespace {

struct KvsimRun {
    std::string output; // standard output and error
    int exitCode = -1;
};

// kvsim with `args` and no input: it starts, finds the end of its input
// and stops.
KvsimRun RunKvsim(const std::string& args) {
    KvsimRun run;
    FILE* child = popen((KvsimExe() + " " + args + " </dev/null 2>&1").c_str(), "r");
    if (child == nullptr)
        return run;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, child) != nullptr)
        run.output += buffer;
    int status = pclose(child);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace

TEST(KvsimDir, ForeignFilesRefusedMarkedDirectoryTakenOver) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::ofstream(dir.path() + "/control") << "my notes\n";
    std::ofstream(dir.path() + "/rpu") << "my printer\n";
    KvsimRun refused = RunKvsim("--dir " + dir.path());
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.output.find("(control, rpu)"), std::string::npos) << refused.output;
    EXPECT_EQ(ReadWholeFile(dir.path() + "/control"), "my notes\n");
    EXPECT_EQ(ReadWholeFile(dir.path() + "/rpu"), "my printer\n");
    EXPECT_FALSE(PathExists(dir.path() + "/.kvsim"));
    EXPECT_FALSE(PathExists(dir.path() + "/rpu-sample.bin"));

    // An empty directory is marked; the mark stays. The next start takes it
    // over and removes the last run's flash and image.
    unlink((dir.path() + "/control").c_str());
    unlink((dir.path() + "/rpu").c_str());
    EXPECT_EQ(RunKvsim("--dir " + dir.path()).exitCode, 0);
    EXPECT_TRUE(PathExists(dir.path() + "/.kvsim"));
    for (const char* name : {"rpu-flash.bin", "cdu-flash.bin", "cdu-image.bin"})
        std::ofstream(dir.path() + "/" + name) << "last run\n";
    KvsimRun again = RunKvsim("--dir " + dir.path());
    EXPECT_EQ(again.exitCode, 0) << again.output;
    for (const char* name : {"rpu-flash.bin", "cdu-flash.bin", "cdu-image.bin"})
        EXPECT_FALSE(PathExists(dir.path() + "/" + name)) << name;
    EXPECT_TRUE(PathExists(dir.path() + "/rpu-sample.bin"));

    // Writable by others, or another user's: refused.
    chmod(dir.path().c_str(), 0777);
    EXPECT_EQ(RunKvsim("--dir " + dir.path()).exitCode, 2);
    chmod(dir.path().c_str(), 0700);
    if (getuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
        KvsimRun foreign = RunKvsim("--dir " + dir.path());
        EXPECT_EQ(foreign.exitCode, 2);
        EXPECT_NE(foreign.output.find("another user's"), std::string::npos) << foreign.output;
        ASSERT_EQ(chown(dir.path().c_str(), 0, 0), 0);
    }
}

TEST(KvsimDir, VersionHelpAndUsageErrors) {
    KvsimRun version = RunKvsim("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "kvsim " KVFWDN_VERSION "\n");
    KvsimRun help = RunKvsim("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : {"status", "quit", "rpu online|boot|auto", "rpu fault LIST",
                                "rpu baud RATE|any", "rpu save [FILE]", "cdu online|boot|auto",
                                "cdu road loader|bootloader", "cdu fault LIST", "cdu save [FILE]"})
        EXPECT_NE(help.output.find("  " + std::string(command) + " "), std::string::npos)
            << command;
    for (const char* wrong : {"--frobnicate", "--dir", "--run", "--rpu-mode"})
        EXPECT_EQ(RunKvsim(wrong).exitCode, 64) << wrong;
}

// A wrong value or option is refused with exit 64 before the directory is
// looked at: the last run's files stay, no kvsim.pid is made, and a kvsim
// serving the directory does not hide the reason.
TEST(KvsimDir, OptionErrorsComeFirst) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::ofstream(dir.path() + "/.kvsim") << "";
    std::ofstream(dir.path() + "/rpu-flash.bin") << "last run\n";
    const struct {
        const char* args;
        const char* reason;
    } cases[] = {
        {"--rpu-fault erse", "unknown printer fault \"erse\""},
        {"--rpu-mode bogus", "--rpu-mode wants auto, online or boot"},
        {"--rpu-bogus x", "unknown option --rpu-bogus"},
        {"--rpu-baud 12345", "--rpu-baud wants 9600, 57600, 115200, 460800 or \"any\""},
        {"--rpu-version ABCDEFGH", "--rpu-version wants 5 printable characters"},
        {"--rpu-crc 0x12", "--rpu-crc wants four hexadecimal digits"},
        {"--cdu-road river", "--cdu-road wants loader or bootloader"},
        {"--rpu-fault --run true", "--rpu-fault needs a value"},
        {"--serve --run true", "--serve and --run do not go together"},
    };
    for (int serving = 0; serving < 2; ++serving) {
        std::unique_ptr<Kvsim> kvsim;
        if (serving) {
            kvsim.reset(new Kvsim({"--dir", dir.path(), "--serve"}));
            ASSERT_TRUE(kvsim->waitFor("Serving until SIGINT or SIGTERM", 10000)) << kvsim->output;
            std::ofstream(dir.path() + "/rpu-flash.bin") << "last run\n";
        }
        for (const auto& c : cases) {
            KvsimRun run = RunKvsim("--dir " + dir.path() + " " + c.args);
            EXPECT_EQ(run.exitCode, 64) << c.args;
            EXPECT_EQ(run.output, "kvsim: " + std::string(c.reason) + " (see kvsim --help)\n");
            EXPECT_EQ(ReadWholeFile(dir.path() + "/rpu-flash.bin"), "last run\n") << c.args;
            EXPECT_EQ(PathExists(dir.path() + "/kvsim.pid"), serving == 1) << c.args;
        }
        if (kvsim) {
            // --serve reads no input and ends at SIGTERM, its pid file gone.
            kvsim->closeInput();
            EXPECT_TRUE(PathExists(dir.path() + "/rpu"));
            kvsim->signal(SIGTERM);
            EXPECT_EQ(kvsim->finish(10000), 0) << kvsim->output;
            EXPECT_FALSE(PathExists(dir.path() + "/kvsim.pid"));
            EXPECT_FALSE(PathExists(dir.path() + "/rpu"));
        }
    }
}

// A control line of a megabyte is dropped whole, with a note in the log;
// the next command is carried out.
TEST(KvsimDir, OverlongControlLineIsDropped) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    Kvsim kvsim({"--dir", dir.path()});
    ASSERT_TRUE(kvsim.waitFor("kvsim> ", 10000)) << kvsim.output;
    {
        std::ofstream control(dir.path() + "/control");
        control << std::string(1 << 20, 'x') << "\n";
    }
    ASSERT_TRUE(KvsimControl(dir.path(), "rpu fault erase"));
    EXPECT_EQ(ReadWholeFile(dir.path() + "/kvsim.log"),
              "kvsim: a command line longer than 4096 bytes was ignored\n"
              "> rpu fault erase\nrpu: faults erase\n");
    kvsim.send("quit\n");
    EXPECT_EQ(kvsim.finish(10000), 0);
}
