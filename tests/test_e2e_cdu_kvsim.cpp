// kvsim as a newcomer uses it for the dispenser: `kvsim --run kvfwdn`
// serves the virtual dispenser at <dir>/cdu; in mode auto the version query
// finds it in online mode and a loader-road download finds the loader.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/KvsimChild.h"
#include "test_cdu_util.h"
#include "test_e2e_cdu_dialogue.h"

using namespace cdu_dialogue;

namespace {

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

// Runs kvsim with `args`, `input` on its standard input (closed after it);
// returns its standard output, or what came before the time ran out.
std::string RunKvsim(const std::vector<std::string>& args, const std::string& input, int timeoutMs,
                     int* exitCode) {
    int to = -1, from = -1;
    pid_t pid = StartKvsim(args, &to, &from);
    if (pid < 0)
        return "";
    if (write(to, input.data(), input.size()) < 0) {
        ADD_FAILURE() << "kvsim took no input";
    }
    close(to);
    std::string output;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int left = MsLeft(end); left > 0 && ReadSome(from, left, &output); left = MsLeft(end)) {
    }
    close(from);
    int status = 0;
    *exitCode = -1;
    for (int i = 0; i < 500 && *exitCode == -1; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (*exitCode == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return output;
}

} // namespace

// The README's first command with the dispenser of the default model (loader
// road): version, cassette number set and read back, a download.
TEST(E2eCduKvsim, OnlineModeThenLoaderRoad) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::vector<unsigned char> image = Firmware(3000, "CIRN7_cdu7_17A100_20200122", 16);
    std::string file = dir.write("CIRN7_17A100.bin", image);
    std::string port = dir.path() + "/cdu";
    int exitCode = 0;
    std::string out =
        RunKvsim({"--dir", dir.path(), "--run", KVFWDN_EXE},
                 "2\n1\n" + port + "\n2\n\n5\n3\n\n" + file + "\ny\nq\nq\n", 30000, &exitCode);
    EXPECT_EQ(0, exitCode);
    EXPECT_NE(std::string::npos, out.find(" Cash dispenser (CDU) port: " + port + "\n")) << out;
    size_t start = out.find(" Cash dispenser (CDU) port: ");
    ASSERT_NE(std::string::npos, start) << out;
    std::string tool = out.substr(out.find('\n', start) + 1);
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + VersionHeading() + OpenSuccess(port) +
                  VersionLine("DSP12A0105R00") + CduFrame() + PortPrompt(port) + CassettePrompt() +
                  SetHeading() + OpenSuccess(port) + VersionLine("DSP15A0105R00") + CduFrame() +
                  PortPrompt(port) + DownloadStart("") + DownloadQuestion("CIRN") + Started() +
                  LoaderBars(3, 3) + ResultMessage(0) + QuitBoth(),
              tool);
    // What the loader received, saved by kvsim: the file and the fill of
    // its last block.
    std::vector<unsigned char> got = ReadBytes(dir.path() + "/cdu-image.bin");
    ASSERT_EQ(3072u, got.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin()));
}

TEST(E2eCduKvsim, BootloaderRoadModel) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::vector<unsigned char> image = Firmware(300, "IMBRA2_CDU_0G2A09_20200122", 16);
    std::string file = dir.write("IMBRA2_0G2A09.bin", image);
    std::string port = dir.path() + "/cdu";
    int exitCode = 0;
    std::string out =
        RunKvsim({"--dir", dir.path(), "--cdu-road", "bootloader", "--run", KVFWDN_EXE},
                 "2\n3\n" + port + "\n" + file + "\n\nq\nq\n", 30000, &exitCode);
    EXPECT_EQ(0, exitCode);
    size_t start = out.find(" Cash dispenser (CDU) port: ");
    ASSERT_NE(std::string::npos, start) << out;
    std::string tool = out.substr(out.find('\n', start) + 1);
    std::string bars = ThreePacketBars();
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + DownloadStart("") +
                  DownloadQuestion("IMBRA") + Started() + bars + ResultMessage(0) + QuitBoth(),
              tool);
    EXPECT_EQ(image, ReadBytes(dir.path() + "/cdu-flash.bin"));
}

// The firmware files kvsim offers for the dispenser: each one goes through on
// its road as it stands, and what the device kept is the file.
TEST(E2eCduKvsim, FirmwareFilesToTryTakeTheirRoads) {
    struct Case {
        std::string road, sample, model, saved;
    } cases[] = {{"loader", "cdu-sample-loader.bin", "CIRN", "cdu-image.bin"},
                 {"bootloader", "cdu-sample-bootloader.bin", "IMBRA", "cdu-flash.bin"}};
    for (const Case& c : cases) {
        ScratchDir dir;
        ASSERT_FALSE(dir.path().empty());
        std::string file = dir.path() + "/" + c.sample;
        int exitCode = 0;
        std::string out =
            RunKvsim({"--dir", dir.path(), "--cdu-road", c.road, "--run", KVFWDN_EXE},
                     "2\n3\n" + dir.path() + "/cdu\n" + file + "\ny\nq\nq\n", 30000, &exitCode);
        EXPECT_EQ(0, exitCode) << c.road;
        EXPECT_NE(std::string::npos, out.find(file)) << "not named in the banner: " << out;
        EXPECT_NE(std::string::npos, out.find(DownloadQuestion(c.model))) << out;
        EXPECT_NE(std::string::npos, out.find(ResultMessage(0))) << out;
        std::vector<unsigned char> sample = ReadBytes(file);
        std::vector<unsigned char> kept = ReadBytes(dir.path() + "/" + c.saved);
        ASSERT_EQ(4000u, sample.size());
        ASSERT_GE(kept.size(), sample.size()) << c.road;
        EXPECT_TRUE(std::equal(sample.begin(), sample.end(), kept.begin())) << c.road;
    }
}
