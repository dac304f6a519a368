// The dispenser firmware downloader on both roads, in process, against the
// virtual loader and the virtual ROM bootloader on pseudo-terminals.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cdu/CDUCom.h"
#include "cdu/CduFwDn.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLoader.h"
#include "support/BootTarget.h"
#include "test_cdu_util.h"

namespace {

struct Download {
    int result;
    std::string output;
};

Download DownloadFile(CKvCDUFwDn& dn, unsigned char type, const std::string& path) {
    std::string p = path;
    StdoutGrab grab;
    int r = dn.FirmwareDownload(type, &p[0]);
    return {r, grab.stop()};
}

// A download on the loader road against a fresh virtual loader.
struct LoaderRoad {
    VirtualLine line;
    VirtualLoader loader;
    CKvCDUFwDn dn;
    explicit LoaderRoad(const LoaderConfig& config = LoaderConfig()) : loader(line, config) {
        snprintf(dn.szPortName, sizeof dn.szPortName, "%s", line.slavePath().c_str());
        loader.start();
    }
};

// A download on the bootloader road against a fresh virtual ROM bootloader.
struct BootRoad {
    VirtualLine line;
    VirtualBootloader boot;
    CKvCDUFwDn dn;
    explicit BootRoad(const BootloaderConfig& config) : boot(line, config) {
        boot.start();
        snprintf(dn.szPortName, sizeof dn.szPortName, "%s", line.slavePath().c_str());
    }
};

} // namespace

TEST(CduFwDn, LoaderRoadSendsTheFileAfterPushAndHandshake) {
    // The pushed loader says '~' 20 ms after the last byte, heard or not:
    // the host must be listening at 115200 again by then.
    LoaderConfig config;
    config.startDelayMs = 20;
    LoaderRoad road(config);
    ScratchDir dir;
    std::vector<unsigned char> image = Firmware(2500, "cdu7_17A100_", 100);
    Download d = DownloadFile(road.dn, 1, dir.write("fw.bin", image));
    EXPECT_FALSE(road.loader.readyLost());
    EXPECT_EQ(DN_OK, d.result);
    EXPECT_EQ(3, road.dn.iBlockCount);
    EXPECT_EQ(dir.file("fw.bin"), road.dn.szFilePath);
    EXPECT_EQ(0u, d.output.find(" Start firmware downloading.\n"));
    EXPECT_EQ(0, ghCduHandle);

    EXPECT_EQ(VirtualLoader::PushAccepted, road.loader.pushResult());
    EXPECT_EQ(57600, road.loader.pushBaud());
    EXPECT_EQ(LoaderPush(false), road.loader.pushed());
    // Probe, push, wait for '~', handshake, transfer: five opens in order.
    EXPECT_EQ(ExpectedLoaderRoadOpens(57600), LoaderRoadOpens(road.loader.opens()));
    EXPECT_EQ(1, road.loader.handshakes());
    EXPECT_TRUE(road.loader.eotSeen());
    EXPECT_FALSE(road.loader.startSeen()); // the loaded program is not started
    std::vector<unsigned char> got = road.loader.image();
    ASSERT_EQ(3072u, got.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin()));
    for (size_t i = image.size(); i < got.size(); ++i)
        ASSERT_EQ(0x1A, got[i]) << i;
}

