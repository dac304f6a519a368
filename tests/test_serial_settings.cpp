// Character size and parity as OpenComPort applies them. A pseudo-terminal
// forces 8 data bits and no parity whatever is asked, so this program
// records the settings handed to tcsetattr on their way to the real line.
#include "serial/ComPort.h"
#include "sim/VirtualLine.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <termios.h>

namespace {

struct termios gLastApplied;
int gLastFd = -1;

} // namespace

extern "C" int tcsetattr(int fd, int action, const struct termios* tio) {
    using Real = int (*)(int, int, const struct termios*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    gLastApplied = *tio;
    gLastFd = fd;
    return real(fd, action, tio);
}

namespace {

// Opens a fresh line with the given settings and returns what was applied.
struct termios Applied(int dataBits, int parity) {
    VirtualLine line;
    EXPECT_TRUE(line.ok());
    gLastFd = -1;
    int handle = OpenComPort(line.slavePath().c_str(), 9600, dataBits, parity);
    EXPECT_GT(handle, 0);
    EXPECT_EQ(gLastFd, handle);
    struct termios applied = gLastApplied;
    CloseComPort(handle);
    return applied;
}

} // namespace

TEST(PortSettings, OnlySevenDataBitsGiveCS7) {
    EXPECT_EQ(Applied(7, 0).c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    for (int bits : {5, 6, 8, 9, 0})
        EXPECT_EQ(Applied(bits, 0).c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << bits;
}

TEST(PortSettings, OnlyParityCodeTwoEnablesParity) {
    EXPECT_NE(Applied(8, 2).c_cflag & PARENB, 0u);
    for (int parity : {0, 1, 3, -1})
        EXPECT_EQ(Applied(8, parity).c_cflag & PARENB, 0u) << parity;
    struct termios t = Applied(7, 2);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_NE(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 100);
}
