// CRS232 on a real pseudo-terminal: settings checks at open, refusal of
// devices that are not terminals, block transfers and the two echo modes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/rs232.h"
#include "sim/VirtualLine.h"
#include "support/LinkTest.h"
#include "support/VirtualClock.h"

namespace {

void Configure(CRS232& port, const std::string& path, long baud, int bits, int parity, float stop) {
    port.SetComSettings(const_cast<char*>(path.c_str()), baud, bits, parity, stop);
}

int OpenDescriptors() {
    int count = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        ++count;
    closedir(d);
    return count;
}

bool Held(int fd) {
    return fd > 0 && fcntl(fd, F_GETFD) != -1;
}

std::string TempPath(const char* tag) {
    return std::string("/tmp/kv_rs232_") + tag + "_" + std::to_string(getpid());
}

} // namespace

TEST(Rs232, DefaultsAndSettingsStored) {
    CRS232 port;
    EXPECT_FALSE(port.isOpen);
    EXPECT_STREQ("", port.portName);
    EXPECT_EQ(115200, port.baudRate);
    EXPECT_EQ(8, port.dataBits);
    EXPECT_EQ(2, port.parity);
    EXPECT_EQ(1.0f, port.stopBits);
    EXPECT_EQ(0, port.echoMode);
    EXPECT_FALSE(port.flowControl);
    EXPECT_EQ(0, port.fd);

    Configure(port, "/dev/ttyS4", 57600, 7, 0, 2.0f);
    EXPECT_STREQ("/dev/ttyS4", port.portName);
    EXPECT_EQ(57600, port.baudRate);
    EXPECT_EQ(7, port.dataBits);
    EXPECT_EQ(0, port.parity);
    EXPECT_EQ(2.0f, port.stopBits);

    // A name that portName cannot hold whole is refused, nothing stored.
    std::string longName(100, 'x');
    Configure(port, longName, 9600, 8, 2, 1.0f);
    EXPECT_STREQ("/dev/ttyS4", port.portName);
    EXPECT_EQ(57600, port.baudRate);
    port.closeCom(); // on a closed object: only isOpen is cleared
    EXPECT_FALSE(port.isOpen);
    EXPECT_EQ(0, port.fd);
}

TEST(Rs232, OutOfRangeSettingsNeverTouchTheDevice) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    struct Case {
        long baud;
        int bits;
        int parity;
        float stop;
    } cases[] = {{300, 8, 2, 1.0f},     {600, 8, 2, 1.0f},     {0, 8, 2, 1.0f},
                 {115200, 4, 2, 1.0f},  {115200, 10, 2, 1.0f}, {115200, 8, 3, 1.0f},
                 {115200, 8, -1, 1.0f}, {115200, 8, 2, 0.5f},  {115200, 8, 2, 2.5f},
                 {100000, 8, 2, 1.0f}};
    for (const Case& c : cases) {
        CRS232 port;
        Configure(port, line.slavePath(), c.baud, c.bits, c.parity, c.stop);
        EXPECT_FALSE(port.openCom()) << c.baud << " " << c.bits;
        EXPECT_EQ(0, port.fd);
        EXPECT_FALSE(line.slaveOpen());
    }
}

TEST(Rs232, NineDataBitsHoldTheDescriptorUntilClosed) {
    VirtualLine line;
    int before = OpenDescriptors();
    {
        CRS232 port;
        Configure(port, line.slavePath(), 115200, 9, 2, 1.0f);
        EXPECT_FALSE(port.openCom());
        EXPECT_FALSE(port.isOpen);
        EXPECT_TRUE(Held(port.fd));
        // Trying again must not lose the first descriptor.
        EXPECT_FALSE(port.openCom());
        EXPECT_EQ(before + 1, OpenDescriptors());
        int fd = port.fd;
        port.closeCom();
        EXPECT_EQ(0, port.fd);
        EXPECT_FALSE(Held(fd));
        EXPECT_FALSE(port.openCom());
    } // the destructor releases the one held now
    EXPECT_EQ(before, OpenDescriptors());
}

