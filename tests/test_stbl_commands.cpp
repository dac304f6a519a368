// The bootloader commands of CSTBLLib against the virtual bootloader:
// synchronisation, identification, memory access, protection, and the checks
// each makes before anything goes on the line.
#include <gtest/gtest.h>

#include <cstring>

#include "serial/rs232.h"
#include "support/BootTarget.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const std::vector<unsigned char> ALL = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43,
                                        0x44, 0x63, 0x71, 0x73, 0x82, 0x91, 0x92};

BootloaderConfig Dialect(int dialect, std::vector<unsigned char> list = ALL) {
    BootloaderConfig cfg;
    cfg.dialect = dialect;
    cfg.commands = list;
    return cfg;
}

} // namespace

TEST(StblCommands, SyncRepliesChooseTheDialect) {
    BootloaderConfig zero;
    zero.leadingZero = true;
    BootTarget z(zero);
    ASSERT_EQ(SUCCESS, z.open());
    ACK_VALUE = 0x75;
    EXPECT_EQ(SUCCESS, z.lib.STBL_Init_BL());
    EXPECT_EQ(0x79, ACK_VALUE);
    EXPECT_EQ(0x79, ACK);
    EXPECT_EQ(0x1F, NACK);
    EXPECT_EQ(Bytes{0x7F}, z.boot.received());

    BootloaderConfig nack;
    nack.syncReply = 0x1F;
    BootTarget n(nack);
    ASSERT_EQ(SUCCESS, n.open());
    EXPECT_EQ(UNREOGNIZED_DEVICE, n.lib.STBL_Init_BL());
    EXPECT_EQ(0, n.lib.GetAckValue());
    EXPECT_EQ(0x1F, ACK);
    EXPECT_EQ(0x1F, NACK) << "NACK stays as it was";

    BootTarget t75(Dialect(0x75));
    ASSERT_EQ(SUCCESS, t75.open());
    EXPECT_EQ(SUCCESS, t75.lib.STBL_Init_BL());
    EXPECT_EQ(0x75, ACK);
    EXPECT_EQ(0x3F, NACK);

    t75.lib.COM_Close();
    EXPECT_EQ(NO_CON_AVAILABLE, t75.lib.STBL_Init_BL());
}

TEST(StblCommands, GetIn0x79ModeFillsTheCallersFlagsButSetSpeed) {
    // A part that lists the extended erase but not the standard one.
    BootTarget t(
        Dialect(0x79, {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44, 0x63, 0x73, 0x82, 0x92, 0x03}));
    ASSERT_EQ(SUCCESS, t.open());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    Commands c;
    memset(&c, 0x5A, sizeof(c));
    unsigned char version = 0;
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&version, &c));
    EXPECT_EQ(0x22, version);
    EXPECT_EQ(0, c.bErase);
    EXPECT_EQ(1, c.bEraseExt);
    EXPECT_EQ(1, c.bRead);
    EXPECT_EQ(1, c.bWrite);
    EXPECT_EQ(0, c.bWriteTempUnprotect);
    EXPECT_EQ(0x5A, c.bSetSpeed) << "never written";
    EXPECT_EQ(0, t.lib.pTarget->bSetSpeed);
    EXPECT_EQ(0, memcmp(&c.bGet, &t.lib.pTarget->bGet, 3));
    EXPECT_EQ(0, memcmp(&c.bRead, &t.lib.pTarget->bRead, 11));
    // So a downloader would lift write protection next.
    t.boot.clearLog();
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE_PERM_UNPROTECT());
    EXPECT_EQ("73 8C", HexBytes(t.boot.received()));
}

TEST(StblCommands, GetIn0x75ModeSendsOnlyGetVersion) {
    BootloaderConfig cfg = Dialect(0x75);
    cfg.version = 0x31;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.open());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    t.lib.pTarget->bEraseExt = 1; // left from an earlier target
    t.boot.clearLog();
    Commands c;
    memset(&c, 0, sizeof(c));
    c.bSetSpeed = 7;
    unsigned char version = 0;
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&version, &c));
    EXPECT_EQ("01", HexBytes(t.boot.received()));
    EXPECT_EQ(0x31, version);
    EXPECT_EQ(7, c.bSetSpeed);
    EXPECT_EQ(0, c.bEraseExt);
    EXPECT_EQ(1, t.lib.pTarget->bEraseExt);
    const unsigned char* f = &c.bGet;
    const unsigned char* d = &t.lib.pTarget->bGet;
    for (int i = 0; i < 15; ++i) {
        if (i == 3 || i == 8)
            continue;
        EXPECT_EQ(1, f[i]) << i;
        EXPECT_EQ(1, d[i]) << i;
    }

    // A failing Get-version leaves the thirteen flags set and says why.
    BootloaderConfig refusing = Dialect(0x75);
    refusing.faults = {MakeFault(GET_VER_ROPS_CMD, 0, 2)};
    BootTarget r(refusing);
    ASSERT_EQ(SUCCESS, r.open());
    ASSERT_EQ(SUCCESS, r.lib.STBL_Init_BL());
    Commands rc{};
    version = 0x99;
    EXPECT_EQ(CMD_FAIL, r.lib.STBL_GET(&version, &rc));
    EXPECT_EQ(0x99, version);
    EXPECT_EQ(1, rc.bWrite);
    EXPECT_EQ(1, r.lib.pTarget->bRead);
}

