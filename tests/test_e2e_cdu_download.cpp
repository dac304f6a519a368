// The dispenser's firmware download end to end: kvfwdn run with scripted
// input against the virtual loader and the virtual ROM bootloader, its
// whole output compared.
#include <gtest/gtest.h>

#include "cdu/CduFwDn.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLoader.h"
#include "support/RunTool.h"
#include "test_cdu_util.h"
#include "test_e2e_cdu_dialogue.h"

using namespace cdu_dialogue;

namespace {

// Key 2 of the main menu, key 3 with the port and the path, the answer,
// then q and q.
std::string DownloadInput(const std::string& port, const std::string& path,
                          const std::string& answer) {
    return "2\n3\n" + port + "\n" + path + "\n" + answer + "\nq\nq\n";
}

// The whole output of one download up to its question, then `rest`.
std::string Transcript(const std::string& model, const std::string& rest) {
    return EnterCduMenu() + PortPrompt("/dev/ttyS3") + DownloadStart("") + DownloadQuestion(model) +
           rest + QuitBoth();
}

struct Loader {
    VirtualLine line;
    VirtualLoader device;
    explicit Loader(const LoaderConfig& config = LoaderConfig()) : device(line, config) {
        device.start();
    }
    std::string port() const { return line.slavePath(); }
};

// The push of the loader at `baud` (the ARVO/BELK loader when `arvo`) and
// the opens of the loader road at that speed.
void ExpectLoaderPushed(const Loader& loader, int baud, bool arvo) {
    EXPECT_EQ(baud, loader.device.pushBaud());
    EXPECT_EQ(LoaderPush(arvo), loader.device.pushed());
    EXPECT_EQ(ExpectedLoaderRoadOpens(baud), LoaderRoadOpens(loader.device.opens()));
}

// A loader-road image of `size` bytes with "ARVO" written at `at`.
std::vector<unsigned char> ArvoImage(size_t size, size_t at) {
    std::vector<unsigned char> image = Firmware(size, "CDU_06Z310_", 100);
    image[at] = 'A', image[at + 1] = 'R', image[at + 2] = 'V', image[at + 3] = 'O';
    return image;
}

// The download of `image` from a file in a scratch folder, `answer` to the
// question.
ToolRun DownloadImage(const Loader& loader, const std::vector<unsigned char>& image,
                      const std::string& answer) {
    ScratchDir dir;
    return RunTool(DownloadInput(loader.port(), dir.write("fw.bin", image), answer));
}

} // namespace

TEST(E2eCduDownload, LoaderRoad) {
    Loader loader;
    ScratchDir dir;
    std::vector<unsigned char> image = Firmware(5000, "CIRN7_cdu7_17A100_20200122", 64);
    std::string path = dir.write("fw.bin", image);
    ToolRun run = RunTool(DownloadInput(loader.port(), path, "y"));
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(Transcript("CIRN", Started() + LoaderBars(5, 5) + ResultMessage(0)), run.output);
    std::vector<unsigned char> got = loader.device.image();
    ASSERT_EQ(5120u, got.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin()));
    ExpectLoaderPushed(loader, 57600, false);
}

TEST(E2eCduDownload, ArvoVariant) {
    Loader loader;
    // "ARVO" at length - 11, the last position that counts.
    std::vector<unsigned char> image = ArvoImage(1024, 1013);
    ToolRun run = DownloadImage(loader, image, "");
    EXPECT_EQ(Transcript("ARVO/BELK", Started() + LoaderBars(1, 1) + ResultMessage(0)), run.output);
    ExpectLoaderPushed(loader, 38400, true);
    EXPECT_EQ(image, loader.device.image());
}

TEST(E2eCduDownload, ArvoInTheLastTenBytesIsNoVariant) {
    Loader loader;
    ToolRun run = DownloadImage(loader, ArvoImage(1100, 1090), "Y");
    EXPECT_EQ(Transcript("ARVO/BELK", Started() + LoaderBars(2, 2) + ResultMessage(0)), run.output);
    ExpectLoaderPushed(loader, 57600, false);
}

