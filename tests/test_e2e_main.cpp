// The built kvfwdn driven through its main menu with scripted input. After
// the keys 1 and 2 the device menu takes over, so those cases assert the
// main-menu part of the output: the frame, the start line, and the end.
#include "support/Dialogue.h"
#include "support/RunTool.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::string kFrame = dialogue::MainFrame();
const std::string kEnd = dialogue::ProgramEnd();
const std::string kAbnormalEnd = "\n ABNORMAL SELECTED \n -- LINUX F/W Download Program END --\n";
const std::string kStartRpu = "\n -- START RPU F/W DOWNLOAD -- \n";
const std::string kStartCdu = "\n -- START CDU F/W DOWNLOAD -- \n";

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TEST(MainMenuE2E, QuitKeysInBothCases) {
    for (const char* input : {"q\n", "Q\n", "  \n q"}) {
        ToolRun run = RunTool(input, 20000);
        ASSERT_FALSE(run.timedOut) << input;
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, kFrame + kEnd) << input;
    }
}

TEST(MainMenuE2E, AnyOtherKeyIsAnAbnormalSelection) {
    for (const char* input : {"x\n", "3\n", "0\n", "qx"}) {
        ToolRun run = RunTool(input, 20000);
        ASSERT_FALSE(run.timedOut) << input;
        EXPECT_EQ(run.exitCode, 0);
        // "qx" is q: the key is the first character only.
        EXPECT_EQ(run.output, kFrame + (input[0] == 'q' ? kEnd : kAbnormalEnd)) << input;
    }
}

TEST(MainMenuE2E, EndOfInputEndsAsQuitDoes) {
    for (const char* input : {"", "\n\n  \n"}) {
        ToolRun run = RunTool(input, 20000);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, kFrame + kEnd);
    }
}

TEST(MainMenuE2E, KeyOneStartsThePrinterMenu) {
    // Blanks before the key are skipped; "12" is the key 1 and its 2 is not
    // taken as the printer menu's key (nor as the dispenser).
    for (const char* input : {"  1\n", "12\n"}) {
        ToolRun run = RunTool(input, 20000);
        ASSERT_FALSE(run.timedOut) << input;
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output.compare(0, kFrame.size() + kStartRpu.size(), kFrame + kStartRpu), 0)
            << run.output;
        EXPECT_EQ(run.output.find(kStartCdu), std::string::npos);
        // The device menu leaves at the end of input and the main menu ends.
        EXPECT_TRUE(EndsWith(run.output, kFrame + kEnd)) << run.output;
    }
}

TEST(MainMenuE2E, KeyTwoStartsTheDispenserMenu) {
    ToolRun run = RunTool("2\n", 20000);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.compare(0, kFrame.size() + kStartCdu.size(), kFrame + kStartCdu), 0)
        << run.output;
    EXPECT_EQ(run.output.find(kStartRpu), std::string::npos);
    EXPECT_TRUE(EndsWith(run.output, kFrame + kEnd)) << run.output;
}
