// Option bytes and small target reads against the virtual bootloader: the
// 16-byte images of the three layouts, how each getter picks its bytes, and
// what is refused before anything is sent.
#include <gtest/gtest.h>
#include <vector>

#include "support/BootTarget.h"

namespace {

const uint32_t RAM = 0x20000000;

// The bytes of a Write exchange at `a` from the target's log (0x79 dialect):
// command 2, address 5, count 1, then the data.
std::vector<unsigned char> WrittenData(const std::vector<unsigned char>& log, size_t n) {
    if (log.size() < 8 + n)
        return {};
    return std::vector<unsigned char>(log.begin() + 8, log.begin() + 8 + n);
}

std::vector<unsigned char> Sequence(unsigned char first, size_t n) {
    std::vector<unsigned char> out(n);
    for (size_t i = 0; i < n; i++)
        out[i] = static_cast<unsigned char>(first + i);
    return out;
}

} // namespace

TEST(StblTarget, SetOptionBytesImagesOfTheThreeLayouts) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    struct Case {
        uint32_t address;
        unsigned char user, rdp, d0, d1, w0, w1, w2, w3;
        const char* image;
    } cases[] = {
        {0x1FFFF800, 0xFF, 0xA5, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
         "A5 5A FF 00 00 FF 00 FF FF 00 FF 00 FF 00 FF 00"},
        {0x1FF80000, 0x11, 0xAA, 0x22, 0x33, 0x01, 0x02, 0x03, 0x04,
         "AA 00 55 00 11 00 EE 00 01 02 FE FD 03 04 FC FB"},
        {0x1FFFC000, 0x11, 0xAA, 0x22, 0x33, 0x01, 0x02, 0x03, 0x04,
         "11 AA FF FF FF FF FF FF 01 02 FF FF FF FF FF FF"},
        // Not a layout address: sixteen erased bytes.
        {RAM + 0x40, 0x11, 0xAA, 0x22, 0x33, 0x01, 0x02, 0x03, 0x04,
         "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(t.boot.setMemory(c.address, std::vector<unsigned char>(16, 0x00)));
        t.boot.clearLog();
        EXPECT_EQ(SUCCESS, t.lib.TARGET_SetOptionBytes(c.address, c.user, c.rdp, c.d0, c.d1, c.w0,
                                                       c.w1, c.w2, c.w3));
        std::vector<unsigned char> log = t.boot.received();
        EXPECT_EQ(c.image, HexBytes(WrittenData(log, 16)));
        EXPECT_EQ(c.image, HexBytes(t.boot.memory(c.address, 16)));
        EXPECT_EQ(25u, log.size()); // one Write of 16 bytes
    }
}

TEST(StblTarget, GetOptionBytesPicksEachLayoutsBytes) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    const std::vector<unsigned char> held = Sequence(0x10, 16);
    struct Case {
        uint32_t address;
        unsigned char user, rdp, d0, d1, w0, w1, w2, w3;
    } cases[] = {
        {0x1FFFF800, 0x12, 0x10, 0x14, 0x16, 0x18, 0x1A, 0x1C, 0x1E},
        {0x1FF80000, 0x14, 0x10, 0x00, 0x00, 0x18, 0x19, 0x1C, 0x1D},
        // The F2 layout has no data bytes and no WRP2, WRP3.
        {0x1FFFC000, 0x10, 0x11, 0xFF, 0xFF, 0x18, 0x19, 0xFF, 0xFF},
        // Not a layout address: outputs untouched.
        {RAM, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(t.boot.setMemory(c.address, held));
        unsigned char o[8];
        for (unsigned char& b : o)
            b = 0xEE;
        EXPECT_EQ(SUCCESS, t.lib.TARGET_GetOptionBytes(c.address, &o[0], &o[1], &o[2], &o[3], &o[4],
                                                       &o[5], &o[6], &o[7]));
        const unsigned char want[8] = {c.user, c.rdp, c.d0, c.d1, c.w0, c.w1, c.w2, c.w3};
        EXPECT_EQ(HexBytes(std::vector<unsigned char>(want, want + 8)),
                  HexBytes(std::vector<unsigned char>(o, o + 8)))
            << std::hex << c.address;
    }
}

