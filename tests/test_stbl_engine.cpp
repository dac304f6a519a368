// Send_RQ against the virtual bootloader on a pty: the exchanges of both
// dialects byte for byte, how replies turn into status codes, and who owns
// the product-ID block.
#include <gtest/gtest.h>

#include <cstring>

#include "support/BootTarget.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Ramp(size_t n, unsigned char first) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(first + i);
    return v;
}

unsigned char Xor(const Bytes& v) {
    unsigned char x = 0;
    for (unsigned char b : v)
        x ^= b;
    return x;
}

// A request with a zeroed working record, as the commands build them.
struct Request {
    TargetDescriptor target;
    STBL_Request rq;
    explicit Request(unsigned char cmd) {
        memset(&target, 0, sizeof(target));
        memset(&rq, 0, sizeof(rq));
        rq.cmd = cmd;
        rq.target = &target;
    }
};

BootloaderConfig WithCommands(std::vector<unsigned char> list, int dialect = 0x79) {
    BootloaderConfig cfg;
    cfg.dialect = dialect;
    cfg.commands = list;
    return cfg;
}

const std::vector<unsigned char> ALL = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43,
                                        0x44, 0x63, 0x71, 0x73, 0x82, 0x91, 0x92};

} // namespace

TEST(StblEngine, ExchangesOf0x79DialectByteForByte) {
    BootloaderConfig cfg = WithCommands(ALL);
    cfg.pageSize = 256; // 1024 pages, so page 300 exists
    BootTarget t(cfg);
    t.boot.setMemory(0x08000000, Ramp(128, 0x40));
    ASSERT_EQ(SUCCESS, t.open());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    EXPECT_EQ(Bytes{0x7F}, t.boot.received());

    t.boot.clearLog();
    Request get(GET_CMD);
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&get.rq));
    EXPECT_EQ("00 FF", HexBytes(t.boot.received()));
    EXPECT_EQ(14, t.lib.pTarget->CmdCount);
    EXPECT_EQ(0x22, t.lib.pTarget->Version);
    EXPECT_EQ(1, t.lib.pTarget->bEraseExt);
    EXPECT_EQ(0, t.lib.pTarget->bSetSpeed);

    t.boot.clearLog();
    Bytes data(128, 0);
    Request read(READ_CMD);
    read.rq.address = 0x08000000;
    read.rq.length = 128;
    read.rq.data = data.data();
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&read.rq));
    EXPECT_EQ("11 EE 08 00 00 00 08 7F 80", HexBytes(t.boot.received()));
    EXPECT_EQ(Ramp(128, 0x40), data);

    t.boot.clearLog();
    Bytes image = Ramp(128, 0x00);
    Request write(WRITE_CMD);
    write.rq.address = 0x08000400;
    write.rq.length = 128;
    write.rq.data = image.data();
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&write.rq));
    unsigned char sum = static_cast<unsigned char>(0x7F ^ Xor(image));
    EXPECT_EQ(Cat({{0x31, 0xCE, 0x08, 0x00, 0x04, 0x00, 0x0C, 0x7F}, image, {sum}}),
              t.boot.received());
    EXPECT_EQ(image, t.boot.memory(0x08000400, 128));

    t.boot.clearLog();
    Request erase(ERASE_CMD);
    erase.rq.sectorCount = 0xFF;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&erase.rq));
    EXPECT_EQ("43 BC FF 00", HexBytes(t.boot.received()));
    EXPECT_EQ(Bytes(128, 0xFF), t.boot.memory(0x08000400, 128));

    t.boot.clearLog();
    Request ext(ERASE_EXT_CMD);
    ext.rq.pageCount = 0xFFFF;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&ext.rq));
    EXPECT_EQ("44 BB FF FF 00", HexBytes(t.boot.received()));

    // Pages 5, 6, 7 in both erase commands.
    t.boot.clearLog();
    unsigned char codes[3] = {5, 6, 7};
    Request list(ERASE_CMD);
    list.rq.sectorCount = 3;
    list.rq.length = 3;
    list.rq.data = codes;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&list.rq));
    EXPECT_EQ("43 BC 02 05 06 07 06", HexBytes(t.boot.received()));

    t.boot.clearLog();
    unsigned char pages[6] = {0x05, 0x00, 0x06, 0x00, 0x2C, 0x01}; // low byte first
    Request plist(ERASE_EXT_CMD);
    plist.rq.pageCount = 3;
    plist.rq.length = 3;
    plist.rq.data = pages;
    t.boot.setMemory(0x08000000 + 300 * 256, Bytes(4, 0x00));
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&plist.rq));
    EXPECT_EQ("44 BB 00 02 00 05 00 06 01 2C 2C", HexBytes(t.boot.received()));
    EXPECT_EQ(Bytes(4, 0xFF), t.boot.memory(0x08000000 + 300 * 256, 4));

    t.boot.clearLog();
    unsigned char sectors[2] = {0x01, 0x02};
    Request wp(WRITE_PROTECT_CMD);
    wp.rq.sectorCount = 2;
    wp.rq.length = 2;
    wp.rq.data = sectors;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&wp.rq));
    EXPECT_EQ("63 9C 01 01 02 02", HexBytes(t.boot.received()));
    EXPECT_TRUE(t.boot.writeProtected());

    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL()); // the part reset after protecting
    t.boot.clearLog();
    Request unprotect(READOUT_PERM_UNPROTECT_CMD);
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&unprotect.rq));
    EXPECT_EQ("92 6D", HexBytes(t.boot.received()));

    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    t.boot.clearLog();
    Request go(GO_CMD);
    go.rq.address = 0x08000000;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&go.rq));
    EXPECT_EQ("21 DE 08 00 00 00 08", HexBytes(t.boot.received()));
}

