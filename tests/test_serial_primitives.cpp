// The serial port primitives on a real pseudo-terminal: the test plays the
// device on the master side of a VirtualLine.
#include "serial/ComPort.h"
#include "sim/VirtualLine.h"

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include "sim/SimClock.h"

namespace {

// An open port on a fresh virtual line; closed at the end of the test.
struct OpenLine {
    VirtualLine line;
    int handle = 0;
    explicit OpenLine(int baud = 9600) {
        handle = OpenComPort(line.slavePath().c_str(), baud, 8, 0);
    }
    ~OpenLine() { CloseComPort(handle); }
    void send(std::vector<unsigned char> bytes) { line.write(bytes); }
    // Waits until the host side has `count` bytes waiting (bytes written on
    // the master take a moment to reach the slave's queue).
    bool waitFor(int count) {
        for (int i = 0; i < 1000; ++i) {
            int n = 0;
            if (ioctl(handle, FIONREAD, &n) == 0 && n >= count)
                return true;
            usleep(1000);
        }
        return false;
    }
};

// ReadPort takes one byte, and it is `want`.
void ExpectNextByte(const OpenLine& port, unsigned char want) {
    unsigned char b = 0;
    EXPECT_EQ(ReadPort(port.handle, &b), 0);
    EXPECT_EQ(b, want);
}

} // namespace

TEST(OpenComPort, EveryTableRateOpensAndSetsTheLineSpeed) {
    const int rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800};
    for (int rate : rates) {
        OpenLine port(rate);
        ASSERT_GT(port.handle, 0) << rate;
        EXPECT_EQ(port.line.baud(), rate);
    }
}

TEST(OpenComPort, RatesOutsideTheTableAreRefusedBeforeOpening) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    for (int rate : {300, 600, 0, -9600, 921600, 115201}) {
        EXPECT_EQ(OpenComPort(line.slavePath().c_str(), rate, 8, 0), 0) << rate;
        EXPECT_FALSE(line.slaveOpen()) << rate;
    }
    EXPECT_EQ(OpenComPort(nullptr, 9600, 8, 0), 0);
    EXPECT_EQ(OpenComPort("/dev/no_such_serial_port", 9600, 8, 0), 0);
}

TEST(OpenComPort, LineIsRawWithOneStopBitAndTenSecondReadBound) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    // Leave settings on the line that the open must undo.
    int pre = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(pre, 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(pre, &tio), 0);
    tio.c_cflag |= CSTOPB;
    tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
    tio.c_oflag |= OPOST;
    tcsetattr(pre, TCSANOW, &tio);
    close(pre);

    int handle = OpenComPort(line.slavePath().c_str(), 115200, 8, 0);
    ASSERT_GT(handle, 0);
    ASSERT_EQ(tcgetattr(handle, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 100);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_NE(fcntl(handle, F_GETFL) & O_NONBLOCK, 0); // waits are polls, never a blocked call
    CloseComPort(handle);
}

TEST(OpenComPort, WhatIsNotATerminalIsRefused) {
    // A firmware file typed at the port prompt must not be overwritten.
    char path[] = "/tmp/kvfwXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "FIRMWARE", 8), 8);
    close(fd);
    EXPECT_EQ(OpenComPort(path, 115200, 8, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_size, 8);
    unlink(path);

    std::string fifo = std::string(path) + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenComPort(fifo.c_str(), 9600, 8, 0), 0);
    unlink(fifo.c_str());

    EXPECT_EQ(OpenComPort("/dev/null", 9600, 8, 0), 0);
    EXPECT_EQ(OpenComPort("/tmp", 9600, 8, 0), 0);
}

