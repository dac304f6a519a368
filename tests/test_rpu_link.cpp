// Printer link protocol against the virtual printer on a pseudo-terminal:
// wire bytes, polling, reply outcomes and frame limits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "rpu/RPUCom.h"
#include "sim/VirtualPrinter.h"
#include "support/LinkTest.h"

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kVersionRequest = {0x02, 0x01, 0x00, 0x56, 0x03, 0x54};

class RpuLink : public LinkFixture<VirtualPrinter, PrinterConfig, RPU_PortClose, &g_mutexRPU> {
  protected:
    VirtualPrinter& printer = device;
    int query(int baud = 9600) {
        std::memset(version, 0, sizeof version);
        std::memset(crc, 0x77, sizeof crc);
        return RPU_InitGetVersion(port(), baud, version, crc);
    }

    unsigned char version[6];
    unsigned char crc[3];
};

TEST_F(RpuLink, VersionExchangeIsByteExact) {
    PrinterConfig config;
    config.version = "AB123";
    config.crc[0] = 0x1A;
    config.crc[1] = 0x2B;
    start(config);

    ASSERT_EQ(0, query());
    EXPECT_STREQ("AB123", reinterpret_cast<char*>(version));
    EXPECT_EQ(0x1A, crc[0]);
    EXPECT_EQ(0x2B, crc[1]);
    EXPECT_EQ(0, crc[2]);

    // Request frame, one ENQ, the ACK of the reply: nothing else.
    Bytes wire = kVersionRequest;
    wire.push_back(0x05);
    wire.push_back(0x06);
    EXPECT_EQ(Hex(wire), Hex(receivedAtLeast(wire.size())));
    // The device's side: ACK, then 02 08 00 'O' "AB123" 1A 2B 03 check.
    Bytes reply = {0x06, 0x02, 0x08, 0x00, 'O', 'A', 'B', '1', '2', '3', 0x1A, 0x2B, 0x03};
    unsigned char check = 0;
    for (size_t i = 2; i < reply.size(); ++i)
        check ^= reply[i];
    reply.push_back(check);
    EXPECT_EQ(Hex(reply), Hex(printer.sent()));
    std::printf("printer host->device: %s\nprinter device->host: %s\n",
                Hex(printer.received()).c_str(), Hex(printer.sent()).c_str());
    EXPECT_EQ(0, printer.badFrames());
    EXPECT_NE(0, ghRpuHandle); // the caller closes the port
}

TEST_F(RpuLink, AckedPollsAreRepeatedUntilTheFrameStarts) {
    PrinterConfig config;
    config.line.ackPolls = 2;
    start(config);
    ASSERT_EQ(0, query());
    EXPECT_STREQ("V1.23", reinterpret_cast<char*>(version));
    Bytes wire = kVersionRequest;
    wire.insert(wire.end(), {0x05, 0x05, 0x05, 0x06});
    EXPECT_EQ(Hex(wire), Hex(receivedAtLeast(wire.size())));
}

TEST_F(RpuLink, StatusDecidesTheResultAndEveryFrameIsAcknowledged) {
    struct Case {
        unsigned char status;
        int result;
    } cases[] = {{'O', 0}, {'S', 0}, {'E', -1}, {'o', -1}};
    start(PrinterConfig());
    for (const Case& c : cases) {
        PrinterConfig config;
        config.status = c.status;
        printer.setConfig(config);
        printer.clearLog();
        unsigned char reply[1026] = {0};
        SCOPED_TRACE(c.status);
        ASSERT_EQ(0, RPU_PortOpen(port(), 9600));
        EXPECT_EQ(c.result, RPU_GetVersion(reply));
        EXPECT_EQ(c.status, reply[3]);
        EXPECT_EQ(0x06, receivedAtLeast(8).back());
        EXPECT_TRUE(MutexFree(g_mutexRPU));
    }
    // A failed status leaves the outputs untouched.
    PrinterConfig config;
    config.status = 'E';
    printer.setConfig(config);
    EXPECT_EQ(-1, query());
    EXPECT_EQ(0, version[0]);
    EXPECT_EQ(0x77, crc[0]);
}

TEST_F(RpuLink, NoiseEtxInDataAndWrongCheckByteAreTolerated) {
    PrinterConfig config;
    config.frame.insertFF = true;
    config.frame.badCheck = true;
    config.version = "a\x03"
                     "b\x03"
                     "c";
    config.crc[0] = 0x03;
    config.crc[1] = 0x02;
    start(config);
    ASSERT_EQ(0, query());
    EXPECT_EQ(0, std::memcmp("a\x03"
                             "b\x03"
                             "c",
                             version, 5));
    EXPECT_EQ(0x03, crc[0]);
    EXPECT_EQ(0x02, crc[1]);
    EXPECT_EQ(0x06, receivedAtLeast(8).back());
}