TEST(CduFwDn, FilesThatCannotBeReadOpenNoPort) {
    LoaderRoad road;
    ScratchDir dir;
    EXPECT_EQ(DN_FILE_NOT_FOUND, DownloadFile(road.dn, 1, dir.file("missing.bin")).result);
    EXPECT_EQ(DN_FILE_READ_FAIL, DownloadFile(road.dn, 1, dir.write("empty.bin", "")).result);
    EXPECT_EQ(DN_FILE_READ_FAIL, DownloadFile(road.dn, 0, dir.write("empty.bin", "")).result);
    EXPECT_EQ(DN_FILE_READ_FAIL, DownloadFile(road.dn, 1, dir.path()).result);
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(DN_FILE_READ_FAIL, DownloadFile(road.dn, 1, fifo).result);
    EXPECT_EQ(DN_FILE_READ_FAIL, DownloadFile(road.dn, 0, "/dev/zero").result);
    std::string big = dir.file("big.bin");
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(INT_MAX) + 1));
    close(fd);
    EXPECT_EQ(DN_FILE_READ_FAIL, DownloadFile(road.dn, 1, big).result);
    usleep(50000);
    EXPECT_TRUE(road.loader.opens().empty());
    EXPECT_EQ(0, road.dn.iBlockCount);
}

TEST(CduFwDn, PortThatCannotBeOpenedOnEitherRoad) {
    CKvCDUFwDn dn;
    snprintf(dn.szPortName, sizeof dn.szPortName, "/dev/kvfwdn-no-such-port");
    ScratchDir dir;
    std::string path = dir.write("fw.bin", Firmware(300));
    EXPECT_EQ(DN_PORT_OPEN_FAIL, DownloadFile(dn, 1, path).result);
    EXPECT_EQ(DN_PORT_OPEN_FAIL, DownloadFile(dn, 0, path).result);
    EXPECT_EQ(0, ghCduHandle);
    EXPECT_FALSE(dn.stblLib.COM_is_Open());
}

TEST(CduFwDn, BootloaderRoadWritesAndVerifiesTheFlash) {
    BootloaderConfig config;
    BootRoad road(config);
    ScratchDir dir;
    std::vector<unsigned char> image = Firmware(300, "CDU_0G2A09_", 40);
    Download d = DownloadFile(road.dn, 0, dir.write("fw.bin", image));
    EXPECT_EQ(DN_OK, d.result);
    EXPECT_EQ(3, road.dn.iBlockCount);
    EXPECT_FALSE(road.dn.stblLib.COM_is_Open());
    std::vector<unsigned char> flash = road.boot.memory(0x08000000, 300);
    EXPECT_EQ(image, flash);
    EXPECT_NE(std::string::npos, d.output.find(" Download : ["));
    EXPECT_NE(std::string::npos, d.output.find(" Verify   : ["));
}

TEST(CduFwDn, BootloaderRoadLiftsProtectionFirst) {
    BootloaderConfig config;
    config.readProtected = true; // Read is left out of the command list
    BootRoad road(config);
    ScratchDir dir;
    std::vector<unsigned char> image = Firmware(200);
    EXPECT_EQ(DN_OK, DownloadFile(road.dn, 0, dir.write("fw.bin", image)).result);
    EXPECT_EQ(1, road.boot.exchangeCount(0x92));
    EXPECT_EQ(0, road.boot.exchangeCount(0x73));
    EXPECT_EQ(2, road.boot.syncCount());
    EXPECT_FALSE(road.boot.readProtected());
    EXPECT_EQ(image, road.boot.memory(0x08000000, 200));
}

TEST(CduFwDn, BootloaderThatStaysSilentGivesNoResponse) {
    BootloaderConfig config;
    config.silent = true;
    BootRoad road(config);
    ScratchDir dir;
    EXPECT_EQ(DN_NO_RESPONSE, DownloadFile(road.dn, 0, dir.write("fw.bin", Firmware(200))).result);
    EXPECT_FALSE(road.dn.stblLib.COM_is_Open());
}

TEST(CduFwDn, ReadBackThatDiffersGivesVerifyFail) {
    BootloaderConfig config;
    config.corruptReadPacket = 1;
    BootRoad road(config);
    ScratchDir dir;
    EXPECT_EQ(DN_VERIFY_FAIL, DownloadFile(road.dn, 0, dir.write("fw.bin", Firmware(512))).result);
    EXPECT_FALSE(road.dn.stblLib.COM_is_Open());
}
