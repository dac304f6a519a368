// The download layer's start of the ROM bootloader on a strict virtual one:
// the retry after an interrupted and after a completed download (no reset in
// between), a fresh start as it always was, a wrong guess; probe and the
// read-back compare of verify and --skip-identical; 256-byte packets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fwdn/BootInspect.h"
#include "fwdn/BootNotes.h"
#include "fwdn/BootloaderDownload.h"
#include "fwdn/DnResult.h"
#include "serial/rs232.h"
#include "fwdn/BootStart.h"
#include "support/BootTarget.h"
#include "support/VirtualClock.h"

namespace {

typedef std::vector<unsigned char> Bytes;

std::vector<std::string> gNotes;

void KeepNote(BootNote note, const char*, int) {
    gNotes.push_back(note == BOOT_NOTE_ALREADY_RUNNING ? "running"
                     : note == BOOT_NOTE_LIFT_READ     ? "read"
                     : note == BOOT_NOTE_LIFT_WRITE    ? "write"
                                                       : "wait");
}

struct Notes {
    Notes() {
        gNotes.clear();
        SetBootNoteSink(KeepNote);
    }
    ~Notes() { SetBootNoteSink(nullptr); }
};

struct Settings {
    explicit Settings(int packet, bool skip = false) {
        BootSettings s;
        s.packetSize = packet;
        s.skipIdentical = skip;
        SetBootSettings(s);
    }
    ~Settings() { SetBootSettings(BootSettings()); }
};

Bytes Image(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(i * 13 + 5);
    return v;
}

int Download(BootTarget& t, const Bytes& image, std::string* out = nullptr) {
    std::string port = t.line.slavePath();
    int blocks = 0;
    StdoutGrab grab;
    int r = BootloaderDownload(t.lib, &port[0], image.data(), image.size(), &blocks,
                               BootDownloadOptions{true});
    std::string text = grab.stop();
    if (out != nullptr)
        *out = text;
    return r;
}

// The host bytes of the start: the sync bytes up to the first Get byte.
Bytes StartBytes(const Bytes& wire) {
    Bytes start;
    for (unsigned char b : wire) {
        if (b != 0x7F)
            break;
        start.push_back(b);
    }
    return start;
}

} // namespace

TEST(BootStart, RetryWithoutAResetFindsTheRunningBootloader) {
    struct Case {
        int dialect;
        bool midCommand; // the last action stopped after a command byte
        Bytes start;     // sync bytes of the second start
    };
    // Idle in the 0x79 dialect: the first 0x7F waits for a complement (3 s),
    // the second is a wrong one. After a lone command byte the first 0x7F is
    // its wrong complement; the 0x75 dialect NACKs 0x7F at once.
    for (const Case& c :
         {Case{0x79, false, {0x7F, 0x7F}}, Case{0x79, true, {0x7F}}, Case{0x75, false, {0x7F}}}) {
        Notes notes;
        BootloaderConfig cfg;
        cfg.dialect = c.dialect;
        cfg.flashSize = 4096;
        BootTarget t(cfg);
        Bytes image = Image(700);
        std::string first;
        ASSERT_EQ(DN_OK, Download(t, image, &first));
        EXPECT_TRUE(gNotes.empty());
        if (c.midCommand) {
            ASSERT_EQ(SUCCESS, t.open());
            unsigned char get = 0x00;
            size_t before = t.boot.received().size();
            t.lib.pCom->sendData(1, &get);
            // The byte must reach the bootloader before the port closes; a
            // busy machine may otherwise drop it with the line.
            for (int i = 0; i < 500 && t.boot.received().size() == before; ++i)
                usleep(10000);
            t.lib.COM_Close();
        }
        t.boot.clearLog();
        std::string second;
        EXPECT_EQ(DN_OK, Download(t, image, &second)) << c.dialect;
        EXPECT_EQ(c.start, StartBytes(t.boot.received())) << c.dialect << " " << c.midCommand;
        EXPECT_EQ(first, second) << "standard output as for a fresh unit";
        EXPECT_EQ(std::vector<std::string>{"running"}, gNotes);
        EXPECT_TRUE(LastBootOutcome().alreadyRunning);
        EXPECT_EQ(1, t.boot.syncCount());
    }
}

TEST(BootStart, FreshStartAndAWrongGuess) {
    Notes notes;
    // A fresh unit: one sync byte, then Get, as always.
    {
        BootTarget t;
        ASSERT_EQ(DN_OK, Download(t, Image(300)));
        Bytes wire = t.boot.received();
        EXPECT_EQ((Bytes{0x7F, 0x00, 0xFF}), Bytes(wire.begin(), wire.begin() + 3));
        EXPECT_TRUE(gNotes.empty());
        EXPECT_FALSE(LastBootOutcome().alreadyRunning);
    }
    // A NACK to the sync whose Get then fails: a failed start, without the
    // Get line a fresh unit's failed Get prints.
    // (Running in the middle of a command, so that one sync byte tells.)
    BootloaderConfig cfg;
    cfg.faults = {MakeFault(0x00, -1, 0)};
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.open());
    ASSERT_EQ(SUCCESS, t.lib.STBL_Init_BL());
    unsigned char get = 0x00;
    t.lib.pCom->sendData(1, &get);
    t.lib.COM_Close();
    std::string out;
    EXPECT_EQ(DN_NO_RESPONSE, Download(t, Image(300), &out));
    EXPECT_EQ("", out) << "no STBL_GET Fail line";
    EXPECT_TRUE(gNotes.empty());
}

