// The dispenser menu end to end in online mode: kvfwdn run with scripted
// input against the virtual dispenser, its whole output compared.
#include <gtest/gtest.h>

#include "sim/VirtualDispenser.h"
#include "support/RunTool.h"
#include "support/ServedDevice.h"
#include "test_e2e_cdu_dialogue.h"

using namespace cdu_dialogue;

namespace {

using OnlineDispenser = ServedDevice<VirtualDispenser, DispenserConfig>;

} // namespace

TEST(E2eCduOnline, VersionAndCassetteNumber) {
    OnlineDispenser d;
    ToolRun run = RunTool("2\n1\n" + d.port + "\nq\nq\n");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + VersionHeading() + OpenSuccess(d.port) +
                  VersionLine("DSP12A0105R00") + QuitBoth(),
              run.output);
    // Scrambled first, and it worked: one request.
    ASSERT_EQ(1u, d.device.requestLog().size());
    EXPECT_EQ(std::vector<unsigned char>{'V'}, d.device.requestLog()[0]);
    EXPECT_TRUE(d.device.scrambledLog()[0]);
}

TEST(E2eCduOnline, CassetteEntriesOutOfRangeSendNothing) {
    OnlineDispenser d;
    // 0, 7, -1, x, a number too large for an int (which must not wrap to 3),
    // and nothing but the end of the input.
    ToolRun run =
        RunTool("2\n2\n" + d.port + "\n0\n2\n\n7\n2\n\n-1\n2\n\nx\n2\n\n4294967299\n2\n\n");
    EXPECT_EQ(0, run.exitCode);
    std::string round = PortPrompt(d.port) + CassettePrompt() + InvalidCassette() + CduFrame();
    std::string expected = EnterCduMenu() + PortPrompt("/dev/ttyS3") + CassettePrompt() +
                           InvalidCassette() + CduFrame();
    for (int i = 0; i < 5; ++i)
        expected += round;
    // End of input: the menu ends as with q, then the main menu.
    expected += MainFrame() + dialogue::ProgramEnd();
    EXPECT_EQ(expected, run.output);
    EXPECT_EQ(0, d.device.requests());
    EXPECT_EQ(2, d.device.cassette());
}

TEST(E2eCduOnline, CassetteSetAndReadBack) {
    OnlineDispenser d;
    ToolRun run = RunTool("2\n2\n" + d.port + "\n 3\nq\nq\n");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + CassettePrompt() + SetHeading() +
                  OpenSuccess(d.port) + VersionLine("DSP13A0105R00") + QuitBoth(),
              run.output);
    EXPECT_EQ(3, d.device.cassette());
    auto log = d.device.requestLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ((std::vector<unsigned char>{'T', 'M', 'U', '3', '1'}), log[0]);
    EXPECT_EQ(std::vector<unsigned char>{'V'}, log[1]);
}

TEST(E2eCduOnline, PortThatCannotBeOpened) {
    const std::string bad = "/dev/kvfwdn-no-such-port";
    ToolRun run = RunTool("2\n1\n" + bad + "\n2\n\n5\nq\nq\n", 60000, "", true);
    EXPECT_EQ(0, run.exitCode);
    const std::string reason = "kvfwdn: " + bad + ": No such file or directory\n";
    EXPECT_EQ(reason + reason, run.errors); // one line per action
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + VersionHeading() + OpenFail(bad) +
                  CannotOpenPort() + CduFrame() + PortPrompt(bad) + CassettePrompt() +
                  SetHeading() + CannotOpenPort() + QuitBoth(),
              run.output);
}

TEST(E2eCduOnline, OtherKeyAndEndOfInput) {
    // x leaves the menu as an abnormal choice and the main menu goes on.
    ToolRun run = RunTool("2\nx\nq\n");
    EXPECT_EQ(EnterCduMenu() + "\n ABNORMAL SELECTED \n" + MainFrame() + dialogue::ProgramEnd(),
              run.output);
    // Input ending at the port prompt: no input, then the menu ends.
    ToolRun ended = RunTool("2\n1\n");
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") +
                  " No input. Please try again and input value.\n" + CduFrame() + MainFrame() +
                  dialogue::ProgramEnd(),
              ended.output);
}

// Slow: a dispenser that never answers costs both attempts of each request
// their waits.
TEST(E2eCduOnlineSlow, SilentDispenser) {
    DispenserConfig silent;
    silent.line.silent = true;
    OnlineDispenser d(silent);
    ToolRun run = RunTool("2\n1\n" + d.port + "\n2\n\n4\nq\nq\n");
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + VersionHeading() + OpenFail(d.port) +
                  OnlineModeHelp() + CduFrame() + PortPrompt(d.port) + CassettePrompt() +
                  SetHeading() + OnlineModeHelp() + QuitBoth(),
              run.output);
}
