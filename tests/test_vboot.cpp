// The virtual bootloader on its own terms: memory, protection, how it meets
// bad frames, its faults, the line it serves, and its line-rate emulation.
// Raw frames go out through a plain CRS232 so that nothing of the client's
// framing is taken for granted.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "serial/rs232.h"
#include "support/BootTarget.h"

namespace {

typedef std::vector<unsigned char> Bytes;
using Clock = std::chrono::steady_clock;

Bytes Pattern(size_t n, unsigned seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>((i * 7 + seed) ^ (i >> 8));
    return v;
}

// A bare host port on the line.
struct RawHost {
    CRS232 port;
    explicit RawHost(VirtualLine& line, long baud = 115200) {
        port.SetComSettings(const_cast<char*>(line.slavePath().c_str()), baud, 8, 2, 1.0f);
    }
    bool open() { return port.openCom(); }
    // Sends the bytes, then collects the answer until the line is idle.
    Bytes exchange(const Bytes& out, int idleMs = 80) {
        Bytes copy = out;
        if (!copy.empty())
            port.sendData(static_cast<int>(copy.size()), copy.data());
        Bytes in;
        struct pollfd p = {port.fd, POLLIN, 0};
        while (poll(&p, 1, idleMs) > 0) {
            unsigned char buf[512];
            ssize_t n = read(port.fd, buf, sizeof(buf));
            if (n <= 0)
                break;
            in.insert(in.end(), buf, buf + n);
        }
        return in;
    }
};

long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A request of `cmd` on `length` bytes at `data` for the descriptor `target`;
// address, sector count and page count zero.
STBL_Request Request(unsigned char cmd, unsigned short length, unsigned char* data,
                     TargetDescriptor* target) {
    // cmd, address, length, sectorCount, target, data, pageCount
    return STBL_Request{cmd, 0, length, 0, target, data, 0};
}

} // namespace

TEST(VBoot, ImageWrittenReadBackAndCompared) {
    BootloaderConfig cfg;
    cfg.flashSize = 8 * 1024;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    EXPECT_EQ(1, t.boot.syncCount());
    Bytes image = Pattern(1000, 3);
    for (size_t at = 0; at < image.size(); at += 128) {
        unsigned char n = static_cast<unsigned char>(std::min<size_t>(128, image.size() - at));
        ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x08000000 + at, n, &image[at])) << at;
    }
    Bytes back(image.size());
    for (size_t at = 0; at < back.size(); at += 128) {
        unsigned char n = static_cast<unsigned char>(std::min<size_t>(128, back.size() - at));
        ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000 + at, n, &back[at])) << at;
    }
    EXPECT_EQ(image, back);
    Bytes flash = t.boot.flash();
    ASSERT_EQ(8u * 1024, flash.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(0xFF, flash[image.size()]);

    std::string path = "/tmp/kv_vboot_" + std::to_string(getpid()) + ".bin";
    ASSERT_TRUE(t.boot.saveFlash(path, 1000));
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    Bytes saved(2000);
    saved.resize(fread(saved.data(), 1, saved.size(), f));
    fclose(f);
    unlink(path.c_str());
    EXPECT_EQ(image, saved);
    EXPECT_FALSE(t.boot.saveFlash(path, 9000));
}