TEST(BootStart, ProbeAndVerifyReadWithoutWriting) {
    Notes notes;
    BootloaderConfig cfg;
    cfg.flashSize = 4096;
    cfg.version = 0x31;
    cfg.productId = {0x04, 0x13};
    BootTarget t(cfg);
    Bytes image = Image(1000);
    ASSERT_TRUE(t.boot.setMemory(0x08000000, image));
    std::string port = t.line.slavePath();
    ProbeFacts facts;
    ASSERT_EQ(DN_OK, ProbeBootloader(t.lib, &port[0], &facts));
    EXPECT_EQ(0x31, facts.version);
    EXPECT_EQ(0x79, facts.dialect);
    EXPECT_EQ(cfg.commands, facts.commands);
    EXPECT_EQ(cfg.productId, facts.productId);
    EXPECT_EQ(TRI_NO, facts.readProtected);
    // Equal; different at 0x08000201 in packets of 128 and 256.
    for (int packet : {128, 256}) {
        Settings settings(packet);
        unsigned long first = 0;
        t.boot.reset();
        EXPECT_EQ(VERIFY_EQUAL, VerifyFlash(t.lib, &port[0], image.data(), image.size(), &first));
        Bytes other = image;
        other[0x201] ^= 1;
        t.boot.reset();
        EXPECT_EQ(VERIFY_DIFFERS, VerifyFlash(t.lib, &port[0], other.data(), other.size(), &first));
        EXPECT_EQ(0x08000201u, first) << packet;
    }
    EXPECT_EQ(0, t.boot.exchangeCount(0x31) + t.boot.exchangeCount(0x43));
    EXPECT_EQ(image, t.boot.memory(0x08000000, 1000));
    // Read-protected, both models: Get lacks Read; Get lists it and the Read
    // is refused.
    for (bool listed : {false, true}) {
        BootloaderConfig locked = cfg;
        if (listed)
            locked.faults = {MakeFault(0x11, -1, 0)};
        locked.readProtected = !listed;
        BootTarget p(locked);
        std::string pport = p.line.slavePath();
        ASSERT_EQ(DN_OK, ProbeBootloader(p.lib, &pport[0], &facts));
        EXPECT_EQ(TRI_YES, facts.readProtected) << listed;
        unsigned long first = 0;
        p.boot.reset();
        EXPECT_EQ(VERIFY_PROTECTED,
                  VerifyFlash(p.lib, &pport[0], image.data(), image.size(), &first));
    }
}

TEST(BootStart, SkipIdenticalAndTheWidePacketPlan) {
    Notes notes;
    BootloaderConfig cfg;
    cfg.flashSize = 4096;
    BootTarget t(cfg);
    Bytes image = Image(600); // two packets of 256 and one of 88
    {
        Settings wide(256);
        ASSERT_EQ(DN_OK, Download(t, image));
        EXPECT_EQ(image, t.boot.memory(0x08000000, 600));
        // Writes: 256, 256, then 92 (88 raised to a multiple of 4).
        Bytes wire = t.boot.received();
        std::vector<int> counts;
        for (size_t i = 0; i + 8 < wire.size(); ++i)
            if (wire[i] == 0x31 && wire[i + 1] == 0xCE)
                counts.push_back(wire[i + 7] + 1);
        EXPECT_EQ((std::vector<int>{256, 256, 92}), counts);
    }
    // The flash holds the image: no erase, no write.
    Settings skip(128, true);
    t.boot.reset();
    int writes = t.boot.exchangeCount(0x31), erases = t.boot.exchangeCount(0x43);
    ASSERT_EQ(DN_OK, Download(t, image));
    EXPECT_TRUE(LastBootOutcome().skipped);
    EXPECT_EQ(writes, t.boot.exchangeCount(0x31));
    EXPECT_EQ(erases, t.boot.exchangeCount(0x43));
    // Another image: a full download.
    Bytes other = Image(500);
    other[3] ^= 0xFF;
    t.boot.reset();
    ASSERT_EQ(DN_OK, Download(t, other));
    EXPECT_FALSE(LastBootOutcome().skipped);
    EXPECT_EQ(erases + 1, t.boot.exchangeCount(0x43));
    EXPECT_EQ(other, t.boot.memory(0x08000000, 500));
}

TEST(BootStart, WaitEndsWhenItsTimeHasPassed) {
    Notes notes;
    BootloaderConfig silent;
    silent.silent = true;
    BootTarget t(silent);
    ASSERT_EQ(SUCCESS, t.open());
    BootSettings wait;
    wait.waitSeconds = 10;
    SetBootSettings(wait);
    VirtualClock clock;
    unsigned char version = 0;
    Commands commands;
    bool startFailed = false;
    std::string port = t.line.slavePath();
    EXPECT_FALSE(StartAndGetWaiting(t.lib, port.c_str(), &version, &commands, &startFailed));
    SetBootSettings(BootSettings());
    EXPECT_TRUE(startFailed);
    // Starts of two 3 s windows each, until 10 s have passed.
    EXPECT_GE(VirtualClock::nowMs(), 10000u);
    EXPECT_LT(VirtualClock::nowMs(), 10000u + 6000u + 200u);
    EXPECT_EQ(std::vector<std::string>{"wait"}, gNotes);
}
