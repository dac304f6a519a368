// Packetised download, verify and upload against the virtual bootloader: the
// frames on the line, the flash afterwards, the exact progress-bar text, the
// error messages, and what is refused before anything is sent.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/BootTarget.h"

namespace {

const uint32_t FLASH = 0x08000000;

std::vector<unsigned char> Image(size_t size, unsigned seed = 1) {
    std::vector<unsigned char> out(size);
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<unsigned char>((x >> 16) & 0x7F); // never 0xFF
    }
    return out;
}

void Append(std::vector<unsigned char>* to, const std::vector<unsigned char>& more) {
    to->insert(to->end(), more.begin(), more.end());
}

std::vector<unsigned char> AddressFrame(uint32_t a) {
    unsigned char b[4] = {static_cast<unsigned char>(a >> 24), static_cast<unsigned char>(a >> 16),
                          static_cast<unsigned char>(a >> 8), static_cast<unsigned char>(a)};
    return {b[0], b[1], b[2], b[3], static_cast<unsigned char>(b[0] ^ b[1] ^ b[2] ^ b[3])};
}

// Host bytes of a Write exchange in the 0x79 dialect.
std::vector<unsigned char> WriteFrames(uint32_t a, const std::vector<unsigned char>& data) {
    std::vector<unsigned char> f = {0x31, 0xCE};
    Append(&f, AddressFrame(a));
    unsigned char count = static_cast<unsigned char>(data.size() - 1), sum = count;
    f.push_back(count);
    for (unsigned char d : data) {
        f.push_back(d);
        sum ^= d;
    }
    f.push_back(sum);
    return f;
}

// Host bytes of a Read exchange in the 0x79 dialect.
std::vector<unsigned char> ReadFrames(uint32_t a, unsigned n) {
    std::vector<unsigned char> f = {0x11, 0xEE};
    Append(&f, AddressFrame(a));
    f.push_back(static_cast<unsigned char>(n - 1));
    f.push_back(static_cast<unsigned char>((n - 1) ^ 0xFF));
    return f;
}

std::vector<unsigned char> Slice(const std::vector<unsigned char>& v, size_t at, size_t n) {
    return std::vector<unsigned char>(v.begin() + at, v.begin() + at + n);
}

// One state of the bar as the console receives it.
std::string Bar(const char* label, int percent, bool full) {
    std::string s = label;
    int q = percent / 4;
    for (int j = 0; j < 25; j++)
        s += q == j ? '>' : (q > j ? '=' : ' ');
    s += "] " + std::to_string(percent) + "%" + (full ? "\r" : "");
    return s;
}
const char* const DN = " Download : [";
const char* const VF = " Verify   : [";

} // namespace

TEST(StblBulk, PartialPacketIsWrittenByReadModifyWrite) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(300);
    // What the target holds behind the image must survive the rounded write.
    const std::vector<unsigned char> behind = {0x12, 0x34, 0x56, 0x78};
    ASSERT_TRUE(t.boot.setMemory(FLASH + 300, behind));
    t.boot.clearLog();
    StdoutGrab grab;
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), 300, 0));
    grab.stop();

    std::vector<unsigned char> expected = WriteFrames(FLASH, Slice(image, 0, 128));
    Append(&expected, WriteFrames(FLASH + 128, Slice(image, 128, 128)));
    Append(&expected, ReadFrames(FLASH + 256, 48));
    std::vector<unsigned char> last = Slice(image, 256, 44);
    Append(&last, behind);
    Append(&expected, WriteFrames(FLASH + 256, last));
    EXPECT_EQ(HexBytes(expected), HexBytes(t.boot.received()));
    EXPECT_EQ(HexBytes(image), HexBytes(t.boot.memory(FLASH, 300)));
    EXPECT_EQ(HexBytes(behind), HexBytes(t.boot.memory(FLASH + 300, 4)));
    EXPECT_EQ(3u, t.lib.progressCount);

    t.boot.clearLog();
    grab.start();
    EXPECT_EQ(SUCCESS, t.lib.STBL_VERIFY(FLASH, image.data(), 300, 0));
    grab.stop();
    expected = ReadFrames(FLASH, 128);
    Append(&expected, ReadFrames(FLASH + 128, 128));
    Append(&expected, ReadFrames(FLASH + 256, 44));
    EXPECT_EQ(HexBytes(expected), HexBytes(t.boot.received()));

    std::vector<unsigned char> back(300, 0);
    t.boot.clearLog();
    grab.start();
    EXPECT_EQ(SUCCESS, t.lib.STBL_UPLOAD(FLASH, back.data(), 300));
    EXPECT_EQ("", grab.stop());
    EXPECT_EQ(HexBytes(expected), HexBytes(t.boot.received()));
    EXPECT_EQ(image, back);
}

