// Flash erase against the virtual bootloader: the exact frames of both erase
// commands, chunking of page lists, what is refused before anything is sent,
// and a refusal in the middle of a list.
#include <chrono>
#include <gtest/gtest.h>
#include <vector>

#include "support/BootTarget.h"

namespace {

const std::vector<unsigned char> LIST_STANDARD = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31,
                                                  0x43, 0x63, 0x73, 0x82, 0x92};
const std::vector<unsigned char> LIST_EXTENDED = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31,
                                                  0x44, 0x63, 0x73, 0x82, 0x92};
const std::vector<unsigned char> LIST_BOTH = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31,
                                              0x43, 0x44, 0x63, 0x73, 0x82, 0x92};
const uint32_t FLASH = 0x08000000;
const uint32_t PAGE = 1024;

BootloaderConfig WithCommands(const std::vector<unsigned char>& list) {
    BootloaderConfig cfg;
    cfg.commands = list;
    cfg.flashSize = 512 * 1024; // 512 pages, so that page 300 exists
    return cfg;
}

// The page list as the caller passes it: two bytes per page, low byte first.
std::vector<unsigned char> PageList(const std::vector<unsigned>& pages) {
    std::vector<unsigned char> out;
    for (unsigned p : pages) {
        out.push_back(static_cast<unsigned char>(p & 0xFF));
        out.push_back(static_cast<unsigned char>(p >> 8));
    }
    return out;
}

// The page list of pages 0 to count - 1.
std::vector<unsigned char> FirstPages(unsigned count) {
    std::vector<unsigned> pages;
    for (unsigned p = 0; p < count; p++)
        pages.push_back(p);
    return PageList(pages);
}

// What the target receives for one standard erase request of these pages:
// command, complement, N - 1, the low page bytes, XOR checksum.
std::vector<unsigned char> StandardFrame(unsigned first, unsigned n) {
    std::vector<unsigned char> f = {0x43, 0xBC, static_cast<unsigned char>(n - 1)};
    unsigned char sum = static_cast<unsigned char>(n - 1);
    for (unsigned p = first; p < first + n; p++) {
        f.push_back(static_cast<unsigned char>(p));
        sum ^= static_cast<unsigned char>(p);
    }
    f.push_back(sum);
    return f;
}

// The standard erase requests of pages 0 to count - 1, ten pages a request.
std::vector<unsigned char> ChunkedFrames(unsigned count) {
    std::vector<unsigned char> frames;
    for (unsigned first = 0; first < count; first += 10) {
        std::vector<unsigned char> f =
            StandardFrame(first, count - first < 10 ? count - first : 10);
        frames.insert(frames.end(), f.begin(), f.end());
    }
    return frames;
}

// Connects, fills the first `pages` pages of flash with 0x00, forgets the
// bytes sent so far and starts the progress count at `progress`.
::testing::AssertionResult ConnectedWithZeroPages(BootTarget& t, unsigned pages,
                                                  unsigned progress) {
    if (t.connect() != SUCCESS)
        return ::testing::AssertionFailure() << "no connection";
    if (!t.boot.setMemory(FLASH, std::vector<unsigned char>(pages * PAGE, 0x00)))
        return ::testing::AssertionFailure() << "flash not set";
    t.boot.clearLog();
    t.lib.progressCount = progress;
    return ::testing::AssertionSuccess();
}

bool PagesAre(const BootTarget& t, unsigned first, unsigned count, unsigned char value) {
    std::vector<unsigned char> bytes = t.boot.memory(FLASH + first * PAGE, count * PAGE);
    if (bytes.size() != count * PAGE)
        return false;
    for (unsigned char b : bytes)
        if (b != value)
            return false;
    return true;
}

} // namespace

TEST(StblErase, GlobalEraseFramesOfBothCommands) {
    struct Case {
        std::vector<unsigned char> list;
        const char* frames;
    } cases[] = {
        {LIST_STANDARD, "43 BC FF 00"},
        {LIST_EXTENDED, "44 BB FF FF 00"},
        // A target announcing both gets both erases, the standard one first.
        {LIST_BOTH, "43 BC FF 00 44 BB FF FF 00"},
    };
    for (const Case& c : cases) {
        BootTarget t(WithCommands(c.list));
        ASSERT_EQ(SUCCESS, t.connect());
        ASSERT_TRUE(t.boot.setMemory(FLASH, std::vector<unsigned char>(3000, 0x00)));
        t.boot.clearLog();
        t.lib.progressCount = 3;
        EXPECT_EQ(SUCCESS, t.lib.STBL_ERASE(0xFFFF, nullptr));
        EXPECT_EQ(c.frames, HexBytes(t.boot.received()));
        EXPECT_EQ(25u, t.lib.progressCount);
        EXPECT_TRUE(PagesAre(t, 0, 3, 0xFF));
    }
}

namespace {

// Erases pages 0-22 of a target whose first `flashPages` pages hold 0x00,
// the progress count starting at `progress`. Expected: `result`, the
// requests of pages 0 to sentPages - 1, the count at `progressAfter`, pages
// 0 to erased - 1 erased and the others left as they were.
void ExpectEraseOf23(const BootloaderConfig& cfg, unsigned flashPages, unsigned progress,
                     unsigned char result, unsigned sentPages, unsigned progressAfter,
                     unsigned erased) {
    BootTarget t(cfg);
    ASSERT_TRUE(ConnectedWithZeroPages(t, flashPages, progress));
    std::vector<unsigned char> list = FirstPages(23);
    EXPECT_EQ(result, t.lib.STBL_ERASE(23, list.data()));
    EXPECT_EQ(HexBytes(ChunkedFrames(sentPages)), HexBytes(t.boot.received()));
    EXPECT_EQ(progressAfter, t.lib.progressCount);
    EXPECT_TRUE(PagesAre(t, 0, erased, 0xFF));
    EXPECT_TRUE(PagesAre(t, erased, flashPages - erased, 0x00));
}

} // namespace