// The host reads one byte per polling round of about 2 ms, so a frame of
// 1026 bytes takes a good part of the 3000 ms window: one frame per TEST.
TEST_F(RpuLink, LongestReplyIsTakenWhole) {
    PrinterConfig config;
    config.padData = 1021 - 8; // status, version, CRC and filler: 1021 data bytes
    config.padByte = 0x03;     // ETX in the data, everywhere
    start(config);
    unsigned char reply[1026 + 16];
    std::memset(reply, 0xEE, sizeof reply);
    ASSERT_EQ(0, RPU_PortOpen(port(), 9600));
    ASSERT_EQ(0, RPU_GetVersion(reply));
    EXPECT_EQ(0xFD, reply[1]); // 1021 = 0x03FD
    EXPECT_EQ(0x03, reply[2]);
    EXPECT_EQ(0x03, reply[1024]); // the ETX
    Bytes sent = printer.sent();
    EXPECT_EQ(sent.back(), reply[1025]); // the check byte, as sent
    EXPECT_EQ(0xEE, reply[1026]);        // nothing stored past the frame
    EXPECT_EQ(0x06, receivedAtLeast(8).back());
}

TEST_F(RpuLink, ReplyLongerThanTheBufferEndsTooLong) {
    PrinterConfig config;
    config.padData = 1022 - 8;
    start(config);
    unsigned char reply[1026 + 16];
    std::memset(reply, 0xEE, sizeof reply);
    ASSERT_EQ(0, RPU_PortOpen(port(), 9600));
    EXPECT_EQ(-3, RPU_GetVersion(reply));
    EXPECT_EQ(0xEE, reply[1025]); // stopped after 1025 stored bytes
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Bytes wire = kVersionRequest;
    wire.push_back(0x05); // and never acknowledged
    EXPECT_EQ(Hex(wire), Hex(printer.received()));
    EXPECT_NE(0, ghRpuHandle);
}

TEST_F(RpuLink, PortOpensOnceWhateverTheSecondRate) {
    start(PrinterConfig());
    ASSERT_EQ(0, RPU_PortOpen(port(), 57600));
    int first = ghRpuHandle;
    EXPECT_EQ(57600, line.baud());
    EXPECT_EQ(0, RPU_PortOpen(port(), 115200));
    EXPECT_EQ(first, ghRpuHandle);
    EXPECT_EQ(57600, line.baud());
    RPU_PortClose();
    EXPECT_EQ(0, ghRpuHandle);
    RPU_PortClose(); // nothing open: harmless

    char missing[] = "/dev/kvfwdn-no-such-port";
    EXPECT_EQ(-4, RPU_PortOpen(missing, 9600));
    EXPECT_EQ(0, ghRpuHandle);
    unsigned char v[5] = {0}, c[3] = {0};
    EXPECT_EQ(-4, RPU_InitGetVersion(missing, 9600, v, c));
}

TEST_F(RpuLink, OversizedRequestIsRefusedUnsent) {
    start(PrinterConfig());
    ASSERT_EQ(0, RPU_PortOpen(port(), 9600));
    static unsigned char big[64972];
    EXPECT_EQ(-1, SendRpuDataFrame(big, 64968));
    EXPECT_EQ(-1, SendRpuDataFrame(big, -1));
    EXPECT_TRUE(MutexFree(g_mutexRPU));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(printer.received().empty());
}

TEST_F(RpuLink, DeviceStopsWhileTheHostHasTheLineClosed) {
    start(PrinterConfig());
    ASSERT_EQ(0, query());
    RPU_PortClose();
    auto begin = std::chrono::steady_clock::now();
    printer.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
}

// A reply too short to hold the version and CRC, or one whose version is
// empty, is no answer: -1, nothing handed out, still acknowledged.
TEST_F(RpuLink, ShortOrEmptyVersionReplyIsAFailure) {
    PrinterConfig config;
    const Bytes good = Frame({'S', 'A', 'B', '1', '2', '3', 0x1A, 0x2B});
    const std::vector<Bytes> bad = {
        Frame({'O', 'A', 'B'}),
        Frame({'S', 'A', 'B', '1', '2', '3', 0x1A}), // one CRC byte short
        Frame({'O', 0x00, 'B', '1', '2', '3', 0x1A, 0x2B}),
    };
    config.rawReply = good;
    start(config);
    ASSERT_EQ(0, query());
    EXPECT_STREQ("AB123", reinterpret_cast<char*>(version));
    RPU_PortClose();
    size_t exchanges = 1;
    for (const Bytes& reply : bad) {
        config.rawReply = reply;
        printer.setConfig(config);
        EXPECT_EQ(-1, query()) << Hex(reply);
        EXPECT_EQ(0, version[0]);
        EXPECT_EQ(0x77, crc[0]);
        // Request, one ENQ and the ACK of the reply, each time.
        EXPECT_EQ(0x06, receivedAtLeast(8 * ++exchanges).back());
        EXPECT_TRUE(MutexFree(g_mutexRPU));
        RPU_PortClose();
    }
    config.rawReply.clear();
    config.version = "";
    printer.setConfig(config);
    EXPECT_EQ(-1, query());
}

} // namespace
