// Dispenser link protocol: the cases that end on a protocol window.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cdu/CDUCom.h"
#include "sim/VirtualDispenser.h"
#include "support/LinkTest.h"
#include "support/VirtualClock.h"
#include "test_cdu_link.h"

namespace {

class CduLinkSlow
    : public LinkFixture<VirtualDispenser, DispenserConfig, CDU_PortClose, &g_mutexCDU> {
  protected:
    VirtualDispenser& dispenser = device;
};
using CduLinkWindow = CduLinkSlow; // on the clock seam

TEST_F(CduLinkSlow, DispenserThatOnlyAcksPollsTimesOutWithANewEnqPerAck) {
    DispenserConfig config;
    config.line.ackPolls = -1;
    start(config);
    unsigned char reply[1026];
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(-2, CDU_GetInfo(0, reply));
    long long ms = MsSince(begin);
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 8000);
    std::vector<unsigned char> wire = dispenser.received();
    size_t enqs = 0;
    for (size_t i = 6; i < wire.size(); ++i)
        enqs += wire[i] == 0x05;
    EXPECT_EQ(wire.size() - 6, enqs); // after the request, nothing but ENQs
    EXPECT_EQ(size_t(dispenser.polls()), enqs);
    EXPECT_GT(enqs, 10u);
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    EXPECT_NE(0, ghCduHandle);
}

// On the clock seam: the dispenser stays silent, what counts is the window.
TEST_F(CduLinkWindow, SilentDispenserFailsBothAttemptsAndKeepsThePortOpen) {
    DispenserConfig config;
    config.line.silent = true;
    start(config);
    unsigned char version[13];
    auto begin = std::chrono::steady_clock::now();
    VirtualClock clock;
    EXPECT_EQ(-2, CDU_InitGetVersion(1, port(), 9600, version));
    uint64_t ms = VirtualClock::nowMs();
    EXPECT_GE(ms, 2500u); // two ACK waits and the 500 ms pause
    EXPECT_LT(ms, 9000u);
    EXPECT_LT(MsSince(begin), 2500); // not waited for real
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    EXPECT_NE(0, ghCduHandle);
}

TEST_F(CduLinkSlow, PlainRetryAfterAnUnacknowledgedScrambledRequest) {
    ExpectPlainRetryServes(dispenser, port(), DispenserConfig::ScrambledNoAck, 1);
}

TEST_F(CduLinkSlow, DispenserAtOneRateAnswersOnlyThere) {
    DispenserConfig config;
    config.line.baudOnly = 9600;
    start(config);
    unsigned char reply[1026];
    ASSERT_EQ(0, CDU_PortOpen(port(), 115200));
    EXPECT_EQ(-2, CDU_GetInfo(0, reply));
    CDU_PortClose();
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    EXPECT_EQ(0, CDU_GetInfo(0, reply));
    EXPECT_EQ(0, std::memcmp("DSP12A0105R00", reply + 4, 13));
}

TEST_F(CduLinkSlow, ContinuedReceiveKeepsTheFirstWaitsWindow) {
    DispenserConfig config;
    config.replyCode = 'P'; // and nothing after it
    start(config);
    unsigned char reply[1026];
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(2, CDU_GetInfo(1, reply));
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    EXPECT_EQ(-2, RecvCduDataFrame(1, 3000, 1, reply));
    long long ms = MsSince(begin); // one window from the first wait's start
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 6500);
    EXPECT_TRUE(MutexFree(g_mutexCDU));
}

} // namespace