TEST(StblEngine, ExchangesOf0x75DialectByteForByte) {
    BootloaderConfig cfg = WithCommands(ALL, 0x75);
    cfg.option1 = 0x5A;
    cfg.option2 = 0xA5;
    cfg.productId = {0x04, 0x10};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.open());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    EXPECT_EQ(0x75, t.lib.GetAckValue());
    EXPECT_EQ(0x75, ACK);
    EXPECT_EQ(0x3F, NACK);

    t.boot.clearLog();
    Request get(GET_CMD);
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&get.rq));
    EXPECT_EQ("00", HexBytes(t.boot.received()));
    EXPECT_EQ(1, t.lib.pTarget->bRead);

    t.boot.clearLog();
    Request ver(GET_VER_ROPS_CMD);
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&ver.rq));
    EXPECT_EQ("01", HexBytes(t.boot.received()));
    EXPECT_EQ(0x5A, t.lib.pTarget->Option1);
    EXPECT_EQ(0xA5, t.lib.pTarget->Option2);
    EXPECT_EQ(1, t.lib.pTarget->bRead) << "Get-version keeps the flags";

    t.boot.clearLog();
    Request id(GET_ID_CMD);
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&id.rq));
    EXPECT_EQ("02", HexBytes(t.boot.received()));
    ASSERT_EQ(2, t.lib.pTarget->PIDLen);
    EXPECT_EQ(0x10, t.lib.pTarget->PID[1]);

    t.boot.clearLog();
    Bytes image = Ramp(8, 0xA0);
    Request write(WRITE_CMD);
    write.rq.address = 0x08000010;
    write.rq.length = 8;
    write.rq.data = image.data();
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&write.rq));
    EXPECT_EQ(Cat({{0x31, 0x08, 0x00, 0x00, 0x10, 0x07}, image}), t.boot.received());

    t.boot.clearLog();
    Bytes data(8, 0);
    Request read(READ_CMD);
    read.rq.address = 0x08000010;
    read.rq.length = 8;
    read.rq.data = data.data();
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&read.rq));
    EXPECT_EQ("11 08 00 00 10 07", HexBytes(t.boot.received()));
    EXPECT_EQ(image, data);

    t.boot.clearLog();
    unsigned char codes[2] = {0, 1};
    Request list(ERASE_CMD);
    list.rq.sectorCount = 2;
    list.rq.length = 2;
    list.rq.data = codes;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&list.rq));
    EXPECT_EQ("43 01 00 01", HexBytes(t.boot.received()));
    EXPECT_EQ(Bytes(8, 0xFF), t.boot.memory(0x08000010, 8));

    t.boot.clearLog();
    Request erase(ERASE_CMD);
    erase.rq.sectorCount = 0xFF;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&erase.rq));
    EXPECT_EQ("43 FF", HexBytes(t.boot.received()));

    t.boot.clearLog();
    unsigned char sectors[2] = {0x03, 0x04};
    Request wp(WRITE_PROTECT_CMD);
    wp.rq.sectorCount = 2;
    wp.rq.length = 2;
    wp.rq.data = sectors;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&wp.rq));
    EXPECT_EQ("63 01 03 04 06", HexBytes(t.boot.received()));

    const unsigned char bare[] = {WRITE_TEMP_UNPROTECT_CMD, READOUT_PROTECT_CMD,
                                  READOUT_TEMP_UNPROTECT_CMD, WRITE_PERM_UNPROTECT_CMD,
                                  READOUT_PERM_UNPROTECT_CMD};
    for (unsigned char code : bare) {
        ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
        t.boot.clearLog();
        Request r(code);
        ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&r.rq)) << int(code);
        EXPECT_EQ(Bytes{code}, t.boot.received());
    }

    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    t.boot.clearLog();
    Request go(GO_CMD);
    go.rq.address = 0x20000000;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&go.rq));
    EXPECT_EQ("21 20 00 00 00", HexBytes(t.boot.received()));
}

