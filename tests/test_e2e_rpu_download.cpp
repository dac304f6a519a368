// Key 2 of the printer menu, end to end: the built kvfwdn loads a firmware
// file into a virtual ROM bootloader on a pseudo-terminal, and every result
// message is reached through a real road.
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "sim/VirtualBootloader.h"
#include "serial/ComPort.h"
#include "sim/VirtualLine.h"
#include "support/BootTarget.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "test_e2e_rpu_dialogue.h"

using namespace rpu_dialogue;

namespace {

const uint32_t FLASH_START = 0x08000000;

std::vector<unsigned char> MakeImage(size_t size, unsigned seed) {
    std::vector<unsigned char> image(size);
    unsigned value = seed;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        image[i] = static_cast<unsigned char>(value >> 16);
    }
    // The vector table of an application at the flash start, so that the
    // download's file check takes it as printer firmware.
    const unsigned char vectors[8] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x00, 0x00, 0x08};
    for (size_t i = 0; i < 8 && i < size; ++i)
        image[i] = vectors[i];
    return image;
}

// A virtual printer in boot mode.
struct BootPrinter {
    explicit BootPrinter(const BootloaderConfig& config = BootloaderConfig()) : boot(line, config) {
        boot.start();
    }
    VirtualLine line;
    VirtualBootloader boot;
};

// A bootloader that answers as usual but for the one fault.
BootloaderConfig WithFault(const BootloaderFault& fault) {
    BootloaderConfig config;
    config.faults.push_back(fault);
    return config;
}

// Main menu key 1, printer key 2, the port, the path, the answer; then q, q.
std::string DownloadInput(const std::string& port, const std::string& path,
                          const std::string& answer = "") {
    return "1\n2\n" + port + "\n" + path + "\n" + answer + "\nq\nq\n";
}

// The whole transcript of one download from the main menu to the end (the
// tool does not echo what is typed).
std::string Transcript(const std::string& result) {
    return EnterRpuMenu() + PortPrompt("/dev/ttyS4") + DownloadQuestion("") + result + QuitBoth();
}

std::string Start() {
    return " Start firmware downloading.\n";
}

std::string Bars(int packets, bool lastPartial) {
    return ProgressBars(" Download : [", packets, lastPartial) +
           ProgressBars(" Verify   : [", packets, lastPartial);
}

std::vector<unsigned char> FlashAt(const VirtualBootloader& boot, size_t length) {
    return boot.memory(FLASH_START, static_cast<uint32_t>(length));
}

} // namespace

TEST(E2eRpuDownload, EnterStartsADownloadThatWritesAndVerifiesTheImage) {
    ScratchDir dir;
    std::vector<unsigned char> image = MakeImage(1000, 1);
    std::string file = dir.write("fw1000.bin", image);
    BootPrinter printer;

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    // 1000 bytes: seven full packets and one of 104 bytes.
    EXPECT_EQ(run.output, Transcript(Start() + Bars(8, true) + ResultMessage(0)));
    EXPECT_EQ(FlashAt(printer.boot, image.size()), image);
    EXPECT_EQ(printer.boot.memory(FLASH_START + 1000, 1), std::vector<unsigned char>{0xFF});
    EXPECT_FALSE(printer.line.slaveOpen());
}

TEST(E2eRpuDownload, ExactPacketMultipleAndOneByteMore) {
    ScratchDir dir;
    for (size_t size : {size_t(1024), size_t(1025)}) {
        std::vector<unsigned char> image = MakeImage(size, 7);
        std::string file = dir.write("fw" + std::to_string(size) + ".bin", image);
        BootPrinter printer;
        ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, "y"));
        // 1024 bytes: eight full packets; 1025: eight and one of a single byte.
        std::string bars = size == 1024 ? Bars(8, false) : Bars(9, true);
        EXPECT_EQ(run.output, Transcript(Start() + bars + ResultMessage(0))) << size;
        EXPECT_EQ(FlashAt(printer.boot, size), image) << size;
    }
}

TEST(E2eRpuDownload, AnswerNCancels) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(300, 2));
    BootPrinter printer;

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, "n"));
    EXPECT_EQ(run.output, Transcript(" Cancel firmware download.\n"));
    EXPECT_TRUE(printer.boot.received().empty());
}

// Input that ends at the question cancels the download.
TEST(E2eRpuDownload, EndOfInputAtTheQuestionCancels) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(300, 2));
    BootPrinter printer;

    ToolRun run = RunTool("1\n2\n" + printer.line.slavePath() + "\n" + file + "\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, Transcript(" Cancel firmware download.\n"));
    EXPECT_TRUE(printer.boot.received().empty());
}

