// SIGINT, SIGTERM, SIGHUP and SIGQUIT to a running kvfwdn: mid-download on
// either progress bar, and at a prompt; a --json download interrupted; the
// reader of the output gone mid-download (SIGPIPE).
#include <csignal>
#include <dirent.h>
#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "sim/VirtualLoader.h"
#include "support/Dialogue.h"
#include "support/RunTool.h"
#include "test_cdu_util.h"

using nlohmann::json;

namespace {

std::string Interrupted(const std::string& signal, bool download) {
    return "kvfwdn: interrupted by " + signal +
           (download ? " during a download: the device may hold a partial image; put it back "
                       "in boot mode and download again"
                     : "") +
           ".\n";
}

ToolOptions SignalWhen(int signal, const std::string& after) {
    ToolOptions options = CapturingOptions();
    options.signal = signal;
    options.signalAfter = after;
    return options;
}

// The line settings the tool must put back: another program's 9600 baud.
struct termios SetForeignSettings(const VirtualLine& line) {
    struct termios tio {};
    int fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        tcgetattr(fd, &tio);
        cfsetspeed(&tio, B9600);
        tcsetattr(fd, TCSANOW, &tio);
        close(fd);
    }
    tcgetattr(line.masterFd(), &tio);
    return tio;
}

// A bootloader on a line that another program left at 9600 baud.
struct ForeignLineBoot {
    VirtualLine line;
    struct termios before = SetForeignSettings(line);
    VirtualBootloader boot{line, BootloaderConfig()};
    ForeignLineBoot() { boot.start(); }
    speed_t speedNow() const {
        struct termios now {};
        tcgetattr(line.masterFd(), &now);
        return cfgetospeed(&now);
    }
};

// The bar drawn, cut by the signal and ended with a newline.
void ExpectBarEnded(const std::string& output) {
    EXPECT_NE(std::string::npos, output.find(" Download : ["));
    ASSERT_GE(output.size(), 40u);
    EXPECT_EQ("%\r\n", output.substr(output.size() - 3)) << output.substr(output.size() - 40);
}

int FilesIn(const std::string& folder) {
    int count = 0;
    DIR* dir = opendir(folder.c_str());
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count - 2; // . and ..
}

} // namespace

TEST(E2eInterrupt, SignalMidDownloadOnEitherRoad) {
    ScratchDir dir;
    {
        ForeignLineBoot printer;
        std::string path = dir.write("rpu.bin", PrinterFirmware(256 * 1024));
        ToolRun run = RunTool("1\n2\n" + printer.line.slavePath() + "\n" + path + "\ny\n",
                              SignalWhen(SIGINT, " Download : ["));
        EXPECT_EQ(128 + SIGINT, run.exitCode);
        EXPECT_EQ(IdentityLine(path, "printer firmware") + Interrupted("SIGINT", true), run.errors);
        ExpectBarEnded(run.output);
        EXPECT_EQ(cfgetospeed(&printer.before), printer.speedNow())
            << "line settings not restored: needs the ports recorded in the held-port table";
    }
    {
        VirtualLine line;
        VirtualLoader loader(line, LoaderConfig());
        loader.start();
        std::string path = dir.write("cdu.bin", Firmware(200 * 1024, "CDU_0W1800_", 0));
        ScratchDir locks;
        setenv("KVFWDN_LOCK_DIR", locks.path().c_str(), 1);
        ToolRun run = RunTool("2\n3\n" + line.slavePath() + "\n" + path + "\ny\n",
                              SignalWhen(SIGTERM, " Download : ["));
        unsetenv("KVFWDN_LOCK_DIR");
        EXPECT_EQ(FilesIn(locks.path()), 0) << "the port's lock file is left behind";
        EXPECT_EQ(128 + SIGTERM, run.exitCode);
        // This build carries the placeholder loader, so its warning comes first.
        EXPECT_EQ(IdentityLine(path, "dispenser firmware, model MIRO, loader road") +
                      dialogue::PLACEHOLDER_LOADER_WARNING + Interrupted("SIGTERM", true),
                  run.errors);
        ExpectBarEnded(run.output);
    }
}

TEST(E2eInterrupt, SignalAtAPrompt) {
    for (int sig : {SIGHUP, SIGQUIT}) {
        ToolOptions options = SignalWhen(sig, "");
        options.keepInputOpen = true; // the tool waits at the printer menu
        ToolRun run = RunTool("1\n", options);
        EXPECT_EQ(128 + sig, run.exitCode);
        EXPECT_EQ(Interrupted(sig == SIGHUP ? "SIGHUP" : "SIGQUIT", false), run.errors);
    }
}

// The reader of standard output goes away mid-download: the download
// completes, the line is put back, no further answer is read, exit 9.
TEST(E2eInterrupt, OutputClosedMidDownload) {
    ScratchDir dir;
    ForeignLineBoot printer;
    std::vector<unsigned char> image = PrinterFirmware(64 * 1024);
    std::string path = dir.write("rpu.bin", image);
    ToolOptions options = SignalWhen(0, "");
    options.closeOutputAfter = " Download : [";
    // A second download follows in the answers: it must not be started.
    ToolRun run = RunTool(
        "1\n2\n" + printer.line.slavePath() + "\n" + path + "\ny\n2\n\n\ny\nq\nq\n", options);
    EXPECT_EQ(9, run.exitCode);
    EXPECT_EQ(IdentityLine(path, "printer firmware") +
                  "kvfwdn: standard output was lost; no further answers were read.\n",
              run.errors);
    std::vector<unsigned char> flash = printer.boot.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(1, printer.boot.exchangeCount(0x43)) << "one erase, one download";
    EXPECT_EQ(cfgetospeed(&printer.before), printer.speedNow());
}

// A signal during a --json download: its one JSON line on standard output
// and its record in the history file.
TEST(E2eInterrupt, SignalDuringJsonDownload) {
    ScratchDir dir;
    VirtualLine line;
    BootloaderConfig config;
    config.eraseDelayMs = 6000; // the signal comes while the erase runs
    VirtualBootloader boot(line, config);
    boot.start();
    std::string path = dir.write("rpu.bin", PrinterFirmware(4096));
    ToolOptions options = SignalWhen(SIGINT, "");
    options.signalAfterMs = 2000;
    options.args = {"rpu", "download", "-p", line.slavePath(), path, "--json"};
    options.history = dir.path() + "/history.jsonl";
    ToolRun run = RunTool("", options);
    EXPECT_EQ(130, run.exitCode);
    EXPECT_EQ(IdentityLine(path, "printer firmware") + Interrupted("SIGINT", true), run.errors);
    json result = json::parse(run.output, nullptr, false);
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
    EXPECT_EQ(result["ok"], false) << run.output;
    EXPECT_EQ(result["exit"], 130);
    EXPECT_EQ(result["message"], "interrupted by SIGINT");
    EXPECT_EQ(result["file"], path);
    std::ifstream in(options.history);
    std::string record;
    std::getline(in, record);
    json keys = json::parse(record, nullptr, false);
    EXPECT_EQ(keys["error"], "interrupted by SIGINT") << record;
    EXPECT_EQ(keys["exit"], 130);
    EXPECT_EQ(keys["via"], "cli");
    EXPECT_EQ(keys["bytes"], 4096);
    EXPECT_FALSE(std::getline(in, record)) << "one record";
}