TEST(StblCommands, ChecksRunPortFlagPointerAndSendNothing) {
    BootTarget t;
    unsigned char b = 0;
    // Port closed: NO_CON_AVAILABLE before anything else.
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_READ(0x08000000, 4, nullptr));
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_GET(nullptr, nullptr));
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_GO(0x08000000));
    ASSERT_EQ(SUCCESS, t.open());
    // A fresh object has every flag 0: the flag is tested before the pointer.
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_GO(0x08000000));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_READ(0x08000000, 4, nullptr));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_WRITE(0x08000000, 4, nullptr));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_GET_VER_ROPS(nullptr, nullptr, nullptr));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_GET_ID(nullptr, nullptr));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_WRITE_PROTECT(1, nullptr));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_WRITE_TEMP_UNPROTECT());
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_WRITE_PERM_UNPROTECT());
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_READOUT_PROTECT());
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_READOUT_TEMP_UNPROTECT());
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_READOUT_PERM_UNPROTECT());
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_SetSpeed(115200));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_GET(&b, nullptr));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_GET(nullptr, &t.commands));
    EXPECT_TRUE(t.boot.received().empty());

    // With the flags set, the pointers are tested.
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&b, &t.commands));
    t.lib.pTarget->bWriteProtect = 1;
    t.boot.clearLog();
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_READ(0x08000000, 4, nullptr));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_WRITE(0x08000000, 4, nullptr));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_GET_VER_ROPS(&b, &b, nullptr));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_GET_ID(nullptr, &b));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_WRITE_PROTECT(1, nullptr));
    EXPECT_TRUE(t.boot.received().empty());
}

TEST(StblCommands, OddSizesAreRaisedToEvenWithFF) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    t.boot.setMemory(0x08000000, {1, 2, 3, 4, 5});
    unsigned char buf[5] = {0, 0, 0, 0, 0xEE};
    t.boot.clearLog();
    ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 3, buf));
    EXPECT_EQ("11 EE 08 00 00 00 08 03 FC", HexBytes(t.boot.received()));
    EXPECT_EQ(4, buf[3]) << "four bytes stored";
    EXPECT_EQ(0xEE, buf[4]);

    unsigned char data[3] = {0x10, 0x20, 0x30};
    t.boot.clearLog();
    ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x08000100, 3, data));
    EXPECT_EQ("31 CE 08 00 01 00 09 03 10 20 30 FF FC", HexBytes(t.boot.received()));
    EXPECT_EQ((Bytes{0x10, 0x20, 0x30, 0xFF}), t.boot.memory(0x08000100, 4));
}

TEST(StblCommands, SizesThatCannotBeSentAreRefused) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect()); // packet size 128
    t.boot.clearLog();
    unsigned char buf[256] = {};
    for (unsigned char size : {0, 255, 129, 130, 254}) {
        EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.STBL_READ(0x08000000, size, buf)) << int(size);
        EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.STBL_WRITE(0x08000000, size, buf)) << int(size);
    }
    EXPECT_TRUE(t.boot.received().empty());
    EXPECT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 127, buf)); // 128 fits
    ASSERT_EQ(SUCCESS, t.lib.SetPaketSize(252));
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE(0x08000000, 251, buf));
}

TEST(StblCommands, GetVersionAndIdOutputs) {
    BootloaderConfig cfg;
    cfg.version = 0x30;
    cfg.option1 = 0x11;
    cfg.option2 = 0x22;
    cfg.productId = {0x04, 0x13};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    unsigned char v = 0, a = 0, b = 0;
    t.boot.clearLog();
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET_VER_ROPS(&v, &a, &b));
    EXPECT_EQ("01 FE", HexBytes(t.boot.received()));
    EXPECT_EQ(0x30, v);
    EXPECT_EQ(0x22, a) << "second option byte first";
    EXPECT_EQ(0x11, b);
    unsigned char len = 0, pid[2] = {};
    t.boot.clearLog();
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET_ID(&len, pid));
    EXPECT_EQ("02 FD", HexBytes(t.boot.received()));
    EXPECT_EQ(2, len);
    EXPECT_EQ(0x13, pid[1]);
}