TEST(StblBulk, PartialWriteLengthIsTheNextMultipleOfFour) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    // remainder -> bytes read and written
    const unsigned cases[][2] = {{4, 8}, {5, 8}, {8, 12}, {127, 128}, {124, 128}, {1, 4}};
    uint32_t at = FLASH + 0x1000;
    for (const auto& c : cases) {
        std::vector<unsigned char> image = Image(c[0], c[0]);
        t.boot.clearLog();
        StdoutGrab grab;
        ASSERT_EQ(SUCCESS, t.lib.STBL_DNLOAD(at, image.data(), c[0], 0)) << c[0];
        grab.stop();
        std::vector<unsigned char> log = t.boot.received();
        ASSERT_GE(log.size(), 22u);
        EXPECT_EQ(HexBytes(ReadFrames(at, c[1])), HexBytes(Slice(log, 0, 9))) << c[0];
        EXPECT_EQ(c[1] - 1, log[9 + 7]) << c[0]; // the Write count byte
        EXPECT_EQ(9 + 2 + 5 + 1 + c[1] + 1, log.size()) << c[0];
        EXPECT_EQ(HexBytes(image), HexBytes(t.boot.memory(at, c[0])));
        at += 0x100;
    }
}

TEST(StblBulk, ProgressBarTextAndFinalNewline) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(512);

    // Two full packets: 50 and 100 per cent, each closed by a carriage return.
    StdoutGrab grab;
    t.lib.SetActivityTime(2);
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), 256, 0));
    EXPECT_EQ(" Download : [============>            ] 50%\r"
              " Download : [=========================] 100%\r\n",
              grab.stop());

    // 0 per cent: the '>' in the first cell.
    grab.start();
    t.lib.SetActivityTime(1000);
    EXPECT_EQ(SUCCESS, t.lib.STBL_VERIFY(FLASH, image.data(), 128, 0));
    EXPECT_EQ(" Verify   : [>                        ] 0%\r\n", grab.stop());

    // 37 per cent after a partial packet: no carriage return.
    grab.start();
    t.lib.SetActivityTime(100);
    t.lib.progressCount = 36;
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH + 1024, image.data(), 100, 0));
    EXPECT_EQ(" Download : [=========>               ] 37%\n", grab.stop());

    // Thirds: a partial last packet ends the line without a carriage return.
    grab.start();
    t.lib.SetActivityTime(3);
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH + 2048, image.data(), 300, 0));
    EXPECT_EQ(Bar(DN, 33, true) + Bar(DN, 66, true) + Bar(DN, 100, false) + "\n", grab.stop());

    // Size 0: nothing on the line, no bar, one newline.
    t.boot.clearLog();
    grab.start();
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), 0, 0));
    EXPECT_EQ(SUCCESS, t.lib.STBL_VERIFY(FLASH, nullptr, 0, 0));
    EXPECT_EQ(SUCCESS, t.lib.STBL_UPLOAD(FLASH, nullptr, 0));
    EXPECT_EQ("\n\n", grab.stop());
    EXPECT_TRUE(t.boot.received().empty());
}