TEST(StblTarget, SingleOptionBytesAndSmallReads) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    unsigned char rdp = 0;
    const unsigned char pairs[][3] = {
        {0xA5, 0x5A, 0xA5}, {0xFF, 0xFF, 0xFF}, {0xA5, 0xA5, 0xFF}, {0x00, 0xFF, 0xA5}};
    for (const auto& p : pairs) {
        ASSERT_TRUE(t.boot.setMemory(0x1FFFF800, {p[0], p[1]}));
        EXPECT_EQ(SUCCESS, t.lib.TARGET_GetRDPOptionByte(&rdp));
        EXPECT_EQ(p[2], rdp);
    }

    ASSERT_TRUE(t.boot.setMemory(0x1FFFF800, Sequence(0x40, 16)));
    unsigned char user = 0, d0 = 0, d1 = 0, w[4] = {};
    EXPECT_EQ(SUCCESS, t.lib.TARGET_GetUserOptionByte(&user));
    EXPECT_EQ(0x42, user);
    EXPECT_EQ(SUCCESS, t.lib.TARGET_GetDataOptionByte(&d0, &d1));
    EXPECT_EQ(0x44, d0);
    EXPECT_EQ(0x46, d1);
    EXPECT_EQ(SUCCESS, t.lib.TARGET_GetWRPOptionBytes(&w[0], &w[1], &w[2], &w[3]));
    EXPECT_EQ("48 4A 4C 4E", HexBytes(std::vector<unsigned char>(w, w + 4)));

    ASSERT_TRUE(t.boot.setMemory(RAM + 0x10, {0x40, 0x01, 0x9C, 0x11}));
    unsigned short size = 0;
    EXPECT_EQ(SUCCESS, t.lib.TARGET_GetFlashSize(RAM + 0x10, &size));
    EXPECT_EQ(0x0140, size);
    unsigned char value = 0;
    t.boot.clearLog();
    EXPECT_EQ(SUCCESS, t.lib.TARGET_GetMemoryAddress(RAM + 0x12, &value));
    EXPECT_EQ(0x9C, value);
    // One byte asked for, two read: the count byte says 2.
    EXPECT_EQ("11 EE 20 00 00 12 32 01 FE", HexBytes(t.boot.received()));
}

TEST(StblTarget, WriteProtectionBytesByDialect) {
    BootloaderConfig cfg;
    cfg.dialect = 0x75;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    ASSERT_TRUE(t.boot.setMemory(0x2010DFB0, Sequence(0x61, 8)));
    unsigned char w[4] = {};
    EXPECT_EQ(SUCCESS, t.lib.TARGET_GetWRPOptionBytes(&w[0], &w[1], &w[2], &w[3]));
    EXPECT_EQ("61 62 63 64", HexBytes(std::vector<unsigned char>(w, w + 4)));

    // No bootloader reply recognised: nothing to read, outputs unchanged.
    ACK_VALUE = 0;
    t.boot.clearLog();
    EXPECT_EQ(UNREOGNIZED_DEVICE, t.lib.TARGET_GetWRPOptionBytes(&w[0], &w[1], &w[2], &w[3]));
    EXPECT_EQ("61 62 63 64", HexBytes(std::vector<unsigned char>(w, w + 4)));
    EXPECT_TRUE(t.boot.received().empty());
}

TEST(StblTarget, SecondWriteProtectionReadFails) {
    BootloaderConfig cfg;
    cfg.faults.push_back({0x11, 1, 1, BootloaderFault::Nack});
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    ASSERT_TRUE(t.boot.setMemory(0x1FFFF808, Sequence(0x70, 8)));
    unsigned char w[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(CMD_FAIL, t.lib.TARGET_GetWRPOptionBytes(&w[0], &w[1], &w[2], &w[3]));
    EXPECT_EQ("70 72 EE EE", HexBytes(std::vector<unsigned char>(w, w + 4)));
}

TEST(StblTarget, RefusedBeforeAnythingIsSent) {
    BootloaderConfig cfg;
    cfg.commands = {0x00, 0x01, 0x02, 0x21, 0x31, 0x43}; // no Read
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    unsigned char b[8];
    for (unsigned char& x : b)
        x = 0xEE;
    unsigned short size = 0xEEEE;
    t.boot.clearLog();
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetFlashSize(RAM, &size));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetMemoryAddress(RAM, &b[0]));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetRDPOptionByte(&b[0]));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetUserOptionByte(&b[0]));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetDataOptionByte(&b[0], &b[1]));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetWRPOptionBytes(&b[0], &b[1], &b[2], &b[3]));
    // Setting tests the Read flag too, although it only writes.
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_SetOptionBytes(0x1FFFF800, 1, 2, 3, 4, 5, 6, 7, 8));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.TARGET_GetOptionBytes(0x1FFFF800, &b[0], &b[1], &b[2], &b[3],
                                                           &b[4], &b[5], &b[6], &b[7]));
    t.lib.pTarget->bRead = 1;
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.TARGET_GetRDPOptionByte(nullptr));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR,
              t.lib.TARGET_GetOptionBytes(0x1FFFF800, &b[0], &b[1], &b[2], nullptr, &b[4], &b[5],
                                          &b[6], &b[7]));

    // A packet size below one option set: the buffers still hold a whole
    // set, and the 16-byte transfer is refused by the size check.
    ASSERT_EQ(SUCCESS, t.lib.SetPaketSize(8));
    EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.TARGET_SetOptionBytes(0x1FFFF800, 1, 2, 3, 4, 5, 6, 7, 8));
    EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.TARGET_GetOptionBytes(0x1FFFF800, &b[0], &b[1], &b[2],
                                                              &b[3], &b[4], &b[5], &b[6], &b[7]));
    ASSERT_EQ(SUCCESS, t.lib.COM_Close());
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.TARGET_GetRDPOptionByte(&b[0]));
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.TARGET_SetOptionBytes(0x1FFFF800, 1, 2, 3, 4, 5, 6, 7, 8));

    EXPECT_TRUE(t.boot.received().empty());
    EXPECT_EQ(0xEEEE, size);
    for (unsigned char x : b)
        EXPECT_EQ(0xEE, x);
}