TEST(StblErase, PageListGoesOutInChunksOfTen) {
    // Pages 0-9, 10-19, 20-22; the page after them is kept.
    ExpectEraseOf23(WithCommands(LIST_STANDARD), 24, 5, SUCCESS, 23, 8u, 23);
}

TEST(StblErase, PageFramesAndChecksumsOfBothCommands) {
    struct Case {
        std::vector<unsigned char> list;
        std::vector<unsigned> pages;
        const char* frames;
    } cases[] = {
        {LIST_STANDARD, {5, 6, 7}, "43 BC 02 05 06 07 06"},
        {LIST_EXTENDED, {5, 6, 7}, "44 BB 00 02 00 05 00 06 00 07 06"},
        // Page 300 (0x012C): the standard command carries its low byte only.
        {LIST_STANDARD, {300}, "43 BC 00 2C 2C"},
        {LIST_EXTENDED, {300}, "44 BB 00 00 01 2C 2D"},
    };
    for (const Case& c : cases) {
        BootTarget t(WithCommands(c.list));
        ASSERT_EQ(SUCCESS, t.connect());
        std::vector<unsigned char> list = PageList(c.pages);
        t.boot.clearLog();
        t.lib.progressCount = 0;
        EXPECT_EQ(SUCCESS,
                  t.lib.STBL_ERASE(static_cast<unsigned short>(c.pages.size()), list.data()));
        EXPECT_EQ(c.frames, HexBytes(t.boot.received()));
        EXPECT_EQ(1u, t.lib.progressCount);
    }
}

TEST(StblErase, RefusedBeforeAnythingIsSent) {
    BootTarget t(WithCommands(LIST_BOTH));
    ASSERT_EQ(SUCCESS, t.connect());
    std::vector<unsigned char> list = PageList({1, 2});
    t.boot.clearLog();
    t.lib.progressCount = 7;

    EXPECT_EQ(SUCCESS, t.lib.STBL_ERASE(0, list.data())); // count 0: nothing to do
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_ERASE(0, nullptr));
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.STBL_ERASE(2, nullptr));
    t.lib.pTarget->bErase = 0;
    t.lib.pTarget->bEraseExt = 0;
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_ERASE(0xFFFF, nullptr));
    t.lib.pTarget->bErase = 1;
    ASSERT_EQ(SUCCESS, t.lib.COM_Close());
    EXPECT_EQ(NO_CON_AVAILABLE, t.lib.STBL_ERASE(0xFFFF, nullptr));

    EXPECT_TRUE(t.boot.received().empty());
    EXPECT_EQ(7u, t.lib.progressCount);
}

TEST(StblErase, RefusedSecondChunkEndsTheErase) {
    BootloaderConfig cfg = WithCommands(LIST_STANDARD);
    cfg.refusePage = 12;
    // Pages 0-9 and 10-19: no third request follows.
    ExpectEraseOf23(cfg, 23, 0, CMD_FAIL, 20, 1u, 10);
}

// The descriptor outlives the port: a target that announced the extended
// command leaves its flag behind for the next one. A target in the 0x75
// dialect must then get the standard erase only.
TEST(StblErase, ExtendedFlagLeftOverIsNotUsedInThe75Dialect) {
    BootloaderConfig cfg75;
    cfg75.dialect = 0x75;
    BootTarget second(cfg75);
    BootTarget first(WithCommands(LIST_BOTH));
    ASSERT_EQ(SUCCESS, first.connect());
    ASSERT_EQ(1, first.lib.pTarget->bEraseExt);
    ASSERT_EQ(SUCCESS, first.lib.COM_Close());

    std::string path = second.line.slavePath();
    ASSERT_EQ(SUCCESS, first.lib.SetCOMSettings(&path[0], 115200, 8, 2, 1.0f));
    ASSERT_EQ(SUCCESS, first.lib.COM_Open());
    ASSERT_EQ(SUCCESS, first.lib.STBL_Init_BL());
    unsigned char version = 0;
    Commands cmds{};
    ASSERT_EQ(SUCCESS, first.lib.STBL_GET(&version, &cmds));
    ASSERT_EQ(0x75, ACK_VALUE);
    ASSERT_EQ(1, first.lib.pTarget->bEraseExt);
    ASSERT_TRUE(second.boot.setMemory(FLASH, std::vector<unsigned char>(100, 0x00)));

    second.boot.clearLog();
    EXPECT_EQ(SUCCESS, first.lib.STBL_ERASE(0xFFFF, nullptr));
    EXPECT_EQ("43 FF", HexBytes(second.boot.received()));
    EXPECT_TRUE(PagesAre(second, 0, 1, 0xFF));

    // Without the standard command there is nothing this target can be sent.
    first.lib.pTarget->bErase = 0;
    second.boot.clearLog();
    EXPECT_EQ(CMD_NOT_ALLOWED, first.lib.STBL_ERASE(0xFFFF, nullptr));
    EXPECT_TRUE(second.boot.received().empty());
}

// The host waits for the erase acknowledgement no longer than the port's
// read time-out.
TEST(StblEraseSlow, EraseOutlastingTheReadTimeOutFails) {
    BootloaderConfig cfg = WithCommands(LIST_STANDARD);
    cfg.eraseDelayMs = 4500;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(READ_FAIL, t.lib.STBL_ERASE(0xFFFF, nullptr));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 2.5);
    EXPECT_LT(seconds, 4.4);
    EXPECT_EQ(0u, t.lib.progressCount);
}