TEST(StblCommands, ProtectionCommandsCountProgressAndResetThePart) {
    BootloaderConfig cfg = Dialect(0x79);
    cfg.faults = {MakeFault(READOUT_PROTECT_CMD, 0, 1)}; // refused
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    t.lib.progressCount = 5;
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_READOUT_PROTECT());
    EXPECT_EQ(5u, t.lib.progressCount);
    EXPECT_FALSE(t.boot.readProtected());

    EXPECT_EQ(SUCCESS, t.lib.STBL_READOUT_PROTECT());
    EXPECT_EQ(6u, t.lib.progressCount);
    EXPECT_TRUE(t.boot.readProtected());
    // The part restarted: sync, and Get no longer offers Read.
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&t.version, &t.commands));
    EXPECT_EQ(0, t.commands.bRead);
    t.boot.setMemory(0x08000000, {0x12, 0x34});
    EXPECT_EQ(SUCCESS, t.lib.STBL_READOUT_TEMP_UNPROTECT());
    EXPECT_EQ(7u, t.lib.progressCount);
    EXPECT_FALSE(t.boot.readProtected());
    EXPECT_EQ((Bytes{0xFF, 0xFF}), t.boot.memory(0x08000000, 2)) << "flash wiped";
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    EXPECT_EQ(SUCCESS, t.lib.STBL_READOUT_PERM_UNPROTECT());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    unsigned char sectors[2] = {0, 1};
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE_PROTECT(2, sectors));
    EXPECT_TRUE(t.boot.writeProtected());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE_TEMP_UNPROTECT());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE_PERM_UNPROTECT());
    EXPECT_EQ(11u, t.lib.progressCount);
    EXPECT_EQ(6, t.boot.syncCount());
    // Other commands leave the count alone.
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&t.version, &t.commands));
    unsigned char buf[4];
    EXPECT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 4, buf));
    EXPECT_EQ(11u, t.lib.progressCount);
}

TEST(StblCommands, WritePermUnprotectIn0x75ModeIsTheTemporaryOne) {
    BootTarget t(Dialect(0x75));
    ASSERT_EQ(SUCCESS, t.connect());
    t.boot.clearLog();
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE_PERM_UNPROTECT());
    EXPECT_EQ("71", HexBytes(t.boot.received()));
    EXPECT_EQ(1u, t.lib.progressCount) << "counted once";
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    // Both flags are needed.
    t.lib.pTarget->bWriteTempUnprotect = 0;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_WRITE_PERM_UNPROTECT());
    t.lib.pTarget->bWriteTempUnprotect = 1;
    t.lib.pTarget->bWritePermUnprotect = 0;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_WRITE_PERM_UNPROTECT());
}

TEST(StblCommands, EchoingLinesCarryTheSameExchanges) {
    // Echo mode 2: the line returns every byte the host sends.
    BootloaderConfig mode2;
    mode2.echoLine = true;
    BootTarget e2(mode2);
    ASSERT_EQ(SUCCESS, e2.lib.STBL_SetEcho(2));
    ASSERT_EQ(SUCCESS, e2.connect());
    unsigned char image[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(SUCCESS, e2.lib.STBL_WRITE(0x08000000, 8, image));
    unsigned char back[8] = {};
    EXPECT_EQ(SUCCESS, e2.lib.STBL_READ(0x08000000, 8, back));
    EXPECT_EQ(0, memcmp(image, back, 8));

    // Echo mode 1: the host returns every byte the device sends.
    BootloaderConfig mode1;
    mode1.hostEchoes = true;
    BootTarget e1(mode1);
    ASSERT_EQ(SUCCESS, e1.lib.STBL_SetEcho(1));
    ASSERT_EQ(SUCCESS, e1.connect());
    e1.boot.clearLog();
    EXPECT_EQ(SUCCESS, e1.lib.STBL_WRITE(0x08000000, 8, image));
    EXPECT_EQ(SUCCESS, e1.lib.STBL_READ(0x08000000, 8, back));
    EXPECT_EQ(0, memcmp(image, back, 8));
    EXPECT_EQ(2u + 5 + 1 + 8 + 1 + 2 + 5 + 2, e1.boot.received().size())
        << "the device saw only the host's frames";
}