TEST(VBoot, FlashProgramsBitsAwayAndErasesInPages) {
    BootloaderConfig cfg;
    cfg.flashSize = 8 * 1024;
    cfg.pageSize = 1024;
    cfg.refusePage = 5;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    unsigned char a[4] = {0x0F, 0x0F, 0xFF, 0x00}, b[4] = {0xF0, 0xFF, 0x3C, 0xFF};
    ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x08000400, 4, a));
    ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x08000400, 4, b));
    EXPECT_EQ((Bytes{0x00, 0x0F, 0x3C, 0x00}), t.boot.memory(0x08000400, 4));
    // RAM and option bytes are plain memory.
    ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x20000000, 4, a));
    ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x20000000, 4, b));
    EXPECT_EQ(Bytes(b, b + 4), t.boot.memory(0x20000000, 4));
    for (uint32_t area : {0x1FFFF800u, 0x1FFFC000u, 0x1FF80000u, 0x2010DFB0u}) {
        ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(area, 4, b)) << std::hex << area;
        EXPECT_EQ(Bytes(b, b + 4), t.boot.memory(area, 4));
    }

    t.boot.setMemory(0x08000000, Bytes(8 * 1024, 0x00));
    TargetDescriptor work{};
    unsigned char pages[2] = {1, 3};
    STBL_Request rq = Request(ERASE_CMD, 2, pages, &work);
    rq.sectorCount = 2;
    ASSERT_EQ(SUCCESS, t.lib.Send_RQ(&rq));
    Bytes flash = t.boot.flash();
    for (int page = 0; page < 8; ++page) {
        unsigned char want = (page == 1 || page == 3) ? 0xFF : 0x00;
        EXPECT_EQ(want, flash[page * 1024]) << page;
        EXPECT_EQ(want, flash[page * 1024 + 1023]) << page;
    }
    // A refused page refuses its whole request; a page beyond flash too.
    unsigned char refused[3] = {0, 5, 6};
    rq.sectorCount = rq.length = 3;
    rq.data = refused;
    EXPECT_EQ(CMD_FAIL, t.lib.Send_RQ(&rq));
    unsigned char beyond[1] = {8};
    rq.sectorCount = rq.length = 1;
    rq.data = beyond;
    EXPECT_EQ(CMD_FAIL, t.lib.Send_RQ(&rq));
    EXPECT_EQ(0x00, t.boot.memory(0x08000000, 1)[0]);
    EXPECT_EQ(0x00, t.boot.memory(0x08001800, 1)[0]);
}

