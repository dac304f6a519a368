// The open routine both serial layers share, on pseudo-terminals: low-latency
// mode asked for and put back, what is not a serial port refused with its
// reason, and reads and writes that end within their windows on a line that
// never moves.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <grp.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "serial/ComPort.h"
#include "serial/HeldPorts.h"
#include "serial/PortAccess.h"
#include "serial/SerialLine.h"
#include "app/console/ConsoleRenderer.h"
#include "app/console/ReasonLine.h"
#include "serial/rs232.h"
#include "sim/VirtualLine.h"
#include "support/ConsoleChild.h"
#include "support/LinkTest.h"
#include "support/VirtualClock.h"

namespace {

// A pseudo-terminal refuses the serial-flags requests. The interposer below
// plays a USB adapter's driver for the one device `gAdapter`.
dev_t gAdapter = 0;
int gDriverFlags = 0;
bool gRefuseSet = false;
std::vector<int> gFlagsSet; // every TIOCSSERIAL, in order

bool IsAdapter(int fd) {
    struct stat st;
    return gAdapter != 0 && fstat(fd, &st) == 0 && st.st_rdev == gAdapter;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && IsAdapter(fd)) {
        auto* serial = static_cast<struct serial_struct*>(arg);
        if (request == TIOCGSERIAL) {
            memset(serial, 0, sizeof *serial);
            serial->flags = gDriverFlags;
            return 0;
        }
        if (gRefuseSet) {
            errno = EPERM;
            return -1;
        }
        gFlagsSet.push_back(serial->flags);
        gDriverFlags = serial->flags;
        return 0;
    }
    using Real = int (*)(int, unsigned long, ...);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace {

struct Adapter {
    explicit Adapter(int flags, bool refuseSet = false) {
        struct stat st;
        if (stat(line.slavePath().c_str(), &st) == 0)
            gAdapter = st.st_rdev;
        gDriverFlags = flags;
        gRefuseSet = refuseSet;
        gFlagsSet.clear();
    }
    ~Adapter() { gAdapter = 0; }
    const char* path() const { return line.slavePath().c_str(); }
    VirtualLine line;
};

const int kOtherFlag = ASYNC_SKIP_TEST;

} // namespace

TEST(SerialLine, LowLatencyIsAskedForAndPutBack) {
    {
        Adapter adapter(kOtherFlag);
        int handle = OpenComPort(adapter.path(), 115200, 8, 0);
        ASSERT_GT(handle, 0);
        EXPECT_EQ(gFlagsSet, std::vector<int>({kOtherFlag | ASYNC_LOW_LATENCY}));
        CloseComPort(handle);
        EXPECT_EQ(gFlagsSet, std::vector<int>({kOtherFlag | ASYNC_LOW_LATENCY, kOtherFlag}));
    }
    {
        // The interrupt path puts the flags back and closes the port too.
        Adapter adapter(kOtherFlag);
        CRS232 port;
        port.SetComSettings(const_cast<char*>(adapter.path()), 115200, 8, 2, 1.0f);
        ASSERT_TRUE(port.openCom());
        ReleaseAllPorts();
        EXPECT_EQ(gFlagsSet, std::vector<int>({kOtherFlag | ASYNC_LOW_LATENCY, kOtherFlag}));
        EXPECT_EQ(fcntl(port.fd, F_GETFD), -1);
        port.fd = 0;
    }
    {
        // A driver already in low-latency mode is left alone; one that
        // refuses still gives a working port and nothing to put back.
        Adapter adapter(ASYNC_LOW_LATENCY);
        CloseComPort(OpenComPort(adapter.path(), 115200, 8, 0));
        EXPECT_TRUE(gFlagsSet.empty());
    }
    Adapter adapter(kOtherFlag, true);
    int handle = OpenComPort(adapter.path(), 115200, 8, 0);
    ASSERT_GT(handle, 0);
    EXPECT_EQ(WritePort(handle, 0x5A), 1);
    unsigned char byte = 0;
    EXPECT_TRUE(adapter.line.readByte(&byte, 1000));
    EXPECT_EQ(byte, 0x5A);
    CloseComPort(handle);
    EXPECT_TRUE(gFlagsSet.empty());
}

// Typed as the port, the process's own terminal would have its keys eaten as
// replies and be left raw; a pseudo-terminal master answers nothing.
TEST(SerialLine, ConsoleAndPseudoTerminalMastersAreRefused) {
    VirtualLine console;
    ASSERT_TRUE(console.ok());
    std::string own = console.slavePath();
    TtyChild child = StartConsoleChildOnTty(own, [own] {
        struct termios cooked;
        tcgetattr(0, &cooked);
        cooked.c_lflag |= ICANON | ECHO;
        cfsetspeed(&cooked, B9600);
        tcsetattr(0, TCSANOW, &cooked);
        CRS232 port;
        port.SetComSettings(const_cast<char*>(own.c_str()), 115200, 8, 2, 1.0f);
        bool refused = OpenComPort(own.c_str(), 115200, 8, 0) == 0 && !port.openCom() &&
                       OpenComPort("/dev/tty", 115200, 8, 0) == 0;
        struct termios after;
        tcgetattr(0, &after);
        bool untouched = after.c_lflag == cooked.c_lflag && after.c_cflag == cooked.c_cflag &&
                         after.c_iflag == cooked.c_iflag && cfgetospeed(&after) == B9600;
        return refused && untouched ? 0 : 1;
    });
    ChildResult result = FinishConsoleChild(child);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.result, 0);

