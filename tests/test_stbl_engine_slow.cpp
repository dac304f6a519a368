// The 3-second silences of the bootloader exchanges: each TEST waits out the
// port's read time-out once or twice, so they stay few and run side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "support/BootTarget.h"
#include "support/LinkTest.h"
#include "support/VirtualClock.h"

TEST(StblEngineSlow, GetListShorterThanAnnouncedPrintsBothMessages) {
    BootloaderConfig cfg;
    // The second Get sends one code less than it announces.
    BootloaderFault cut = MakeFault(0x00, 1, 1, BootloaderFault::Truncate);
    cfg.faults = {cut};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    t.lib.pTarget->Option1 = 0x42; // any change would show
    TargetDescriptor before = *t.lib.pTarget;
    Commands c = t.commands;
    unsigned char version = 0x99;
    StdoutGrab out;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(READ_FAIL, t.lib.STBL_GET(&version, &c));
    long long waited = MsSince(t0);
    EXPECT_EQ(" CSTBLLib::Send_RQ Fail : recv[-1]\n"
              " CSTBLLib::Send_RQ Fail : recved[10] != CmdCount[11]\n",
              out.stop());
    EXPECT_GE(waited, 2900);
    EXPECT_LT(waited, 8000);
    EXPECT_EQ(0, memcmp(&before, t.lib.pTarget, sizeof(before)));
    EXPECT_EQ(0x99, version);
}

// On the clock seam: the target stays silent, what counts is the window.
TEST(StblEngine, SilentTargetGivesReadFail) {
    BootloaderConfig cfg;
    cfg.silent = true;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.open());
    auto t0 = std::chrono::steady_clock::now();
    VirtualClock clock;
    EXPECT_EQ(READ_FAIL, t.lib.STBL_Init_BL());
    uint64_t waited = VirtualClock::nowMs();
    EXPECT_GE(waited, 2900u);
    EXPECT_LT(waited, 8000u);
    EXPECT_LT(MsSince(t0), 2900); // not waited for real
    EXPECT_EQ(0x79, ACK_VALUE) << "the dialect is left as it was";
}

TEST(StblEngineSlow, SilenceAfterTheAddressOfGoAndAfterLeadingZero) {
    BootloaderConfig cfg;
    BootloaderFault quiet;
    quiet.cmd = 0x21;
    quiet.step = 1;
    quiet.kind = BootloaderFault::Silence;
    // The second sync: 0x00 and then nothing.
    BootloaderFault half = MakeFault(0x7F, 1, 0, BootloaderFault::Truncate);
    cfg.leadingZero = true;
    cfg.faults = {quiet, half};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(READ_FAIL, t.lib.STBL_GO(0x08000000));
    EXPECT_EQ(READ_FAIL, t.lib.STBL_Init_BL());
    long long waited = MsSince(t0);
    EXPECT_GE(waited, 5800);
    EXPECT_LT(waited, 14000);
}