TEST(VBoot, BadFramesAreRefused) {
    BootloaderConfig cfg;
    cfg.lenient = true;
    cfg.flashSize = 4096;
    cfg.commands = {0x00, 0x11, 0x31, 0x43, 0x44};
    BootTarget t(cfg);
    RawHost host(t.line);
    ASSERT_TRUE(host.open());
    EXPECT_EQ(Bytes{}, host.exchange({0x11, 0xEE})) << "nothing before the sync";
    EXPECT_EQ(Bytes{0x79}, host.exchange({0x7F}));
    EXPECT_EQ(Bytes{0x1F}, host.exchange({0x11, 0xEF}));                        // complement
    EXPECT_EQ(Bytes{0x1F}, host.exchange({0x21, 0xDE}));                        // not listed
    EXPECT_EQ(Bytes{0x1F}, host.exchange({0x55, 0xAA}));                        // unknown
    EXPECT_EQ((Bytes{0x79, 0x1F}), host.exchange({0x11, 0xEE, 8, 0, 0, 0, 7})); // XOR
    EXPECT_EQ((Bytes{0x79, 0x1F}), host.exchange({0x11, 0xEE, 0, 0, 0, 0, 0})); // address
    EXPECT_EQ((Bytes{0x79, 0x79, 0x1F}),
              host.exchange({0x11, 0xEE, 8, 0, 0, 0, 8, 0x03, 0x03})); // count
    EXPECT_EQ((Bytes{0x79, 0x79, 0x1F}),
              host.exchange({0x11, 0xEE, 8, 0, 0x0F, 0xFC, 0xFB, 0x07, 0xF8})); // past the end
    Bytes write = {0x31, 0xCE, 8, 0, 0, 0, 8, 0x01, 0x12, 0x34, 0x00};
    EXPECT_EQ((Bytes{0x79, 0x79, 0x1F}), host.exchange(write)); // checksum
    EXPECT_EQ((Bytes{0xFF, 0xFF}), t.boot.memory(0x08000000, 2));
    write.back() = 0x01 ^ 0x12 ^ 0x34;
    EXPECT_EQ((Bytes{0x79, 0x79, 0x79}), host.exchange(write));
    EXPECT_EQ((Bytes{0x12, 0x34}), t.boot.memory(0x08000000, 2));
    EXPECT_EQ((Bytes{0x79, 0x1F}), host.exchange({0x43, 0xBC, 0xFF, 0x01})); // global 00
    EXPECT_EQ((Bytes{0x79, 0x1F}), host.exchange({0x43, 0xBC, 0x00, 0x01, 0x00}));
    EXPECT_EQ((Bytes{0x79, 0x1F}), host.exchange({0x44, 0xBB, 0xFF, 0xF0, 0x0F})); // special
    EXPECT_EQ((Bytes{0x79, 0x1F}), host.exchange({0x44, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ((Bytes{0x79, 0x79}), host.exchange({0x44, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ((Bytes{0xFF, 0xFF}), t.boot.memory(0x08000000, 2));
    EXPECT_EQ(Bytes{0x79}, host.exchange({0x7F})) << "a sync where a command belongs";
    EXPECT_EQ(2, t.boot.syncCount());
}

TEST(VBoot, DialectOf0x75RefusesExtendedEraseAndFramesWithoutChecksums) {
    BootloaderConfig cfg;
    cfg.dialect = 0x75;
    cfg.commands = {0x00, 0x01, 0x11, 0x31, 0x43, 0x44};
    cfg.leadingZero = true;
    BootTarget t(cfg);
    RawHost host(t.line);
    ASSERT_TRUE(host.open());
    EXPECT_EQ((Bytes{0x00, 0x75}), host.exchange({0x7F}));
    EXPECT_EQ(Bytes{0x3F}, host.exchange({0x44}));
    EXPECT_EQ((Bytes{0x22, 0x00, 0x00, 0x75}), host.exchange({0x01}));
    EXPECT_EQ((Bytes{0x75, 0x75, 0x75}), host.exchange({0x31, 8, 0, 0, 0, 1, 0xAB, 0xCD}));
    EXPECT_EQ((Bytes{0x75, 0x75, 0xAB, 0xCD}), host.exchange({0x11, 8, 0, 0, 0, 1}));
    EXPECT_EQ((Bytes{0x75, 0x3F}), host.exchange({0x11, 0, 0, 0, 0}));
}

TEST(VBoot, ProtectionBlocksReadAndWriteUntilLifted) {
    BootloaderConfig cfg;
    cfg.readProtected = true;
    cfg.writeProtected = true;
    BootTarget t(cfg);
    t.boot.setMemory(0x08000000, {1, 2, 3, 4});
    ASSERT_EQ(SUCCESS, t.connect());
    EXPECT_EQ(0, t.commands.bRead);
    EXPECT_EQ(0, t.commands.bWrite);
    EXPECT_EQ(0, t.commands.bErase);
    EXPECT_EQ(1, t.commands.bReadoutPermUnprotect);
    // Asked anyway, the part refuses at the command code.
    TargetDescriptor work{};
    unsigned char data[4] = {};
    STBL_Request rq = Request(READ_CMD, 4, data, &work);
    rq.address = 0x08000000;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.Send_RQ(&rq));
    rq.cmd = WRITE_CMD;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.Send_RQ(&rq));
    EXPECT_EQ((Bytes{1, 2, 3, 4}), t.boot.memory(0x08000000, 4));

    EXPECT_EQ(SUCCESS, t.lib.STBL_READOUT_PERM_UNPROTECT());
    EXPECT_FALSE(t.boot.readProtected());
    EXPECT_TRUE(t.boot.writeProtected());
    EXPECT_EQ(Bytes(4, 0xFF), t.boot.memory(0x08000000, 4));
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    EXPECT_EQ(SUCCESS, t.lib.STBL_WRITE_PERM_UNPROTECT());
    EXPECT_FALSE(t.boot.writeProtected());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    ASSERT_EQ(SUCCESS, t.lib.STBL_GET(&t.version, &t.commands));
    EXPECT_EQ(1, t.commands.bRead);
    EXPECT_EQ(1, t.commands.bWrite);
    EXPECT_EQ(1, t.commands.bErase);
    EXPECT_EQ(3, t.boot.syncCount());
}

TEST(VBoot, InjectedPacketFaults) {
    BootloaderConfig cfg;
    cfg.corruptReadPacket = 1;
    cfg.corruptReadOffset = 130; // modulo 128: byte 2
    cfg.refuseWritePacket = 2;
    cfg.replyDelayMs = 20;
    BootloaderFault lastAck; // the fourth Write refused at its final ACK
    lastAck.cmd = WRITE_CMD;
    lastAck.occurrence = 3;
    lastAck.step = 2;
    cfg.faults = {lastAck};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    Bytes image = Pattern(128, 9);
    Bytes back(128);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(k == 2 ? CMD_FAIL : SUCCESS,
                  t.lib.STBL_WRITE(0x08000000 + 128 * k, 128, image.data()));
    EXPECT_EQ(Bytes(128, 0xFF), t.boot.memory(0x08000100, 128)) << "refused packet not written";
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_WRITE(0x08000180, 128, image.data()));
    EXPECT_EQ(Bytes(128, 0xFF), t.boot.memory(0x08000180, 128)) << "nor one whose ACK is refused";
    ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 128, back.data()));
    EXPECT_EQ(image, back);
    auto t0 = Clock::now();
    ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000080, 128, back.data()));
    EXPECT_GE(MsSince(t0), 4 * 20) << "four slow replies";
    EXPECT_NE(image[2], back[2]);
    back[2] = image[2];
    EXPECT_EQ(image, back) << "only one byte differs";
    ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000080, 128, back.data()));
    EXPECT_EQ(image, back);
}