    VirtualLine line;
    std::string viaProc = "/proc/self/fd/" + std::to_string(line.masterFd());
    ChildResult masters = RunConsoleChild("", [viaProc] {
        dup2(1, 2);
        InstallConsoleRenderer();
        for (const char* port : {"/dev/ptmx", "/dev/pts/ptmx", viaProc.c_str()}) {
            if (OpenComPort(port, 9600, 8, 0) != 0)
                return 1;
            ReportPortFailure();
        }
        ReportPortFailure(); // nothing failed since the last call: silent
        return 0;
    });
    const char* reason = ": a pseudo-terminal master, not a serial port\n";
    EXPECT_EQ(masters.output, "kvfwdn: /dev/ptmx" + std::string(reason) + "kvfwdn: /dev/pts/ptmx" +
                                  reason + "kvfwdn: " + viaProc + reason);
    EXPECT_EQ(masters.result, 0);
}

TEST(SerialLine, PermissionDeniedSaysWhatWouldHelp) {
    EXPECT_EQ(PermissionDeniedReason("root", "dialout", 020660),
              "Permission denied (owner root, group dialout, mode 0660: add the user to the "
              "dialout group)");
    EXPECT_EQ(PermissionDeniedReason("root", "root", 020600),
              "Permission denied (owner root, group root, mode 0600: the user needs read and "
              "write access to it)");

    // The real open, by an ordinary user, of a file of root's with mode 0000
    // and of one in group dialout with mode 0660.
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to make the files";
    for (const char* group : {"root", "dialout"}) {
        char file[] = "/tmp/kv_no_access_XXXXXX";
        int fd = mkstemp(file);
        ASSERT_GE(fd, 0);
        close(fd);
        bool dialout = std::string(group) == "dialout";
        chmod(file, dialout ? 0660 : 0);
        if (dialout && system(("chgrp dialout " + std::string(file)).c_str()) != 0)
            GTEST_SKIP() << "no dialout group";
        ChildResult run = RunConsoleChild("", [&file] {
            dup2(1, 2);
            InstallConsoleRenderer();
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                return 2;
            CRS232 port;
            port.SetComSettings(file, 115200, 8, 2, 1.0f);
            if (port.openCom())
                return 1;
            ReportPortFailure();
            return 0;
        });
        unlink(file);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.output, "kvfwdn: " + std::string(file) + ": " +
                                  PermissionDeniedReason("root", group, dialout ? 0660 : 0) + "\n");
    }
}

// On the clock seam: a device that never answers and never takes a byte.
// A driver that ignores the read time-out would block a read for ever, and
// a full output queue (a line held by flow control) would block a write.
TEST(SerialLine, ReadsAndWritesEndWithinTheirWindows) {
    VirtualLine line;
    CRS232 port;
    port.SetComSettings(const_cast<char*>(line.slavePath().c_str()), 115200, 8, 2, 1.0f);
    ASSERT_TRUE(port.openCom());
    struct termios tio;
    tcgetattr(port.fd, &tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(port.fd, TCSANOW, &tio);
    unsigned char reply[4];
    auto real = std::chrono::steady_clock::now();
    VirtualClock clock;
    uint64_t begin = VirtualClock::nowMs();
    EXPECT_EQ(port.receiveData(4, reply), -1);
    EXPECT_GE(VirtualClock::nowMs() - begin, 2900u);
    EXPECT_LT(VirtualClock::nowMs() - begin, 4500u);

    std::vector<unsigned char> block(1 << 20, 0x55);
    begin = VirtualClock::nowMs();
    int taken = port.sendData(static_cast<int>(block.size()), block.data());
    EXPECT_GT(taken, 0);
    EXPECT_LT(taken, static_cast<int>(block.size()));
    EXPECT_LT(VirtualClock::nowMs() - begin, 4500u);
    port.closeCom();

    int handle = OpenComPort(line.slavePath().c_str(), 115200, 8, 0);
    ASSERT_GT(handle, 0);
    begin = VirtualClock::nowMs();
    EXPECT_EQ(WriteBlockPort(handle, block.data(), static_cast<int>(block.size())), 0);
    EXPECT_GE(VirtualClock::nowMs() - begin, 1900u);
    EXPECT_LT(VirtualClock::nowMs() - begin, 3500u);
    CloseComPort(handle);
    EXPECT_LT(MsSince(real), 2900); // not waited for real
}
