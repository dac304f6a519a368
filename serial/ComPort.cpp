// Serial port primitives over the POSIX terminal interface. Every wait is a
// poll of the driver's input count with 1 ms sleeps against a millisecond
// tick; nothing blocks inside read().
#include "serial/ComPort.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Maps a rate in bit/s to its termios speed code; 0 when unsupported.
speed_t SpeedCode(int baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    default:
        return 0;
    }
}

int WaitingBytes(int handle) {
    int count = 0;
    if (ioctl(handle, FIONREAD, &count) < 0)
        return 0;
    return count;
}

} // namespace

int OpenComPort(const char* device, int baud, int dataBits, int parity) {
    speed_t speed = SpeedCode(baud);
    if (speed == 0 || device == nullptr)
        return 0;
    int handle = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (handle == -1)
        return 0;
    // Handle 0 means "no port" to every caller. With standard input closed
    // the device may land on descriptor 0; move it so the open port is
    // neither reported as a failure nor left open unseen.
    if (handle == 0) {
        int moved = fcntl(handle, F_DUPFD, 1);
        close(handle);
        if (moved < 0)
            return 0;
        handle = moved;
    }
    // Only a terminal can be a serial port. A regular file, FIFO or directory
    // typed at the port prompt would otherwise be overwritten with protocol
    // bytes and read back as replies.
    struct termios tio;
    if (!isatty(handle) || tcgetattr(handle, &tio) != 0) {
        close(handle);
        return 0;
    }
    // Replace the status flags: this clears O_NONBLOCK, so I/O blocks from here.
    fcntl(handle, F_SETFL, O_RDWR);

    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= (CLOCAL | CREAD);
    if (parity == 2)
        tio.c_cflag |= PARENB;
    else
        tio.c_cflag &= ~PARENB;
    tio.c_cflag &= ~CSTOPB;
    tio.c_cflag &= ~CSIZE;
    tio.c_cflag |= (dataBits == 7) ? CS7 : CS8;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_oflag &= ~OPOST;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 100;

    tcflush(handle, TCIOFLUSH);
    tcsetattr(handle, TCSAFLUSH, &tio);

    // Raise DTR and RTS; a pseudo-terminal refuses these calls, which is fine.
    int lines = 0;
    ioctl(handle, TIOCMGET, &lines);
    lines |= TIOCM_DTR | TIOCM_RTS;
    ioctl(handle, TIOCMSET, &lines);

    usleep(10000);
    return handle;
}

void CloseComPort(int handle) {
    if (handle == 0)
        return;
    tcflush(handle, TCOFLUSH);
    close(handle);
}

int IsRecvData(int handle) {
    return WaitingBytes(handle) > 0 ? 0 : -1;
}

int ReadPort(int handle, unsigned char* out) {
    uint64_t start = GetTickCount();
    *out = 0;
    for (;;) {
        if (CheckTimeOut(start, 2000))
            return -1;
        if (WaitingBytes(handle) > 0)
            return read(handle, out, 1) == 1 ? 0 : -1;
        ComSleepUs(1000);
    }
}

int WritePort(int handle, unsigned char byte) {
    return write(handle, &byte, 1) == -1 ? 0 : 1;
}

int WriteBlockPort(int handle, unsigned char* buffer, int length) {
    return write(handle, buffer, length) == -1 ? 0 : 1;
}

int ReadBlockPort(int handle, unsigned char* buffer, int length, int timeout) {
    if (buffer == nullptr || length < 0)
        return -1;
    if (length == 0) // nothing to wait for, and nowhere to store a byte
        return 0;
    int count = 0;
    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, timeout))
            return -2;
        if (WaitingBytes(handle) > 0) {
            if (read(handle, &buffer[count], 1) != 1)
                return -1;
            ++count;
        }
        if (count == length)
            return 0;
        ComSleepUs(1000);
    }
}

int CheckDataReadPort(int handle, unsigned char expected, int timeout) {
    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, timeout))
            return -2;
        unsigned char byte = 0;
        if (ReadPort(handle, &byte) != 0)
            continue;
        if (byte == 0xFF) // line noise of a port being switched; never a match
            continue;
        if (byte == expected)
            return 0;
        ComSleepUs(1000);
    }
}

namespace {

// Milliseconds of a clock that never jumps: setting the system time must
// neither end a wait early nor stretch it.
uint64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void RealSleepUs(unsigned us) {
    usleep(us);
}

uint64_t (*gpfnTick)() = MonotonicMs;
void (*gpfnSleepUs)(unsigned) = RealSleepUs;

} // namespace

void SetComClock(uint64_t (*tick)(), void (*sleepUs)(unsigned)) {
    gpfnTick = tick != nullptr ? tick : MonotonicMs;
    gpfnSleepUs = sleepUs != nullptr ? sleepUs : RealSleepUs;
}

void ComSleepUs(unsigned us) {
    gpfnSleepUs(us);
}

uint64_t GetTickCount() {
    return gpfnTick();
}

bool TimeOutPassed(uint64_t start, uint64_t now, int timeout) {
    // Elapsed time on the low 32 bits, as a 32-bit tick counter would give
    // it. A clock that stands still or goes back is taken as a wrap-around,
    // so the wait is extended rather than cut short. All arithmetic is done
    // unsigned so that it wraps instead of overflowing.
    uint32_t start32 = static_cast<uint32_t>(start);
    uint32_t now32 = static_cast<uint32_t>(now);
    uint32_t elapsed = (start < now) ? now32 - start32 : 0xFFFFFFFFu - start32 + now32;
    int32_t remaining = static_cast<int32_t>(static_cast<uint32_t>(timeout) - elapsed);
    return remaining <= 0;
}

bool CheckTimeOut(uint64_t start, int timeout) {
    ComSleepUs(1000);
    return TimeOutPassed(start, GetTickCount(), timeout);
}
