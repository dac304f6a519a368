// The loader-mode protocol against the virtual loader on a pseudo-terminal:
// CRC, handshake, block layout, progress bar, end of transfer, refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/console/ConsoleRenderer.h"
#include "cdu/CDUCom.h"
#include "serial/ComPort.h"
#include "sim/VirtualLoader.h"
#include "test_cdu_util.h"

namespace {

std::string Bar(int percent) {
    std::string s = " Download : [";
    for (int j = 0; j < 25; ++j)
        s += (j == percent / 4) ? '>' : (j < percent / 4 ? '=' : ' ');
    return s + "] " + std::to_string(percent) + "%\r";
}

// A loader that already runs, as after a successful push.
struct RunningLoader {
    VirtualLine line;
    VirtualLoader loader;
    std::string port;
    explicit RunningLoader(LoaderConfig config = LoaderConfig())
        : loader(line, Running(config)), port(line.slavePath()) {
        loader.start();
    }
    static LoaderConfig Running(LoaderConfig config) {
        config.running = true;
        return config;
    }
    ~RunningLoader() { CDUFW_COM_Close(); }
};

int Transfer(RunningLoader& dev, std::vector<unsigned char> image, std::string* out) {
    InstallConsoleRenderer(); // the bar as the tool draws it
    testing::internal::CaptureStdout();
    int r = CDUFW_DataDownload(&dev.port[0], image.data(), static_cast<int>(image.size()), 1024);
    fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    return r;
}

} // namespace

TEST(CduLoader, CrcCheckValueOfHostAndLoader) {
    unsigned char digits[] = "123456789";
    EXPECT_EQ(0x31C3, CRC16_CCITT(digits, 9));
    EXPECT_EQ(0x31C3, VirtualLoader::Crc16(digits, 9));
    EXPECT_EQ(0, CRC16_CCITT(digits, 0));
    // The table is the one the bitwise routine gives for single bytes
    // shifted into the high half.
    for (int i = 0; i < 256; ++i) {
        unsigned char b = static_cast<unsigned char>(i);
        ASSERT_EQ(VirtualLoader::Crc16(&b, 1), crc16tab[i]) << i;
    }
    std::vector<unsigned char> data = Firmware(1024);
    EXPECT_EQ(VirtualLoader::Crc16(data.data(), data.size()), CRC16_CCITT(data.data(), 1024));
}

TEST(CduLoader, HandshakeThenTwoBlocksWithFillAndProgress) {
    RunningLoader dev;
    ASSERT_EQ(0, CDUFW_DownloadReady(&dev.port[0]));
    EXPECT_EQ(1, dev.loader.handshakes());
    EXPECT_TRUE(dev.loader.crcModeAsked());
    EXPECT_EQ(0, ghCduHandle); // the handshake closes the port

    std::vector<unsigned char> image = Firmware(1025);
    std::string out;
    ASSERT_EQ(0, Transfer(dev, image, &out));
    EXPECT_NE(0, ghCduHandle); // left open for the caller
    EXPECT_EQ(Bar(50) + Bar(100) + "\n", out);
    EXPECT_EQ(2, giProgressCnt);
    EXPECT_TRUE(dev.loader.eotSeen());
    EXPECT_FALSE(dev.loader.startSeen());

    auto blocks = dev.loader.blocks();
    ASSERT_EQ(2u, blocks.size());
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(1029u, blocks[k].size());
        EXPECT_EQ(0x02, blocks[k][0]);
        EXPECT_EQ(k + 1, blocks[k][1]);
        EXPECT_EQ(0xFF - (k + 1), blocks[k][2]);
        unsigned short crc = VirtualLoader::Crc16(&blocks[k][3], 1024);
        EXPECT_EQ(crc >> 8, blocks[k][1027]);
        EXPECT_EQ(crc & 0xFF, blocks[k][1028]);
    }
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 1024, blocks[0].begin() + 3));
    EXPECT_EQ(image[1024], blocks[1][3]);
    for (int i = 1; i < 1024; ++i)
        ASSERT_EQ(0x1A, blocks[1][3 + i]) << i;
    EXPECT_EQ(2048u, dev.loader.image().size());
}

TEST(CduLoader, WholeBlocksHaveNoFillAndBlock256IsNumberedZero) {
    RunningLoader dev;
    std::vector<unsigned char> image = Firmware(257 * 1024);
    std::string out;
    ASSERT_EQ(0, Transfer(dev, image, &out));
    auto blocks = dev.loader.blocks();
    ASSERT_EQ(257u, blocks.size());
    EXPECT_EQ(0xFF, blocks[254][1]);
    EXPECT_EQ(0x00, blocks[254][2]);
    EXPECT_EQ(0x00, blocks[255][1]); // block 256
    EXPECT_EQ(0xFF, blocks[255][2]);
    EXPECT_EQ(0x01, blocks[256][1]);
    EXPECT_EQ(image, dev.loader.image()); // no fill: exactly the image
    // The first bar, 1 of 257 blocks, is 0 per cent: '>' in the first cell.
    EXPECT_EQ(0u, out.find(Bar(0)));
    EXPECT_NE(std::string::npos, out.find(Bar(100) + "\n"));
}

