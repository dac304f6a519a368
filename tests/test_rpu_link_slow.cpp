// Printer link protocol: the cases that end on a protocol window.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "rpu/RPUCom.h"
#include "sim/VirtualPrinter.h"
#include "support/LinkTest.h"
#include "support/VirtualClock.h"

namespace {

class RpuLinkSlow : public LinkFixture<VirtualPrinter, PrinterConfig, RPU_PortClose, &g_mutexRPU> {
  protected:
    VirtualPrinter& printer = device;
};
using RpuLinkWindow = RpuLinkSlow; // on the clock seam

TEST_F(RpuLinkSlow, PrinterThatOnlyAcksPollsTimesOutAfterTheWindow) {
    PrinterConfig config;
    config.line.ackPolls = -1;
    start(config);
    unsigned char reply[1026] = {0};
    ASSERT_EQ(0, RPU_PortOpen(port(), 9600));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(-2, RPU_GetVersion(reply));
    long long ms = MsSince(begin);
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 8000);
    EXPECT_GT(printer.polls(), 10); // every ACK drew a new ENQ
    EXPECT_TRUE(MutexFree(g_mutexRPU));
    EXPECT_NE(0, ghRpuHandle); // a failed receive leaves the port open
}

// On the clock seam: the printer stays silent, what counts is the window.
TEST_F(RpuLinkWindow, SilentPrinterFailsTheSendAndTheQueryClosesThePort) {
    PrinterConfig config;
    config.line.silent = true;
    start(config);
    unsigned char version[5], crc[3];
    auto begin = std::chrono::steady_clock::now();
    VirtualClock clock;
    EXPECT_EQ(-2, RPU_InitGetVersion(port(), 9600, version, crc));
    uint64_t ms = VirtualClock::nowMs();
    EXPECT_GE(ms, 2000u);
    EXPECT_LT(ms, 6000u);
    EXPECT_LT(MsSince(begin), 2000); // not waited for real
    EXPECT_EQ(0, ghRpuHandle);
    EXPECT_TRUE(MutexFree(g_mutexRPU));
    EXPECT_EQ(Hex({0x02, 0x01, 0x00, 0x56, 0x03, 0x54}), Hex(receivedAtLeast(6)));
}

TEST_F(RpuLinkSlow, PrinterAtOneRateAnswersOnlyThere) {
    PrinterConfig config;
    config.line.baudOnly = 9600;
    start(config);
    unsigned char version[6] = {0}, crc[3];
    EXPECT_EQ(-2, RPU_InitGetVersion(port(), 115200, version, crc));
    EXPECT_EQ(0, ghRpuHandle); // closed, so the next rate opens afresh
    EXPECT_EQ(0, RPU_InitGetVersion(port(), 9600, version, crc));
    EXPECT_STREQ("V1.23", reinterpret_cast<char*>(version));
}

TEST_F(RpuLinkSlow, FfDataByteIsLostAndTheFrameNeverCompletes) {
    PrinterConfig config;
    config.crc[0] = 0xFF;
    start(config);
    unsigned char version[6] = {0}, crc[3] = {0};
    EXPECT_EQ(-2, RPU_InitGetVersion(port(), 9600, version, crc));
    EXPECT_EQ(0, version[0]);
    EXPECT_TRUE(MutexFree(g_mutexRPU));
}

} // namespace