TEST(VBoot, EraseThatTakesItsTime) {
    BootloaderConfig cfg;
    cfg.eraseDelayMs = 300;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    TargetDescriptor work{};
    STBL_Request rq = Request(ERASE_CMD, 0, nullptr, &work);
    rq.sectorCount = 0xFF;
    auto t0 = Clock::now();
    EXPECT_EQ(SUCCESS, t.lib.Send_RQ(&rq));
    EXPECT_GE(MsSince(t0), 300);
}

TEST(VBoot, AnswersOnlyAtItsSpeed) {
    BootloaderConfig cfg;
    cfg.baudOnly = 115200;
    BootTarget t(cfg);
    RawHost slow(t.line, 57600);
    ASSERT_TRUE(slow.open());
    EXPECT_EQ(Bytes{}, slow.exchange({0x7F}, 300));
    slow.port.closeCom();
    RawHost right(t.line, 115200);
    ASSERT_TRUE(right.open());
    EXPECT_EQ(Bytes{0x79}, right.exchange({0x7F}));
    EXPECT_EQ((Bytes{0x7F, 0x7F}), t.boot.received());
}

TEST(VBoot, HostClosingDropsWhatWasUnderWay) {
    BootloaderConfig cfg;
    cfg.lenient = true;
    cfg.replyDelayMs = 100;
    BootTarget t(cfg);
    {
        // A sync whose late answer lands while the host is away, and a
        // Read cut off after two address bytes.
        RawHost host(t.line);
        ASSERT_TRUE(host.open());
        EXPECT_EQ(Bytes{}, host.exchange({0x7F}, 20));
        host.port.closeCom();
        usleep(200 * 1000);
        ASSERT_TRUE(host.open());
        EXPECT_EQ(Bytes{0x79}, host.exchange({0x7F}, 250));
        EXPECT_EQ(Bytes{0x79}, host.exchange({0x11, 0xEE, 0x08, 0x00}, 250));
    }
    usleep(100 * 1000);
    ASSERT_EQ(SUCCESS, t.connect()); // nothing stale, nothing half-read
    unsigned char data[2];
    EXPECT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 2, data));
}