TEST(StblEngine, GetWithNoCodesAndUnknownCodes) {
    BootTarget none(WithCommands({}));
    ASSERT_EQ(SUCCESS, none.connect());
    EXPECT_EQ(0, none.lib.pTarget->CmdCount);
    const unsigned char* flags = &none.lib.pTarget->bGet;
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(0, flags[i]) << i;
    EXPECT_EQ(nullptr, none.lib.pTarget->PID);

    // 0x03 and codes without a flag are ignored.
    BootTarget odd(WithCommands({0x03, 0x11, 0x55}));
    ASSERT_EQ(SUCCESS, odd.connect());
    EXPECT_EQ(3, odd.lib.pTarget->CmdCount);
    EXPECT_EQ(1, odd.lib.pTarget->bRead);
    EXPECT_EQ(0, odd.lib.pTarget->bSetSpeed);
    EXPECT_EQ(0, odd.lib.pTarget->bGet);
}

TEST(StblEngine, RefusalsTurnIntoStatusCodes) {
    BootloaderConfig cfg;
    cfg.faults = {
        MakeFault(READ_CMD, 0, 0),  // Read refused at its command code
        MakeFault(WRITE_CMD, 0, 1), // Write refused after its address
        MakeFault(READ_CMD, 1, 1),  // the second Read refused after its address
        MakeFault(GET_CMD, 1, 2),   // Get's final ACK refused, the second time
    };
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    Bytes data(4, 0);
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_READ(0x08000000, 4, data.data()));
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_READ(0x08000000, 4, data.data()));
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_WRITE(0x08000000, 4, data.data()));
    EXPECT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 4, data.data()));
    // A Get whose end is refused leaves the descriptor as it was.
    TargetDescriptor before = *t.lib.pTarget;
    Request get(GET_CMD);
    EXPECT_EQ(CMD_FAIL, t.lib.Send_RQ(&get.rq));
    EXPECT_EQ(0, memcmp(&before, t.lib.pTarget, sizeof(before)));
}