TEST(E2eCduDownload, BootloaderRoad) {
    VirtualLine line;
    VirtualBootloader boot(line, BootloaderConfig());
    boot.start();
    ScratchDir dir;
    std::vector<unsigned char> image = Firmware(300, "IMBRA2_CDU_0G2A09_20200122", 10);
    ToolRun run = RunTool(DownloadInput(line.slavePath(), dir.write("fw.bin", image), "y"));
    std::string bars = ThreePacketBars();
    EXPECT_EQ(Transcript("IMBRA", Started() + bars + ResultMessage(0)), run.output);
    EXPECT_EQ(image, boot.memory(0x08000000, 300));
}

TEST(E2eCduDownload, FilesRefusedBeforeTheQuestion) {
    Loader loader;
    ScratchDir dir;
    std::string none = dir.write("none.bin", Firmware(4000));
    std::string empty = dir.write("empty.bin", "");
    std::string missing = dir.file("missing.bin");
    ToolRun run = RunTool("2\n3\n" + loader.port() + "\n" + none + "\n3\n\n" + empty + "\n3\n\n" +
                          missing + "\nq\nq\n");
    // No question for a file without a code, an empty file or a missing
    // one; the path prompt offers the last path typed.
    std::string port = loader.port();
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + DownloadStart("") + NoFirmware() +
                  CduFrame() + PortPrompt(port) + DownloadStart(none) + NoFirmware() + CduFrame() +
                  PortPrompt(port) + DownloadStart(empty) + NoFirmware() + QuitBoth(),
              run.output);
    EXPECT_TRUE(loader.device.opens().empty()); // no port was opened
}

TEST(E2eCduDownload, CancelAndSavedPath) {
    Loader loader;
    ScratchDir dir;
    std::string path = dir.write("fw.bin", Firmware(2000, "CDU_0W1500_", 0));
    ToolRun run = RunTool("2\n3\n" + loader.port() + "\n" + path + "\nn\n3\n\n\nx\nq\nq\n");
    std::string port = loader.port();
    EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + DownloadStart("") +
                  DownloadQuestion("MIRO") + Cancelled() + CduFrame() + PortPrompt(port) +
                  DownloadStart(path) + DownloadQuestion("MIRO") + Cancelled() + QuitBoth(),
              run.output);
    EXPECT_TRUE(loader.device.opens().empty());
}

TEST(E2eCduDownload, PortThatCannotBeOpened) {
    ScratchDir dir;
    std::string path = dir.write("fw.bin", Firmware(2000, "CDU_0W1500_", 0));
    const std::string bad = "/dev/kvfwdn-no-such-port";
    ToolRun run = RunTool(DownloadInput(bad, path, "y"), 60000, "", true);
    EXPECT_EQ(Transcript("MIRO", Started() + ResultMessage(-6)), run.output);
    EXPECT_EQ(IdentityLine(path, "dispenser firmware, model MIRO, loader road") + "kvfwdn: " + bad +
                  ": No such file or directory\n",
              run.errors);
}

// Slow: one block is never answered, its 5 s wait runs out.
TEST(E2eCduDownloadSlow, BlockNeverAcknowledged) {
    LoaderConfig config;
    config.silentBlock = 2;
    Loader loader(config);
    ScratchDir dir;
    std::string path = dir.write("fw.bin", Firmware(3000, "CDU_0W1500_", 0));
    ToolRun run = RunTool(DownloadInput(loader.port(), path, "y"));
    EXPECT_EQ(Transcript("MIRO", Started() + LoaderBars(1, 3) + ResultMessage(-4)), run.output);
    EXPECT_EQ(2u, loader.device.blocks().size());
    EXPECT_FALSE(loader.device.eotSeen());
}

// Slow: the loader takes the push but never says '~'; the tool gives up
// after its 10 s wait.
TEST(E2eCduDownloadSlow, LoaderNeverReady) {
    LoaderConfig config;
    config.neverReady = true;
    Loader loader(config);
    ScratchDir dir;
    std::string path = dir.write("fw.bin", Firmware(3000, "CDU_0W1500_", 0));
    ToolRun run = RunTool(DownloadInput(loader.port(), path, "y"));
    EXPECT_EQ(Transcript("MIRO", Started() + ResultMessage(-3)), run.output);
    EXPECT_EQ(VirtualLoader::PushAccepted, loader.device.pushResult());
    EXPECT_EQ(0, loader.device.handshakes()); // no handshake without the loader
    EXPECT_EQ(3u, loader.device.opens().size());
}
