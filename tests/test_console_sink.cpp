// The libraries' console output goes where the front end points it: standard
// output for the menus (byte for byte), standard error or nowhere for the
// command line, which then prints only its result on standard output.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rpu/RpuFwDn.h"
#include "app/console/ConsoleRenderer.h"
#include "sim/VirtualBootloader.h"
#include "support/BootTarget.h"
#include "support/TtyErrors.h"
#include "test_cdu_util.h"

namespace {

std::string Bar(const char* label, int percent, const char* end) {
    std::string s = label;
    for (int j = 0; j < 25; ++j)
        s += (j == percent / 4) ? '>' : (j < percent / 4 ? '=' : ' ');
    return s + "] " + std::to_string(percent) + "%" + end;
}

struct Streams {
    int result;
    std::string out, err;
};

// A printer download of 200 bytes (one full packet, one partial) with the
// console pointed at `target`.
Streams Download(ConsoleTarget target, const std::string& port) {
    std::vector<unsigned char> image = Firmware(200);
    CKvRPUFwDn dn;
    snprintf(dn.szPortName, sizeof dn.szPortName, "%s", port.c_str());
    char path[] = "fw.bin";
    StdoutGrab err(2);
    StdoutGrab out;
    int r;
    {
        ConsoleTargetScope scope(target);
        r = dn.FirmwareDownloadImage(path, image.data(), image.size());
    }
    return {r, out.stop(), err.stop()};
}

} // namespace

TEST(ConsoleSink, LibraryOutputGoesToTheChosenTarget) {
    const std::string expected = " Start firmware downloading.\n" + Bar(" Download : [", 50, "\r") +
                                 Bar(" Download : [", 100, "\n") + Bar(" Verify   : [", 50, "\r") +
                                 Bar(" Verify   : [", 100, "\n");
    const ConsoleTarget targets[] = {CONSOLE_STDOUT, CONSOLE_STDERR, CONSOLE_NOWHERE};
    for (ConsoleTarget target : targets) {
        SCOPED_TRACE(target);
        VirtualLine line;
        VirtualBootloader boot(line, BootloaderConfig());
        boot.start();
        Streams s = Download(target, line.slavePath());
        EXPECT_EQ(DN_OK, s.result);
        EXPECT_EQ(target == CONSOLE_STDOUT ? expected : "", s.out);
        EXPECT_EQ(target == CONSOLE_STDERR ? expected : "", s.err);
        EXPECT_EQ(CONSOLE_STDOUT, GetConsoleTarget()); // the scope puts it back
    }
}

// The command line with --json: only its JSON line on standard output while
// the download runs; on standard error, only when it is a terminal and -q is
// not given, the progress line in place of the bars and the closing line.
TEST(ConsoleSink, CommandLineKeepsStandardOutputForItsResult) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", PrinterFirmware(300));
    for (bool quiet : {false, true}) {
        VirtualLine line;
        VirtualBootloader boot(line, BootloaderConfig());
        boot.start();
        std::vector<std::string> args = {"rpu", "download", "-p", line.slavePath(), file, "--json"};
        if (quiet)
            args.push_back("-q");
        ToolRun run = RunToolErrorsOnTty(args);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(0, run.exitCode) << run.errors;
        ASSERT_FALSE(run.output.empty());
        EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
        nlohmann::json result = nlohmann::json::parse(run.output, nullptr, false);
        EXPECT_EQ(0, result["exit"]) << run.output;
        // The last state of each phase stands, ended by the newline.
        bool shown =
            run.errors.find("write  300/300 bytes  ") != std::string::npos &&
            run.errors.find("verify 300/300 bytes  ") != std::string::npos &&
            run.errors.find(" left\r\n300 bytes written and verified in ") != std::string::npos &&
            run.errors.find(" Start firmware downloading.\r\n") != std::string::npos;
        EXPECT_EQ(!quiet, shown) << run.errors;
        EXPECT_EQ(std::string::npos, run.errors.find(" Download : [")) << run.errors;
        if (quiet) {
            EXPECT_EQ(std::string::npos, run.errors.find("write ")) << run.errors;
        }
    }
}