// The second download offers the path of the first in the prompt, without
// the examples; ENTER keeps it, as it keeps the port.
TEST(E2eRpuDownload, SecondDownloadOffersTheSavedPath) {
    ScratchDir dir;
    std::vector<unsigned char> image = MakeImage(256, 3);
    std::string file = dir.write("fw256.bin", image);
    BootPrinter printer;
    std::string port = printer.line.slavePath();

    ToolRun run = RunTool("1\n2\n" + port + "\n" + file + "\nY\n2\n\n\n\nq\nq\n");
    std::string once = Start() + Bars(2, false) + ResultMessage(0);
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + DownloadQuestion("") + once +
                           NextRound() + PortPrompt(port) + DownloadQuestion(file) + once +
                           QuitBoth();
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(FlashAt(printer.boot, image.size()), image);
    // No reset in between: the second download finds the ROM bootloader
    // still synchronised and goes on without a second synchronisation.
    EXPECT_EQ(printer.boot.syncCount(), 1);
}

// A path typed before a cancelled download is offered at the next one.
TEST(E2eRpuDownload, CancelledPathIsOfferedAgain) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(128, 4));
    BootPrinter printer;
    std::string port = printer.line.slavePath();

    ToolRun run = RunTool("1\n2\n" + port + "\n" + file + "\nn\n2\n\n\nn\nq\nq\n");
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + DownloadQuestion("") +
                           " Cancel firmware download.\n" + NextRound() + PortPrompt(port) +
                           DownloadQuestion(file) + " Cancel firmware download.\n" + QuitBoth();
    EXPECT_EQ(run.output, expected);
}

TEST(E2eRpuDownload, FileProblemsNeverTouchThePort) {
    ScratchDir dir;
    std::string empty = dir.write("empty.bin", std::vector<unsigned char>());
    std::string folder = dir.directory("fwdir");
    std::string missing = dir.path() + "/missing.bin";
    BootPrinter printer;

    struct Case {
        std::string path;
        int code;
    } cases[] = {{missing, -1}, {empty, -2}, {folder, -2}};
    for (const Case& c : cases) {
        ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), c.path, ""));
        EXPECT_EQ(run.output, Transcript(Start() + ResultMessage(c.code))) << c.path;
    }
    EXPECT_TRUE(printer.boot.received().empty());
}

TEST(E2eRpuDownload, PortThatCannotBeOpened) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(200, 5));
    ToolRun run = RunTool(DownloadInput("/dev/kvfwdn-no-such-port", file, ""), 60000, "", true);
    EXPECT_EQ(run.output, Transcript(Start() + ResultMessage(-6)));
    EXPECT_EQ(run.errors, IdentityLine(file, "printer firmware") +
                              "kvfwdn: /dev/kvfwdn-no-such-port: No such file or directory\n");
}

// A Get that is refused: the port is closed before the message names it.
// Two programs on one line corrupt each other's frames. While a download
// holds the port, a second kvfwdn cannot open it and disturbs nothing; once
// the download has closed the port, another process can open it.
TEST(E2eRpuDownload, SecondToolCannotTakeThePortDuringADownload) {
    ScratchDir dir;
    std::vector<unsigned char> image = MakeImage(64 * 1024, 5);
    std::string file = dir.write("fw64k.bin", image);
    BootPrinter printer;
    const std::string port = printer.line.slavePath();

    ToolRun download;
    std::atomic<bool> downloadEnded(false);
    std::thread first([&] {
        download = RunTool(DownloadInput(port, file, ""));
        downloadEnded = true;
    });
    // Well into the flash writes: sync, Get, erase and some packets are in.
    for (int i = 0; i < 2000 && printer.boot.received().size() < 8192 && !downloadEnded; ++i)
        usleep(5000);
    ToolRun second = RunTool("1\n1\n" + port + "\nq\nq\n", 60000, "", true);
    bool overlapped = !downloadEnded;
    first.join();

    EXPECT_EQ(second.output, EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                                 port + " Open Fail\n" + CannotOpenPort() + QuitBoth());
    // Kept off by the download's lock file, which names the holder.
    EXPECT_TRUE(std::regex_match(
        second.errors,
        std::regex("kvfwdn: " + port + ": in use by another program \\(PID [0-9]+\\)\n")))
        << second.errors;
    EXPECT_TRUE(overlapped) << "the download ended before the second tool ran";
    EXPECT_EQ(download.output, Transcript(Start() + Bars(512, false) + ResultMessage(0)));
    EXPECT_TRUE(FlashAt(printer.boot, image.size()) == image);
    int handle = OpenComPort(port.c_str(), 115200, 8, 0);
    EXPECT_GT(handle, 0);
    CloseComPort(handle);
}

TEST(E2eRpuDownload, RefusedGet) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(200, 6));
    BootPrinter printer(WithFault(MakeFault(0x00, -1, 0)));

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    EXPECT_EQ(run.output, Transcript(Start() + " STBL_GET Fail : " + printer.line.slavePath() +
                                     "\n" + ResultMessage(-3)));
    EXPECT_EQ(printer.boot.exchangeCount(0x43), 0);
}