TEST(CduLoader, RefusalsSendNothing) {
    RunningLoader dev;
    unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(-1, CDUFW_DataDownload(&dev.port[0], data, 0, 1024));
    EXPECT_EQ(-1, CDUFW_DataDownload(&dev.port[0], data, -5, 1024));
    EXPECT_EQ(-1, CDUFW_DataDownload(&dev.port[0], data, 4, 0));
    EXPECT_EQ(-1, CDUFW_DataDownload(&dev.port[0], nullptr, 4, 1024));
    // The twin on the link port: no port open gives -4, a size of 0 -1.
    ASSERT_EQ(0, ghCduHandle);
    EXPECT_EQ(-4, CDU_DataDownload(data, 4, 1024));
    EXPECT_EQ(-1, CDU_DataDownload(data, 0, 1024));
    // Nothing without a port: no write lands anywhere, no wait is made.
    EXPECT_EQ(-1, CDUFW_COM_Write(data, 4));
    EXPECT_EQ(-1, CDUFW_COM_BlockWrite(data, 4));
    EXPECT_EQ(-2, CDUFW_COM_ReadCheckData('~', 10000));
    EXPECT_EQ(-2, CDU_ReadCheckData(0x06, 10000));
    EXPECT_EQ(-1, CDUFW_COM_BlockRead(data, 4, 10));
    usleep(100000);
    EXPECT_TRUE(dev.loader.opens().empty());
    EXPECT_TRUE(dev.loader.blocks().empty());
}

TEST(CduLoader, OpenFailureAndReopen) {
    char bad[] = "/dev/kvfwdn-no-such-port";
    EXPECT_EQ(-4, CDUFW_COM_Open(bad, 115200));
    EXPECT_EQ(0, ghCduHandle);
    EXPECT_EQ(-4, CDUFW_DownloadReady(bad));
    unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(-4, CDUFW_DataDownload(bad, data, 4, 1024));
    EXPECT_EQ(0, ghCduHandle);

    RunningLoader dev;
    ASSERT_EQ(0, CDUFW_COM_Open(&dev.port[0], 57600));
    int first = ghCduHandle;
    EXPECT_NE(0, first);
    ASSERT_EQ(0, CDUFW_COM_Open(&dev.port[0], 115200)); // closes the first
    EXPECT_NE(0, ghCduHandle);
    EXPECT_EQ(0, CDUFW_StartProgram());
    // Closing discards output still on its way; give the byte time to go.
    usleep(50000);
    CDUFW_COM_Close();
    EXPECT_EQ(0, ghCduHandle);
    for (int i = 0; i < 100 && !dev.loader.startSeen(); ++i)
        usleep(10000);
    EXPECT_TRUE(dev.loader.startSeen());
}

// A NAK answering a block ends the transfer at that block.
TEST(CduLoaderSlow, BadReplyToABlockEndsTheTransfer) {
    LoaderConfig config;
    config.badReplyBlock = 2;
    config.badReplyByte = 0x15;
    RunningLoader dev(config);
    std::string out;
    EXPECT_EQ(-2, Transfer(dev, Firmware(3000), &out));
    EXPECT_EQ(Bar(33) + "\n", out); // only the acknowledged block is drawn
    EXPECT_EQ(2u, dev.loader.blocks().size());
    EXPECT_FALSE(dev.loader.eotSeen()); // no EOT after a failed block
}

namespace {

// A clock that counts only the time the waits sleep (really), so a wait's
// length does not depend on how loaded the machine is.
unsigned long long gSleptUs = 0;
uint64_t SleptMs() {
    return gSleptUs / 1000;
}
void CountedSleep(unsigned us) {
    usleep(us);
    gSleptUs += us;
}

} // namespace

// A NAK or CAN answering block 2, or the EOT, ends the transfer at once
// with the result of a time-out; other bytes are skipped.
TEST(CduLoader, RefusedBlockOrEotEndsTheTransferAtOnce) {
    struct Case {
        int block;
        unsigned char blockReply, eotReply;
        size_t blocksSent;
    } cases[] = {{2, 0x15, 0, 2}, {2, 0x18, 0, 2}, {0, 0, 0x15, 3}, {0, 0, 0x18, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blockReply + c.eotReply);
        LoaderConfig config;
        config.badReplyBlock = c.block;
        config.badReplyByte = c.blockReply;
        config.eotReplyByte = c.eotReply;
        RunningLoader dev(config);
        std::string out;
        gSleptUs = 0;
        SetComClock(SleptMs, CountedSleep);
        int r = Transfer(dev, Firmware(3000), &out);
        SetComClock(nullptr, nullptr);
        EXPECT_EQ(-2, r);
        EXPECT_EQ(c.blocksSent, dev.loader.blocks().size());
        EXPECT_LT(gSleptUs, 500000u); // a time-out would be 5 s
        EXPECT_EQ(c.eotReply != 0, dev.loader.eotSeen());
    }
}

// Slow: the twin on the link port sleeps 3 s after its EOT is acknowledged.
TEST(CduLoaderSlow, LinkPortTwinFillsWithZeroAndWantsAck) {
    LoaderConfig config;
    config.linkTwin = true;
    RunningLoader dev(config);
    ASSERT_EQ(0, CDU_PortOpen(&dev.port[0], 9600));
    std::vector<unsigned char> image = Firmware(1030);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, CDU_DataDownload(image.data(), static_cast<int>(image.size()), 1024));
    EXPECT_EQ("", testing::internal::GetCapturedStdout()); // no bar
    CDU_PortClose();
    auto blocks = dev.loader.blocks();
    ASSERT_EQ(2u, blocks.size());
    for (int i = 6; i < 1024; ++i)
        ASSERT_EQ(0x00, blocks[1][3 + i]) << i;
    EXPECT_TRUE(dev.loader.eotSeen());
}
