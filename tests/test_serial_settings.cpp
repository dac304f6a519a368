// Character size and parity as the two serial layers apply them, and the
// line put back at close. A pseudo-terminal forces 8 data bits and no parity
// whatever is asked, so this program records the settings handed to
// tcsetattr on their way to the real line, and adds to what tcgetattr reads
// the flags that another program may have left on a real line.
#include "serial/ComPort.h"
#include "serial/rs232.h"
#include "sim/VirtualLine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <cstring>
#include <termios.h>

namespace {

struct termios gLastApplied;
int gLastFd = -1;
tcflag_t gLeftCflag = 0; // left on the line by another program
tcflag_t gLeftIflag = 0;

} // namespace

extern "C" int tcgetattr(int fd, struct termios* tio) {
    using Real = int (*)(int, struct termios*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcgetattr"));
    int result = real(fd, tio);
    if (result == 0) {
        tio->c_cflag |= gLeftCflag;
        tio->c_iflag |= gLeftIflag;
    }
    return result;
}

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

namespace {

bool SameSettings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b) &&
           memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

} // namespace

// Flow control holds a write for ever on a device that never raises CTS, and
// odd parity fails every frame: neither is used, so both are cleared at open.
// At close the line gets back everything it had, speed included.
TEST(PortSettings, LeftOverFlowControlAndOddParityClearedAndLineRestored) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    int slave = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct termios before;
    tcgetattr(slave, &before);
    cfsetspeed(&before, B9600);
    tcsetattr(slave, TCSANOW, &before);
    gLeftCflag = CRTSCTS | PARODD;
    gLeftIflag = IXON | IXOFF | IXANY;
    tcgetattr(slave, &before);
    close(slave);

    for (int layer = 0; layer < 2; ++layer) {
        CRS232 port;
        port.SetComSettings(const_cast<char*>(line.slavePath().c_str()), 115200, 8, 2, 1.0f);
        int handle = layer == 0 ? OpenComPort(line.slavePath().c_str(), 115200, 8, 2)
                                : (port.openCom() ? port.fd : 0);
        ASSERT_GT(handle, 0) << layer;
        EXPECT_EQ(gLastApplied.c_cflag & (CRTSCTS | PARODD), 0u) << layer;
        EXPECT_EQ(gLastApplied.c_iflag & (IXON | IXOFF | IXANY), 0u) << layer;
        EXPECT_NE(gLastApplied.c_cflag & PARENB, 0u) << layer;
        EXPECT_EQ(line.baud(), 115200) << layer;
        if (layer == 0)
            CloseComPort(handle);
        else
            port.closeCom();
        EXPECT_EQ(gLastFd, handle) << layer;
        EXPECT_TRUE(SameSettings(gLastApplied, before)) << layer;
        EXPECT_EQ(line.baud(), 9600) << layer;
    }
    gLeftCflag = gLeftIflag = 0;
}