TEST(StblEngine, GoAckNackAndAnyByte) {
    BootloaderConfig cfg;
    cfg.faults = {MakeFault(GO_CMD, 0, 1)}; // the first Go refused
    BootTarget t79(cfg);
    ASSERT_EQ(SUCCESS, t79.connect());
    // A refused jump is no success in the 0x79 dialect.
    EXPECT_EQ(CMD_FAIL, t79.lib.STBL_GO(0x08000000));
    EXPECT_EQ(SUCCESS, t79.lib.STBL_GO(0x08000000));

    BootloaderConfig c75 = WithCommands(ALL, 0x75);
    c75.faults = {MakeFault(GO_CMD, 0, 1, BootloaderFault::Garbage), MakeFault(GO_CMD, 1, 1)};
    BootTarget t75(c75);
    ASSERT_EQ(SUCCESS, t75.connect());
    // A refused jump leaves the part in its bootloader, synchronised: the
    // next sync needs a reset.
    EXPECT_EQ(SUCCESS, t75.lib.STBL_GO(0x08000000)); // 0xA5
    t75.boot.reset();
    ASSERT_EQ(SUCCESS, t75.lib.STBL_Init_BL());
    EXPECT_EQ(SUCCESS, t75.lib.STBL_GO(0x08000000)); // 0x3F
    t75.boot.reset();
    ASSERT_EQ(SUCCESS, t75.lib.STBL_Init_BL());
    EXPECT_EQ(SUCCESS, t75.lib.STBL_GO(0x08000000)); // 0x75
}

TEST(StblEngine, ReadAndWriteOf256Bytes) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    Bytes image(256);
    for (int i = 0; i < 256; ++i)
        image[i] = static_cast<unsigned char>(255 - i);
    Request write(WRITE_CMD);
    write.rq.address = 0x08000100;
    write.rq.length = 256;
    write.rq.data = image.data();
    t.boot.clearLog();
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&write.rq));
    Bytes log = t.boot.received();
    ASSERT_EQ(2u + 5 + 1 + 256 + 1, log.size());
    EXPECT_EQ(0xFF, log[7]);
    EXPECT_EQ(static_cast<unsigned char>(0xFF ^ Xor(image)), log.back());

    Bytes data(256, 0);
    Request read(READ_CMD);
    read.rq.address = 0x08000100;
    read.rq.length = 256;
    read.rq.data = data.data();
    t.boot.clearLog();
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&read.rq));
    EXPECT_EQ("11 EE 08 00 01 00 09 FF 00", HexBytes(t.boot.received()));
    EXPECT_EQ(image, data);
}

TEST(StblEngine, UnsoundRequestsAreRefusedBeforeSending) {
    BootTarget t(WithCommands(ALL));
    ASSERT_EQ(SUCCESS, t.connect());
    t.boot.clearLog();
    unsigned char data[512] = {};
    struct Case {
        unsigned char cmd;
        unsigned short length;
        unsigned char sectorCount;
        unsigned short pageCount;
        bool withData;
        unsigned char status;
    } cases[] = {
        {ERASE_CMD, 2, 3, 0, true, INPUT_PARAMS_ERROR},     // length disagrees
        {ERASE_CMD, 1, 0xFF, 0, false, INPUT_PARAMS_ERROR}, // global with a length
        {ERASE_CMD, 0, 0, 0, true, INPUT_PARAMS_ERROR},     // 0 codes: "N - 1" is 0xFF
        {ERASE_CMD, 2, 2, 0, false, INPUT_PARAMS_MEMORY_ALLOCATION_ERROR},
        {ERASE_EXT_CMD, 4, 0, 3, true, INPUT_PARAMS_ERROR}, // length disagrees
        {ERASE_EXT_CMD, 0, 0, 0, true, INPUT_PARAMS_ERROR}, // 0 pages: "P - 1" is 0xFFFF
        {ERASE_EXT_CMD, 1, 0, 0xFFFF, false, INPUT_PARAMS_ERROR},
        {WRITE_PROTECT_CMD, 3, 2, 0, true, INPUT_PARAMS_ERROR},
        {WRITE_PROTECT_CMD, 0, 0, 0, true, INPUT_PARAMS_ERROR},
        {READ_CMD, 0, 0, 0, true, INPUT_PARAMS_ERROR},
        {READ_CMD, 257, 0, 0, true, INPUT_PARAMS_ERROR},
        {WRITE_CMD, 0, 0, 0, true, INPUT_PARAMS_ERROR},
        {WRITE_CMD, 4, 0, 0, false, INPUT_PARAMS_MEMORY_ALLOCATION_ERROR},
    };
    for (const Case& c : cases) {
        Request r(c.cmd);
        r.rq.length = c.length;
        r.rq.sectorCount = c.sectorCount;
        r.rq.pageCount = c.pageCount;
        r.rq.data = c.withData ? data : nullptr;
        r.rq.address = 0x08000000;
        EXPECT_EQ(c.status, t.lib.Send_RQ(&r.rq)) << int(c.cmd) << " " << c.length;
    }
    Request noTarget(GET_CMD);
    noTarget.rq.target = nullptr;
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.Send_RQ(&noTarget.rq));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.Send_RQ(nullptr));
    EXPECT_TRUE(t.boot.received().empty());

    // A code without steps of its own ends after the command's ACK.
    BootTarget s(WithCommands({0x00, 0x03}));
    ASSERT_EQ(SUCCESS, s.connect());
    s.boot.clearLog();
    Request speed(SET_SPEED_CMD);
    EXPECT_EQ(CMD_NOT_ALLOWED, s.lib.Send_RQ(&speed.rq)) << "the device does not know 0x03";
    EXPECT_EQ("03 FC", HexBytes(s.boot.received()));
}

