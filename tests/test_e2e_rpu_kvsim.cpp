// kvsim as a newcomer uses it: `kvsim --run kvfwdn` serves the virtual
// printer at <dir>/rpu and gives the terminal to the tool; the control FIFO
// switches faults while kvsim runs.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/KvsimChild.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "test_e2e_rpu_dialogue.h"

using namespace rpu_dialogue;

// The README's first command, scripted: the version query finds the printer
// in online mode, the download of the sample file finds it in boot mode, and
// the flash saved afterwards equals the sample.
TEST(E2eRpuKvsim, RunGivesTheToolBothModes) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string port = dir.path() + "/rpu";
    std::string sample = dir.path() + "/rpu-sample.bin";
    Kvsim kvsim({"--dir", dir.path(), "--run", KVFWDN_EXE});
    kvsim.send("1\n1\n" + port + "\n2\n\n" + sample + "\n\nq\nq\n");
    kvsim.closeInput();
    EXPECT_EQ(kvsim.finish(30000), 0);

    const std::string& out = kvsim.output;
    // The banner's last two lines are the port paths.
    size_t ports = out.find(" Receipt printer (RPU) port: " + port +
                            "\n Cash dispenser (CDU) port: " + dir.path() + "/cdu\n");
    ASSERT_NE(ports, std::string::npos) << out;
    EXPECT_LE(std::count(out.begin(), out.begin() + static_cast<long>(ports), '\n'), 13) << out;
    std::string tool = out.substr(out.find("/cdu\n", ports) + 5);
    // 4000 bytes: 31 full packets and one of 32 bytes.
    std::string expected =
        EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " + port +
        ",115200 Open Success\n" + " Current F/W Ver : V1.23, CRC : 0x0AB3\n" + NextRound() +
        PortPrompt(port) + DownloadQuestion("") + " Start firmware downloading.\n" +
        ProgressBars(" Download : [", 32, true) + ProgressBars(" Verify   : [", 32, true) +
        ResultMessage(0) + QuitBoth();
    EXPECT_EQ(tool, expected);

    std::string image = ReadWholeFile(sample);
    EXPECT_EQ(image.size(), 4000u);
    EXPECT_EQ(ReadWholeFile(dir.path() + "/rpu-flash.bin"), image);
    // The devices are gone with the tool.
    EXPECT_FALSE(PathExists(port));
    EXPECT_FALSE(PathExists(dir.path() + "/control"));
}

// Faults and modes set through the control FIFO while kvsim runs; a second
// kvsim on the same directory is refused.
TEST(E2eRpuKvsim, ControlFifoSetsFaults) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    Kvsim kvsim({"--dir", dir.path()});
    ASSERT_TRUE(kvsim.waitFor("kvsim> ", 10000)) << kvsim.output;

    Kvsim second({"--dir", dir.path()});
    second.closeInput();
    EXPECT_EQ(second.finish(5000), 2);

    {
        std::ofstream control(dir.path() + "/control");
        control << "rpu fault erase\n";
    }
    for (int i = 0; i < 100 && ReadWholeFile(dir.path() + "/kvsim.log").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadWholeFile(dir.path() + "/kvsim.log"), "> rpu fault erase\nrpu: faults erase\n");

    std::string port = dir.path() + "/rpu";
    ToolRun run = RunTool("1\n2\n" + port + "\n" + dir.path() + "/rpu-sample.bin\n\nq\nq\n");
    EXPECT_NE(run.output.find(" Start firmware downloading.\n" + ResultMessage(-4)),
              std::string::npos)
        << run.output;

    kvsim.send("rpu fault none\nstatus\nquit\n");
    EXPECT_EQ(kvsim.finish(10000), 0);
    EXPECT_NE(kvsim.output.find("rpu: faults none\n"), std::string::npos) << kvsim.output;
    EXPECT_NE(kvsim.output.find(", mode auto, faults none\n"), std::string::npos);
    EXPECT_FALSE(PathExists(port));
}
