// One open routine for both serial layers, its closing twin, and the bounded
// reads and writes. The descriptor stays non-blocking: every wait is a poll
// with its own time-out, so no device can hold a call past its window.
#include "serial/SerialLine.h"

#include "serial/ConsoleSink.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <string>
#include <unistd.h>

#include "serial/Clock.h"
#include "serial/HeldPorts.h"
#include "serial/LineTrace.h"
#include "serial/LockFile.h"
#include "serial/PortAccess.h"
#include "serial/SystemConsole.h"

namespace {

// Tells the front end why `device` could not be opened (its end-of-action
// report prints it) and gives the "no port" handle.
int Fail(const char* device, const char* reason, int fd = -1) {
    if (fd >= 0)
        close(fd);
    SinkOpenFailed(device, reason);
    TraceOpenFailed(device, reason);
    return 0;
}

const char* const CONSOLE_REASON = "this is the console, not a serial port";
const char* const SESSION_TERMINAL_REASON =
    "this is the terminal of this session, not a serial port";
const char* const MASTER_REASON = "a pseudo-terminal master, not a serial port";

// Why a character device must not be taken as a port, or nullptr. The
// console would have its keystrokes eaten as replies and be left raw; a
// pseudo-terminal master answers nothing and ignores the read time-out.
const char* RefusedDevice(const struct stat& st) {
    if (!S_ISCHR(st.st_mode))
        return nullptr;
    unsigned major = major(st.st_rdev), minor = minor(st.st_rdev);
    if ((major == 5 && minor <= 1) || (major == 4 && minor < 64)) // tty, console, VTs
        return CONSOLE_REASON;
    if ((major == 5 && minor == 2) || major == 2) // ptmx, old-style masters
        return MASTER_REASON;
    // The tool's own terminal; standard input on /dev/null makes /dev/null
    // no console.
    for (int own = 0; own <= 2; ++own) {
        struct stat ownSt;
        if (isatty(own) && fstat(own, &ownSt) == 0 && S_ISCHR(ownSt.st_mode) &&
            ownSt.st_rdev == st.st_rdev)
            return CONSOLE_REASON;
    }
    return nullptr;
}

std::string OpenErrorReason(const char* device, int error) {
    if (error == EACCES)
        return PermissionDeniedReason(device);
    if (error == EBUSY)
        return "in use by another program";
    return strerror(error);
}

int OpenLockedDevice(const char* device);

} // namespace

speed_t LineSpeed(long baud) {
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

int OpenSerialLine(const char* device, long baud) {
    if (device == nullptr)
        return 0;
    if (LineSpeed(baud) == 0)
        return Fail(device, "unsupported line speed");
    struct stat st;
    const char* refused = stat(device, &st) == 0 ? RefusedDevice(st) : nullptr;
    if (refused != nullptr)
        return Fail(device, refused);
    std::string console;
    if (IsSystemConsole(device, &console))
        return Fail(
            device,
            ("this is the system console (console=" + console + "), not a device port").c_str());
    // The lock file before the open: a port that another program holds by
    // its lock file is not touched at all.
    pid_t holder = 0;
    char why[PATH_MAX + 100];
    LockFileResult lock = TakeLockFile(device, &holder, why, sizeof why);
    if (lock == LOCK_FILE_HELD)
        return Fail(device, why);
    int fd = OpenLockedDevice(device);
    if (fd == 0 && lock == LOCK_FILE_TAKEN)
        DropLockFile(device);
    else if (fd > 0)
        AttachLockFile(device, fd);
    // A port held without a lock file is worth a warning; one not held at
    // all has its own reason.
    if (fd > 0 && lock == LOCK_FILE_UNAVAILABLE && why[0] != '\0')
        SinkLockWithoutFile(device, why);
    if (fd > 0)
        TraceOpened(fd, device);
    return fd;
}

namespace {

int OpenLockedDevice(const char* device) {
    struct stat st;
    const char* refused = nullptr;
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return Fail(device, OpenErrorReason(device, errno).c_str());
    // Handle 0 means "no port" to every caller: with standard input closed
    // the device may land there, so move it.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD, 1);
        close(fd);
        if (moved < 0)
            return Fail(device, OpenErrorReason(device, errno).c_str());
        fd = moved;
    }
    // The terminal of this session (the technician's own, whatever its
    // name) would have its keystrokes eaten and be left raw.
    pid_t session = tcgetsid(fd);
    if (session > 0 && session == getsid(0))
        return Fail(device, SESSION_TERMINAL_REASON, fd);
    // The lock first, before any setting or flush: a second program that
    // does not get it leaves the holder's line untouched.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return Fail(device, "in use by another program", fd);
    // Only a terminal can be a serial port: a file typed at the prompt would
    // be overwritten with protocol bytes and read back as replies.
    struct termios before;
    if (!isatty(fd) || tcgetattr(fd, &before) != 0)
        return Fail(device, "not a serial port", fd);
    int ptyNumber = 0;
    refused = fstat(fd, &st) == 0 ? RefusedDevice(st) : nullptr;
    if (refused == nullptr && ioctl(fd, TIOCGPTN, &ptyNumber) == 0)
        refused = MASTER_REASON;
    if (refused != nullptr)
        return Fail(device, refused, fd);
    ioctl(fd, TIOCEXCL);
    if (!HoldPort(fd, &before)) {
        ioctl(fd, TIOCNXCL);
        return Fail(device, "too many ports open", fd);
    }
    fcntl(fd, F_SETFL, O_RDWR | O_NONBLOCK);
    return fd;
}

} // namespace