TEST(Rs232, StopBitsAndRawModeAsConfigured) {
    VirtualLine line;
    CRS232 port;
    Configure(port, line.slavePath(), 57600, 8, 1, 1.5f);
    ASSERT_TRUE(port.openCom());
    EXPECT_TRUE(port.isOpen);
    struct termios tio;
    ASSERT_EQ(0, tcgetattr(port.fd, &tio));
    EXPECT_EQ(0u, tio.c_cflag & CSTOPB); // 1.5 gives one stop bit
    EXPECT_EQ(B57600, cfgetospeed(&tio));
    EXPECT_EQ(0, tio.c_cc[VMIN]);
    EXPECT_EQ(30, tio.c_cc[VTIME]);
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_NE(0, fcntl(port.fd, F_GETFL) & O_NONBLOCK); // waits are polls, never a blocked call
    EXPECT_EQ(57600, line.baud());
    port.closeCom();

    Configure(port, line.slavePath(), 115200, 8, 2, 2.0f);
    ASSERT_TRUE(port.openCom());
    ASSERT_EQ(0, tcgetattr(port.fd, &tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);
}

TEST(Rs232, RegularFileAndFifoAreRefusedUntouched) {
    std::string file = TempPath("file");
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("firmware notes", f);
    fclose(f);
    CRS232 port;
    Configure(port, file, 115200, 8, 2, 1.0f);
    EXPECT_FALSE(port.openCom());
    EXPECT_EQ(0, port.fd);
    EXPECT_FALSE(port.isOpen);
    unsigned char sync = 0x7F;
    EXPECT_EQ(-1, port.sendData(1, &sync)); // nothing held, nothing written
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(14, st.st_size);
    unlink(file.c_str());

    std::string fifo = TempPath("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Configure(port, fifo, 115200, 8, 2, 1.0f);
    EXPECT_FALSE(port.openCom());
    EXPECT_EQ(0, port.fd);
    close(reader);
    unlink(fifo.c_str());

    Configure(port, "/nonexistent/tty", 115200, 8, 2, 1.0f);
    EXPECT_FALSE(port.openCom());
    EXPECT_EQ(0, port.fd);
}

TEST(Rs232, BlockTransfersAndPartialReads) {
    VirtualLine line;
    CRS232 port;
    Configure(port, line.slavePath(), 115200, 8, 2, 1.0f);
    ASSERT_TRUE(port.openCom());
    unsigned char out[4] = {0x11, 0xEE, 0x08, 0x00};
    EXPECT_EQ(4, port.sendData(4, out));
    EXPECT_EQ((std::vector<unsigned char>{0x11, 0xEE, 0x08, 0x00}), line.readIdle(10, 200));
    EXPECT_EQ(0, port.sendData(-1, out));
    EXPECT_EQ(0, port.sendData(1, nullptr));
    EXPECT_EQ(0, port.receiveData(-1, out));
    EXPECT_EQ(0, port.receiveData(1, nullptr));

    // 3 of 10 requested bytes: the call returns what arrived.
    ASSERT_TRUE(line.write({1, 2, 3}));
    unsigned char in[10] = {};
    EXPECT_EQ(3, port.receiveData(10, in));
    EXPECT_EQ(3, in[2]);

    port.echoMode = 7;
    EXPECT_EQ(-1, port.receiveData(1, in));

    std::string text = "hi";
    port.echoMode = 0;
    EXPECT_EQ(2, port.sendData(&text));
    EXPECT_EQ((std::vector<unsigned char>{'h', 'i'}), line.readIdle(10, 200));
    ASSERT_TRUE(line.write({'o', 'k', 0, 'x'}));
    std::string got;
    EXPECT_EQ(4, port.receiveData(&got));
    EXPECT_EQ("ok", got); // a zero byte ends the text
    EXPECT_EQ(0, port.sendData(static_cast<std::string*>(nullptr)));
    EXPECT_EQ(0, port.receiveData(static_cast<std::string*>(nullptr)));
}

TEST(Rs232, EchoModes) {
    VirtualLine line;
    CRS232 port;
    Configure(port, line.slavePath(), 115200, 8, 2, 1.0f);
    ASSERT_TRUE(port.openCom());

    // Mode 2: the line returns each byte; here a line that garbles them, so
    // the caller's buffer shows what came back.
    std::thread far([&line] {
        unsigned char b = 0;
        for (int i = 0; i < 3 && line.readByte(&b, 2000); ++i) {
            unsigned char back = static_cast<unsigned char>(b + 1);
            line.write(&back, 1);
        }
    });
    port.echoMode = 2;
    unsigned char frame[3] = {0x10, 0x20, 0x30};
    EXPECT_EQ(3, port.sendData(3, frame));
    far.join();
    EXPECT_EQ(0x11, frame[0]);
    EXPECT_EQ(0x21, frame[1]);
    EXPECT_EQ(0x31, frame[2]);

    // Mode 1: every received byte goes back to the line.
    port.echoMode = 1;
    ASSERT_TRUE(line.write({0x79, 0x1F}));
    unsigned char in[2] = {};
    EXPECT_EQ(2, port.receiveData(2, in));
    EXPECT_EQ(0x79, in[0]);
    EXPECT_EQ(0x1F, in[1]);
    EXPECT_EQ((std::vector<unsigned char>{0x79, 0x1F}), line.readIdle(10, 200));
}

// The two 3-second silences of the port, on the clock seam: the line stays
// silent, what counts is the window.
TEST(Rs232, SilenceEndsReadsAndEchoWaitsAfterThreeSeconds) {
    VirtualLine line;
    CRS232 port;
    Configure(port, line.slavePath(), 115200, 8, 2, 1.0f);
    ASSERT_TRUE(port.openCom());
    unsigned char in[4] = {};
    auto begin = std::chrono::steady_clock::now();
    VirtualClock clock;
    EXPECT_EQ(-1, port.receiveData(4, in));
    uint64_t waited = VirtualClock::nowMs();
    EXPECT_GE(waited, 2900u);
    EXPECT_LT(waited, 6000u);

    // Echo mode 2 with a line that returns nothing: -1 after 3 s.
    port.echoMode = 2;
    unsigned char frame[2] = {0x7F, 0x00};
    uint64_t t0 = VirtualClock::nowMs();
    EXPECT_EQ(-1, port.sendData(2, frame));
    EXPECT_GE(VirtualClock::nowMs() - t0, 2900u);
    EXPECT_EQ(0x7F, frame[0]);       // nothing came back to replace it
    EXPECT_LT(MsSince(begin), 2900); // not waited for real
}