TEST(OpenComPort, PortIsNeverHandedOutAsDescriptorZero) {
    // With standard input closed the device would land on descriptor 0,
    // which callers take for "no port".
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    pid_t pid = fork();
    if (pid == 0) {
        close(0);
        int handle = OpenComPort(line.slavePath().c_str(), 9600, 8, 0);
        bool ok = handle > 0 && WritePort(handle, 0x5A) == 1 && fcntl(0, F_GETFD) == -1;
        // Close only after the far end has taken the byte: closing flushes
        // what the master has not read yet.
        unsigned char ack = 0;
        ok = ok && ReadPort(handle, &ack) == 0 && ack == 0xA5;
        CloseComPort(handle);
        _exit(ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    unsigned char b = 0;
    EXPECT_TRUE(line.readByte(&b, 3000));
    EXPECT_EQ(b, 0x5A);
    line.write({0xA5});
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(CloseComPort, ZeroIsIgnored) {
    // Descriptor 0 of the test process must survive.
    int before = fcntl(0, F_GETFD);
    CloseComPort(0);
    EXPECT_EQ(fcntl(0, F_GETFD), before);
}

TEST(PortIo, WritesArriveAndReportSuccessAsNonZero) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    EXPECT_EQ(WritePort(port.handle, 0x05), 1);
    unsigned char block[] = {0x02, 'V', 0x03, 0x55};
    EXPECT_EQ(WriteBlockPort(port.handle, block, 4), 1);
    std::vector<unsigned char> got = port.line.readIdle(16, 300);
    EXPECT_EQ(got, (std::vector<unsigned char>{0x05, 0x02, 'V', 0x03, 0x55}));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(WritePort(fds[0], 0x05), 0); // the read end refuses writes
    EXPECT_EQ(WriteBlockPort(fds[0], block, 4), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(PortIo, ReadPortAndIsRecvDataSeeWaitingBytes) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    EXPECT_EQ(IsRecvData(port.handle), -1);
    port.send({0x06, 0x15});
    ASSERT_TRUE(port.waitFor(2));
    EXPECT_EQ(IsRecvData(port.handle), 0);
    ExpectNextByte(port, 0x06);
    ExpectNextByte(port, 0x15);
    EXPECT_EQ(IsRecvData(port.handle), -1);
}

TEST(PortIo, ReadBlockPortFullPartialAndImmediateTimeOut) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    port.send({1, 2, 3, 4, 5});
    unsigned char buf[8] = {0};
    EXPECT_EQ(ReadBlockPort(port.handle, buf, 5, 2000), 0);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 5),
              (std::vector<unsigned char>{1, 2, 3, 4, 5}));

    // Fewer bytes than asked: time-out, the bytes that came at the start.
    unsigned char part[8];
    memset(part, 0xEE, sizeof part);
    port.send({9, 8, 7});
    long long t0 = NowMs();
    EXPECT_EQ(ReadBlockPort(port.handle, part, 5, 300), -2);
    EXPECT_GE(NowMs() - t0, 290);
    EXPECT_EQ(std::vector<unsigned char>(part, part + 4),
              (std::vector<unsigned char>{9, 8, 7, 0xEE}));

    // A time-out of 0 ends at the first test, even with bytes waiting.
    port.send({0x42});
    ASSERT_TRUE(port.waitFor(1));
    memset(part, 0xEE, sizeof part);
    EXPECT_EQ(ReadBlockPort(port.handle, part, 1, 0), -2);
    EXPECT_EQ(part[0], 0xEE);
    EXPECT_EQ(IsRecvData(port.handle), 0);
}

TEST(PortIo, ReadBlockPortRefusesEmptyNegativeAndNullRequests) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    port.send({0x11, 0x22});
    ASSERT_TRUE(port.waitFor(2));
    unsigned char guard[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    long long t0 = NowMs();
    EXPECT_EQ(ReadBlockPort(port.handle, guard, 0, 5000), 0);
    EXPECT_LT(NowMs() - t0, 1000); // at once, not after the time-out
    EXPECT_EQ(ReadBlockPort(port.handle, guard, -1, 100), -1);
    EXPECT_EQ(ReadBlockPort(port.handle, nullptr, 2, 100), -1);
    EXPECT_EQ(guard[0], 0xEE);
    // Nothing was consumed by the refused calls.
    ExpectNextByte(port, 0x11);
}

TEST(PortIo, CheckDataReadPortDropsOtherBytesAndSkips0xFF) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    port.send({0x15, 0x06});
    EXPECT_EQ(CheckDataReadPort(port.handle, 0x06, 3000), 0);
    port.send({0xFF, 0xFF, 0x30, 0x7E, 0x43});
    EXPECT_EQ(CheckDataReadPort(port.handle, 0x7E, 3000), 0);
    // The byte after the match is left for the next read.
    ExpectNextByte(port, 0x43);
}

