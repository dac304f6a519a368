// The virtual bootloader through the host client: a whole image written,
// read back and compared; protection state; resets; line handling.
#include <gtest/gtest.h>

#include <cstring>

#include "serial/rs232.h"
#include "support/BootTarget.h"

namespace {

std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>((i * 7 + seed) ^ (i >> 8));
    return v;
}

} // namespace

TEST(VBoot, ImageWrittenReadBackAndCompared) {
    BootloaderConfig cfg;
    cfg.flashSize = 8 * 1024;
    BootTarget t(cfg);
    ASSERT_EQ(SUCCESS, t.connect());
    EXPECT_EQ(1, t.boot.syncCount());
    std::vector<unsigned char> image = Pattern(1000, 3);
    // 128-byte packets and the rest, then everything read back.
    for (size_t at = 0; at < image.size(); at += 128) {
        unsigned char n = static_cast<unsigned char>(std::min<size_t>(128, image.size() - at));
        ASSERT_EQ(SUCCESS, t.lib.STBL_WRITE(0x08000000 + at, n, &image[at])) << at;
    }
    std::vector<unsigned char> back(image.size());
    for (size_t at = 0; at < back.size(); at += 128) {
        unsigned char n = static_cast<unsigned char>(std::min<size_t>(128, back.size() - at));
        ASSERT_EQ(SUCCESS, t.lib.STBL_READ(0x08000000 + at, n, &back[at])) << at;
    }
    EXPECT_EQ(image, back);
    std::vector<unsigned char> flash = t.boot.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(0xFF, flash[image.size()]);
}
