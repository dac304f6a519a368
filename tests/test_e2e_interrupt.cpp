// SIGINT, SIGTERM and SIGHUP to a running kvfwdn: mid-download on either
// progress bar, and at a prompt.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "sim/VirtualLoader.h"
#include "support/Dialogue.h"
#include "support/RunTool.h"
#include "test_cdu_util.h"

namespace {

std::string Interrupted(const std::string& signal, bool download) {
    return "kvfwdn: interrupted by " + signal +
           (download ? " during a download: the device may hold a partial image; put it back "
                       "in boot mode and download again"
                     : "") +
           ".\n";
}

ToolOptions SignalWhen(int signal, const std::string& after) {
    ToolOptions options;
    options.timeoutMs = 30000;
    options.captureErrors = true;
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

// The bar drawn, cut by the signal and ended with a newline.
void ExpectBarEnded(const std::string& output) {
    EXPECT_NE(std::string::npos, output.find(" Download : ["));
    ASSERT_GE(output.size(), 40u);
    EXPECT_EQ("%\r\n", output.substr(output.size() - 3)) << output.substr(output.size() - 40);
}

} // namespace

TEST(E2eInterrupt, SignalMidDownloadOnEitherRoad) {
    ScratchDir dir;
    {
        VirtualLine line;
        struct termios before = SetForeignSettings(line);
        VirtualBootloader boot(line, BootloaderConfig());
        boot.start();
        std::string path = dir.write("rpu.bin", PrinterFirmware(256 * 1024));
        ToolRun run = RunTool("1\n2\n" + line.slavePath() + "\n" + path + "\ny\n",
                              SignalWhen(SIGINT, " Download : ["));
        EXPECT_EQ(128 + SIGINT, run.exitCode);
        EXPECT_EQ(IdentityLine(path, "printer firmware") + Interrupted("SIGINT", true), run.errors);
        ExpectBarEnded(run.output);
        struct termios after {};
        tcgetattr(line.masterFd(), &after);
        EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after))
            << "line settings not restored: needs the ports recorded in the held-port table";
    }
    {
        VirtualLine line;
        VirtualLoader loader(line, LoaderConfig());
        loader.start();
        std::string path = dir.write("cdu.bin", Firmware(200 * 1024, "CDU_0W1800_", 0));
        ToolRun run = RunTool("2\n3\n" + line.slavePath() + "\n" + path + "\ny\n",
                              SignalWhen(SIGTERM, " Download : ["));
        EXPECT_EQ(128 + SIGTERM, run.exitCode);
        // This build carries the placeholder loader, so its warning comes first.
        EXPECT_EQ(IdentityLine(path, "dispenser firmware, model MIRO, loader road") +
                      dialogue::PLACEHOLDER_LOADER_WARNING + Interrupted("SIGTERM", true),
                  run.errors);
        ExpectBarEnded(run.output);
    }
}

TEST(E2eInterrupt, SignalAtAPrompt) {
    ToolOptions options = SignalWhen(SIGHUP, "");
    options.keepInputOpen = true; // the tool waits at the printer menu
    ToolRun run = RunTool("1\n", options);
    EXPECT_EQ(128 + SIGHUP, run.exitCode);
    EXPECT_EQ(Interrupted("SIGHUP", false), run.errors);
}