TEST(StblBulk, ProgressPercentage) {
    CSTBLLib lib;
    unsigned char p = 0xEE;
    lib.SetActivityTime(0);
    EXPECT_EQ(SUCCESS, lib.GetProgress(&p));
    EXPECT_EQ(0, p);
    EXPECT_EQ(1u, lib.activityTime); // the member itself is changed
    for (int done = 1; done <= 3; done++) {
        lib.progressCount = done;
        lib.GetProgress(&p);
        EXPECT_EQ(100, p); // capped
    }
    lib.SetActivityTime(3);
    EXPECT_EQ(0u, lib.progressCount);
    const int thirds[] = {0, 33, 66, 100};
    for (int done = 0; done <= 3; done++) {
        lib.progressCount = done;
        lib.GetProgress(&p);
        EXPECT_EQ(thirds[done], p);
    }
    unsigned long total = 0;
    EXPECT_EQ(SUCCESS, lib.GetActivityTime(&total));
    EXPECT_EQ(3u, total);
    // Far past the end: capped before it is narrowed to a byte.
    lib.progressCount = 1ul << 40;
    lib.GetProgress(&p);
    EXPECT_EQ(100, p);
    lib.progressCount = 42949673; // x 100 wraps 32 bits to a small number
    lib.activityTime = 1;
    lib.GetProgress(&p);
    EXPECT_EQ(100, p);
}

TEST(StblBulk, WriteRefusedAtTheFifthPacket) {
    BootloaderConfig cfg;
    cfg.refuseWritePacket = 4;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(8 * 128);
    t.boot.clearLog();
    StdoutGrab grab;
    t.lib.SetActivityTime(8);
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_DNLOAD(FLASH, image.data(), image.size(), 0));
    EXPECT_EQ(Bar(DN, 12, true) + Bar(DN, 25, true) + Bar(DN, 37, true) + Bar(DN, 50, true) +
                  "\n STBL_WRITE ERROR : 20\n",
              grab.stop());
    EXPECT_EQ(4u, t.lib.progressCount);
    EXPECT_EQ(HexBytes(Slice(image, 0, 512)), HexBytes(t.boot.memory(FLASH, 512)));
    EXPECT_EQ(std::vector<unsigned char>(128, 0xFF), t.boot.memory(FLASH + 512, 128));
    EXPECT_EQ(5, t.boot.exchangeCount(0x31));
}

TEST(StblBulk, PartialPacketFailuresHaveTheirOwnMessages) {
    // The read of the read-modify-write refused at its command code.
    BootloaderConfig cfg;
    cfg.faults.push_back({0x11, 0, 0, BootloaderFault::Nack});
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(300);
    StdoutGrab grab;
    t.lib.SetActivityTime(3);
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_DNLOAD(FLASH, image.data(), 300, 0));
    EXPECT_EQ(Bar(DN, 33, true) + Bar(DN, 66, true) + "\n (remain)STBL_READ ERROR : 19\n",
              grab.stop());

    // The partial write refused after its data.
    BootloaderConfig cfg2;
    cfg2.refuseWritePacket = 2;
    BootTarget t2(cfg2);
    ASSERT_EQ(SUCCESS, t2.connect());
    grab.start();
    t2.lib.SetActivityTime(3);
    EXPECT_EQ(CMD_FAIL, t2.lib.STBL_DNLOAD(FLASH, image.data(), 300, 0));
    EXPECT_EQ(Bar(DN, 33, true) + Bar(DN, 66, true) + "\n (remain)STBL_WRITE ERROR : 20\n",
              grab.stop());
    EXPECT_EQ(2u, t2.lib.progressCount);
}

TEST(StblBulk, VerifyMismatchInFullAndPartialPacket) {
    std::vector<unsigned char> image = Image(301);
    struct Case {
        int corruptRead; // Read exchanges: 0 is the download's read-modify-write
        int offset;
        unsigned char status;
        std::string tail;
    } cases[] = {
        {2, 7, CMD_NOT_ALLOWED, Bar(VF, 33, true) + "\n CMD_NOT_ALLOWED ERROR\n"},
        {3, 0, CMD_NOT_ALLOWED,
         Bar(VF, 33, true) + Bar(VF, 66, true) + "\n (remain)CMD_NOT_ALLOWED ERROR\n"},
        // An odd remainder of 45 is read as 46 bytes; the extra byte is not compared.
        {3, 45, SUCCESS, Bar(VF, 33, true) + Bar(VF, 66, true) + Bar(VF, 100, false) + "\n"},
    };
    for (const Case& c : cases) {
        BootloaderConfig cfg;
        cfg.corruptReadPacket = c.corruptRead;
        cfg.corruptReadOffset = c.offset;
        BootTarget t(cfg);
        ASSERT_EQ(SUCCESS, t.connect());
        StdoutGrab grab;
        ASSERT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), 301, 0));
        grab.stop();
        grab.start();
        t.lib.SetActivityTime(3);
        EXPECT_EQ(c.status, t.lib.STBL_VERIFY(FLASH, image.data(), 301, 0));
        EXPECT_EQ(c.tail, grab.stop());
    }
}