// ---- The slow time-outs, each in its own test so they run side by side ----

TEST(PortTimeOutSlow, ReadPortGivesUpAfterTwoSecondsWithByteZero) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    unsigned char b = 0xAA;
    long long t0 = NowMs();
    EXPECT_EQ(ReadPort(port.handle, &b), -1);
    long long took = NowMs() - t0;
    EXPECT_EQ(b, 0);
    EXPECT_GE(took, 1990); // the tool's clock is truncated wall-clock time
    EXPECT_LT(took, 6000);
}

TEST(PortTimeOutSlow, CheckDataReadPortNeverMatches0xFF) {
    OpenLine port;
    ASSERT_GT(port.handle, 0);
    port.send({0xFF, 0xFF, 0xFF});
    long long t0 = NowMs();
    EXPECT_EQ(CheckDataReadPort(port.handle, 0xFF, 200), -2);
    // The silent line keeps the last ReadPort waiting its own 2 s.
    long long took = NowMs() - t0;
    EXPECT_GE(took, 1990);
    EXPECT_LT(took, 8000);
}

// ---- The millisecond clock ----------------------------------------------------

// The tick follows the monotonic clock, so setting the system time moves no
// wait; through the seam a virtual clock ends a wait without real sleeping.
TEST(Clock, TickIsMonotonicMillisecondsAndCanBeReplaced) {
    struct timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    uint64_t tick = GetTickCount();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(tick, static_cast<uint64_t>(before.tv_sec) * 1000 + before.tv_nsec / 1000000);
    EXPECT_LE(tick, static_cast<uint64_t>(after.tv_sec) * 1000 + after.tv_nsec / 1000000);

    static uint64_t virtualMs = 0;
    SetComClock([] { return virtualMs; }, [](unsigned us) { virtualMs += us / 1000; });
    long long t0 = NowMs();
    uint64_t start = GetTickCount();
    while (!CheckTimeOut(start, 60000)) {
    }
    SetComClock(nullptr, nullptr);
    EXPECT_GE(virtualMs, 60000u);
    EXPECT_LT(NowMs() - t0, 1000);
}

TEST(Clock, CheckTimeOutSleepsBeforeComparing) {
    EXPECT_TRUE(CheckTimeOut(GetTickCount(), 0));
    EXPECT_FALSE(CheckTimeOut(GetTickCount(), 1000));
    uint64_t start = GetTickCount();
    long long t0 = NowMs();
    while (!CheckTimeOut(start, 50)) {
    }
    EXPECT_GE(NowMs() - t0, 45);
}

TEST(Clock, TimeOutArithmeticWithFixedTicks) {
    const uint64_t s = 1700000000000ull; // a realistic wall-clock tick
    EXPECT_FALSE(TimeOutPassed(s, s + 99, 100));
    EXPECT_TRUE(TimeOutPassed(s, s + 100, 100));
    EXPECT_TRUE(TimeOutPassed(s, s + 5000, 100));
    EXPECT_TRUE(TimeOutPassed(s, s + 1, 0));
    EXPECT_TRUE(TimeOutPassed(s, s + 1, -5));
    // A clock that stands still or goes back extends the wait: elapsed is
    // taken as now - start - 1 on 32 bits.
    EXPECT_FALSE(TimeOutPassed(s, s, 0));
    EXPECT_TRUE(TimeOutPassed(s, s, -1));
    EXPECT_FALSE(TimeOutPassed(s, s - 1000, 100));
    EXPECT_FALSE(TimeOutPassed(s, s - 1000, -1000));
    EXPECT_TRUE(TimeOutPassed(s, s - 1000, -1001));
    // The low 32 bits wrap between start and now.
    const uint64_t w = 0x1FFFFFFF0ull;
    EXPECT_FALSE(TimeOutPassed(w, w + 0x1F, 0x20));
    EXPECT_TRUE(TimeOutPassed(w, w + 0x20, 0x20));
    EXPECT_TRUE(TimeOutPassed(0xFFFFFFFFull, 0x100000000ull, 1));
    // Limits of the signed time-out do not overflow.
    EXPECT_FALSE(TimeOutPassed(s, s + 1, INT32_MAX));
    EXPECT_TRUE(TimeOutPassed(s, s + 0x7FFFFFFFull, INT32_MAX));
}