TEST(VBoot, StopsAtAnyTime) {
    VirtualLine line;
    auto t0 = Clock::now();
    {
        VirtualBootloader idle(line, BootloaderConfig());
        idle.start();
        usleep(30 * 1000);
    } // stopped with the slave never opened
    {
        BootloaderConfig cfg;
        cfg.replyDelayMs = 5000;
        VirtualBootloader busy(line, cfg);
        busy.start();
        RawHost host(line);
        ASSERT_TRUE(host.open());
        host.exchange({0x7F}, 50); // the device now sleeps before answering
        busy.stop();
        busy.stop();
        host.port.closeCom();
    }
    EXPECT_LT(MsSince(t0), 1500);
}

TEST(VBoot, LineRateEmulationCostsElevenBitsPerByte) {
    BootloaderConfig cfg;
    cfg.lineRate = 9600;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    ASSERT_EQ(SUCCESS, t.lib.SetPaketSize(252));
    int sentBefore = t.boot.bytesSent();
    t.boot.clearLog();
    unsigned char data[252];
    auto t0 = Clock::now();
    std::clock_t cpu0 = std::clock();
    ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000, 252, data));
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
    // 9 bytes out, 3 ACKs and 252 data bytes back.
    size_t bytes = t.boot.received().size() + (t.boot.bytesSent() - sentBefore);
    EXPECT_EQ(9u + 3 + 252, bytes);
    double bound = bytes * 11.0 / 9600;
    EXPECT_GE(wall, bound * 0.98);
    EXPECT_LT(wall, bound * 3);
    EXPECT_LT(cpu, wall / 2) << "the emulation sleeps, it does not spin";
}

TEST(VBoot, SynchronisesOncePerReset) {
    struct Case {
        int dialect;
        Bytes secondSync; // the answer to a 0x7F once synchronised
        Bytes thirdSync;  // and to the next one
    };
    // The 0x79 dialect waits for the complement (a frame time-out of 50 ms
    // does not end that wait) and NACKs the wrong one; the 0x75 dialect
    // NACKs the unknown command 0x7F at once.
    for (const Case& c : {Case{0x79, {}, {0x1F}}, Case{0x75, {0x3F}, {0x3F}}}) {
        BootloaderConfig cfg;
        cfg.dialect = c.dialect;
        cfg.frameTimeoutMs = 50;
        BootTarget t(cfg);
        RawHost host(t.line);
        ASSERT_TRUE(host.open());
        EXPECT_EQ(Bytes{static_cast<unsigned char>(c.dialect)}, host.exchange({0x7F}));
        EXPECT_EQ(c.secondSync, host.exchange({0x7F}, 150)) << c.dialect;
        EXPECT_EQ(c.thirdSync, host.exchange({0x7F})) << c.dialect;
        EXPECT_EQ(1, t.boot.syncCount());
        // Go restarts the part: the next 0x7F synchronises again.
        Bytes go = c.dialect == 0x79 ? Bytes{0x21, 0xDE, 8, 0, 0, 0, 8} : Bytes{0x21, 8, 0, 0, 0};
        Bytes ack{static_cast<unsigned char>(c.dialect)};
        EXPECT_EQ((Bytes{ack[0], ack[0]}), host.exchange(go));
        EXPECT_EQ(ack, host.exchange({0x7F}));
        EXPECT_EQ(2, t.boot.syncCount());
        // New faults come without a reset.
        BootloaderConfig faulty = cfg;
        faulty.readProtected = true;
        t.boot.reconfigure(faulty);
        Bytes twoSyncs = c.dialect == 0x79 ? Bytes{0x1F} : Bytes{0x3F, 0x3F};
        EXPECT_EQ(twoSyncs, host.exchange({0x7F, 0x7F}));
        EXPECT_TRUE(t.boot.readProtected());
        EXPECT_EQ(2, t.boot.syncCount());
    }
}