TEST(StblBulk, OptimizeSkipsBlankPackets) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(4 * 128 + 20);
    for (size_t i = 128; i < 256; i++)
        image[i] = 0xFF;
    for (size_t i = 384; i < image.size(); i++)
        image[i] = 0xFF; // packet 3 and the partial packet are blank
    StdoutGrab grab;
    t.lib.SetActivityTime(5);
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), image.size(), 1));
    EXPECT_EQ(2, t.boot.exchangeCount(0x31));
    EXPECT_EQ(1, t.boot.exchangeCount(0x11)); // the partial packet is still read
    EXPECT_EQ(5u, t.lib.progressCount);
    t.lib.SetActivityTime(5);
    EXPECT_EQ(SUCCESS, t.lib.STBL_VERIFY(FLASH, image.data(), image.size(), 1));
    std::string out = grab.stop();
    EXPECT_EQ(3, t.boot.exchangeCount(0x11));
    EXPECT_NE(std::string::npos, out.find(Bar(VF, 100, false) + "\n"));
    EXPECT_EQ(HexBytes(image), HexBytes(t.boot.memory(FLASH, static_cast<uint32_t>(image.size()))));
}

TEST(StblBulk, RefusedBeforeAnythingIsSent) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(300);
    t.boot.clearLog();
    StdoutGrab grab;
    // A packet size that is not a multiple of 4 (the value before any
    // SetPaketSize) would make writes of odd length.
    MAX_DATA_SIZE = 255;
    EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.STBL_DNLOAD(FLASH, image.data(), 300, 0));
    EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.STBL_VERIFY(FLASH, image.data(), 300, 0));
    EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.STBL_UPLOAD(FLASH, image.data(), 300));
    MAX_DATA_SIZE = 128;
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_DNLOAD(FLASH, nullptr, 300, 0));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_VERIFY(FLASH, nullptr, 1, 0));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_UPLOAD(FLASH, nullptr, 5));
    t.lib.pTarget->bWrite = 0;
    t.lib.pTarget->bRead = 0;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_DNLOAD(FLASH, image.data(), 300, 0));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_VERIFY(FLASH, image.data(), 300, 0));
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_UPLOAD(FLASH, image.data(), 300));
    ASSERT_EQ(SUCCESS, t.lib.COM_Close());
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_DNLOAD(FLASH, image.data(), 300, 0));
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_VERIFY(FLASH, image.data(), 300, 0));
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_UPLOAD(FLASH, image.data(), 300));
    EXPECT_EQ("", grab.stop());
    EXPECT_TRUE(t.boot.received().empty());
}

TEST(StblBulk, VerifyReadFailureIsSilent) {
    BootloaderConfig cfg;
    cfg.faults.push_back({0x11, 1, 1, BootloaderFault::Nack}); // second Read, after the address
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(256);
    StdoutGrab grab;
    ASSERT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), 256, 0)); // no reads
    grab.stop();
    grab.start();
    t.lib.SetActivityTime(2);
    EXPECT_EQ(CMD_FAIL, t.lib.STBL_VERIFY(FLASH, image.data(), 256, 0));
    EXPECT_EQ(Bar(VF, 50, true), grab.stop()); // bar left as drawn, no message
}

TEST(StblBulk, DownloadAndVerifyInThe75Dialect) {
    BootloaderConfig cfg;
    cfg.dialect = 0x75;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> image = Image(1000);
    StdoutGrab grab;
    EXPECT_EQ(SUCCESS, t.lib.STBL_ERASE(0xFFFF, nullptr));
    EXPECT_EQ(SUCCESS, t.lib.STBL_DNLOAD(FLASH, image.data(), image.size(), 0));
    EXPECT_EQ(SUCCESS, t.lib.STBL_VERIFY(FLASH, image.data(), image.size(), 0));
    grab.stop();
    EXPECT_EQ(HexBytes(image), HexBytes(t.boot.memory(FLASH, 1000)));
}