TEST(StblEngine, ExtendedEraseNeverGoesToA0x75Target) {
    // The flag from a 0x79 target that listed 0x44 is still set when the next
    // target speaks the 0x75 dialect.
    BootTarget t(WithCommands(ALL, 0x75));
    ASSERT_EQ(SUCCESS, t.open());
    t.lib.pTarget->bEraseExt = 1;
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    t.boot.clearLog();
    Request ext(ERASE_EXT_CMD);
    ext.rq.pageCount = 0xFFFF;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.Send_RQ(&ext.rq));
    unsigned char pages[2] = {1, 0};
    Request list(ERASE_EXT_CMD);
    list.rq.pageCount = 1;
    list.rq.length = 1;
    list.rq.data = pages;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.Send_RQ(&list.rq));
    EXPECT_TRUE(t.boot.received().empty());
}

TEST(StblEngine, ProductIdBlockOwnership) {
    BootloaderConfig cfg;
    BootloaderFault refuseEnd;
    refuseEnd.cmd = GET_ID_CMD;
    refuseEnd.occurrence = 1;
    refuseEnd.step = 2;
    cfg.faults = {refuseEnd};
    cfg.productId = {0x04, 0x14};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect()); // Get freed the constructor's block
    EXPECT_EQ(nullptr, t.lib.pTarget->PID);

    unsigned char len = 0, pid[4] = {};
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET_ID(&len, pid));
    EXPECT_EQ(2, len);
    EXPECT_EQ(0x04, pid[0]);
    EXPECT_EQ(0x14, pid[1]);
    unsigned char* block = t.lib.pTarget->PID;
    ASSERT_NE(nullptr, block);

    // A Get-ID refused at its end frees its own new block only.
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_GET_ID(&len, pid));
    EXPECT_EQ(block, t.lib.pTarget->PID);
    EXPECT_EQ(0x14, t.lib.pTarget->PID[1]);

    // Get-version keeps the block; a new Get-ID replaces it.
    unsigned char v, a, b;
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET_VER_ROPS(&v, &a, &b));
    EXPECT_EQ(block, t.lib.pTarget->PID);
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET_ID(&len, nullptr));
    EXPECT_EQ(2, t.lib.pTarget->PIDLen);
    // Get drops it again.
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&v, &t.commands));
    EXPECT_EQ(nullptr, t.lib.pTarget->PID);
    EXPECT_EQ(0, t.lib.pTarget->PIDLen);
}

TEST(StblEngine, ProductIdOf256BytesKeepsTheLineInStep) {
    BootloaderConfig cfg;
    cfg.productId = Ramp(256, 1); // count byte 0xFF
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    unsigned char len = 0xAA;
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET_ID(&len, nullptr));
    EXPECT_EQ(0, len); // the one-byte field wraps
    ASSERT_NE(nullptr, t.lib.pTarget->PID);
    EXPECT_EQ(1, t.lib.pTarget->PID[0]);
    EXPECT_EQ(0, t.lib.pTarget->PID[255]); // 1 + 255 wraps
    // The next exchange still finds its ACKs where they belong.
    unsigned char data[4];
    EXPECT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 4, data));
}