namespace {

long BaudOf(speed_t speed) {
    static const long RATES[] = {1200,  2400,  4800,   9600,   19200,
                                 38400, 57600, 115200, 230400, 460800};
    for (long rate : RATES) {
        if (LineSpeed(rate) == speed)
            return rate;
    }
    return 0;
}

int DataBitsOf(tcflag_t charSize) {
    switch (charSize) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

void ConfigureSerialLine(int fd, const LineFormat& format) {
    if (LineTraced())
        TraceSetting(fd, BaudOf(format.speed), DataBitsOf(format.charSize), format.evenParity,
                     format.twoStopBits);
    struct termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, format.speed);
    cfsetospeed(&tio, format.speed);
    tio.c_cflag |= (CLOCAL | CREAD);
    // None of the devices uses flow control or odd parity; another program
    // may have left them on (a write then stalls, or every frame is refused).
    tio.c_cflag &= ~(CRTSCTS | PARODD | CMSPAR);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (format.evenParity)
        tio.c_cflag |= PARENB;
    else
        tio.c_cflag &= ~PARENB;
    if (format.twoStopBits)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~CSTOPB;
    tio.c_cflag &= ~CSIZE;
    tio.c_cflag |= format.charSize;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_oflag &= ~OPOST;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = format.readTimeout;
    tcflush(fd, IsPseudoTerminalSlave(fd) ? TCIFLUSH : TCIOFLUSH);
    tcsetattr(fd, TCSAFLUSH, &tio);

    // A pseudo-terminal refuses the modem lines, which is fine.
    int lines = 0;
    ioctl(fd, TIOCMGET, &lines);
    if (format.raiseModemLines)
        lines |= (TIOCM_DTR | TIOCM_RTS);
    else
        lines &= ~(TIOCM_DTR | TIOCM_RTS);
    ioctl(fd, TIOCMSET, &lines);

    // USB adapters otherwise hold each received byte up to 16 ms, and the
    // bootloader road waits for a one-byte ACK three times per packet. A
    // driver that refuses is left as it is.
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        HoldSerialFlags(fd, serial.flags);
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
    usleep(10000);
}

void CloseSerialLine(int fd) {
    if (fd <= 0)
        return;
    TraceClose(fd);
    if (!ReleasePort(fd)) {
        if (!IsPseudoTerminalSlave(fd))
            tcflush(fd, TCOFLUSH);
        close(fd);
    }
    // Outside an action that keeps it, a lock file goes with its port.
    if (!LockFilesKeptUntilRelease())
        DropLockFileOf(fd);
}

ssize_t SerialWrite(int fd, const void* data, size_t length, int timeoutMs) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    uint64_t start = GetTickCount();
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            break;
        // A line held by flow control or a full queue: wait for room, but
        // not past the window of the whole call.
        int64_t left = timeoutMs - static_cast<int64_t>(GetTickCount() - start);
        if (left <= 0)
            break;
        int r = ComPollFd(fd, POLLOUT, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
    }
    TraceBytes(LINE_WRITE, bytes, done);
    if (done == 0 && length > 0)
        return -1;
    return static_cast<ssize_t>(done);
}

ssize_t SerialRead(int fd, void* data, size_t length, int timeoutMs) {
    for (;;) {
        int r = ComPollFd(fd, POLLIN, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0) {
            TraceTimeout(timeoutMs);
            return 0;
        }
        ssize_t n = read(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return 0;
        if (n > 0)
            TraceBytes(LINE_READ, data, static_cast<size_t>(n));
        return n;
    }
}