TEST(E2eRpuDownload, RefusedErase) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(200, 6));
    BootPrinter printer(WithFault(MakeFault(0x43, -1, 1)));

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    EXPECT_EQ(run.output, Transcript(Start() + ResultMessage(-4)));
    EXPECT_EQ(printer.boot.exchangeCount(0x31), 0);
}

// The fifth packet's data is refused: four bars, the write error, -4.
TEST(E2eRpuDownload, RefusedWrite) {
    ScratchDir dir;
    std::vector<unsigned char> image = MakeImage(1024, 8);
    std::string file = dir.write("fw.bin", image);
    BootloaderConfig config;
    config.refuseWritePacket = 4;
    BootPrinter printer(config);

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    std::string result = Start() + ProgressBars(" Download : [", 8, false, 4) +
                         "\n STBL_WRITE ERROR : 20\n" + ResultMessage(-4);
    EXPECT_EQ(run.output, Transcript(result));
    EXPECT_EQ(FlashAt(printer.boot, 512),
              std::vector<unsigned char>(image.begin(), image.begin() + 512));
}

// The third packet read back differs from the image: two verify bars, the
// compare error, -5.
TEST(E2eRpuDownload, CorruptedReadBack) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(1024, 9));
    BootloaderConfig config;
    config.corruptReadPacket = 2;
    BootPrinter printer(config);

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    std::string result = Start() + ProgressBars(" Download : [", 8, false) +
                         ProgressBars(" Verify   : [", 8, false, 2) + "\n CMD_NOT_ALLOWED ERROR\n" +
                         ResultMessage(-5);
    EXPECT_EQ(run.output, Transcript(result));
}

// A read-out protected target leaves Read out of its command list: the tool
// lifts read-out protection (and only that), starts the bootloader again and
// downloads.
TEST(E2eRpuDownload, ReadOutProtectionIsLifted) {
    ScratchDir dir;
    std::vector<unsigned char> image = MakeImage(512, 10);
    std::string file = dir.write("fw.bin", image);
    BootloaderConfig config;
    config.readProtected = true;
    BootPrinter printer(config);

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    EXPECT_EQ(run.output, Transcript(Start() + Bars(4, false) + ResultMessage(0)));
    EXPECT_EQ(printer.boot.exchangeCount(0x92), 1);
    EXPECT_EQ(printer.boot.exchangeCount(0x73), 0);
    EXPECT_EQ(printer.boot.syncCount(), 2);
    EXPECT_FALSE(printer.boot.readProtected());
    EXPECT_EQ(FlashAt(printer.boot, image.size()), image);
}

// A target that announces only Extended erase lacks Erase: the tool sends a
// write unprotect (and no read-out unprotect) on every download.
TEST(E2eRpuDownload, MissingEraseGetsAWriteUnprotect) {
    ScratchDir dir;
    std::vector<unsigned char> image = MakeImage(384, 11);
    std::string file = dir.write("fw.bin", image);
    BootloaderConfig config;
    config.commands = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44, 0x63, 0x73, 0x82, 0x92};
    BootPrinter printer(config);

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    EXPECT_EQ(run.output, Transcript(Start() + Bars(3, false) + ResultMessage(0)));
    EXPECT_EQ(printer.boot.exchangeCount(0x73), 1);
    EXPECT_EQ(printer.boot.exchangeCount(0x92), 0);
    EXPECT_EQ(printer.boot.exchangeCount(0x44), 1);
    EXPECT_EQ(FlashAt(printer.boot, image.size()), image);
}

// The bootloader does not come back after the unprotect: -3 and no message.
TEST(E2eRpuDownload, FailedRestartAfterUnprotectPrintsNothing) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(200, 12));
    BootloaderConfig config;
    config.readProtected = true;
    config.faults.push_back(MakeFault(0x7F, 1, 0, BootloaderFault::Garbage));
    BootPrinter printer(config);

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    EXPECT_EQ(run.output, Transcript(Start() + ResultMessage(-3)));
    EXPECT_EQ(printer.boot.exchangeCount(0x92), 1);
    EXPECT_EQ(printer.boot.exchangeCount(0x43), 0);
}

// Slow (about 3 s): a bootloader that never answers the sync.
TEST(E2eRpuDownloadSlow, SilentBootloader) {
    ScratchDir dir;
    std::string file = dir.write("fw.bin", MakeImage(200, 13));
    BootloaderConfig config;
    config.silent = true;
    BootPrinter printer(config);

    ToolRun run = RunTool(DownloadInput(printer.line.slavePath(), file, ""));
    EXPECT_EQ(run.output, Transcript(Start() + ResultMessage(-3)));
    EXPECT_FALSE(printer.line.slaveOpen());
}
