// CSTBLLib's port settings, open and close, and small setters and getters.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/rs232.h"
#include "support/BootTarget.h"

namespace {

unsigned char Settings(CSTBLLib& lib, const std::string& port, long baud, int bits, int parity,
                       float stop) {
    std::string copy = port;
    return lib.SetCOMSettings(&copy[0], baud, bits, parity, stop);
}

} // namespace

TEST(StblPort, ConstructionAndProcessWideDefaults) {
    // Program-start values: this test touches no fixture before reading them.
    EXPECT_EQ(0x79, ACK);
    EXPECT_EQ(0x1F, NACK);
    EXPECT_EQ(0x79, ACK_VALUE);
    EXPECT_EQ(255u, MAX_DATA_SIZE);
    EXPECT_EQ(SUCCESS, ERROR_OFFSET);
    EXPECT_EQ(SUCCESS, COM_ERROR_OFFSET);
    EXPECT_EQ(0x12, UNREOGNIZED_DEVICE);
    EXPECT_EQ(0x22, INPUT_PARAMS_MEMORY_ALLOCATION_ERROR);
    CSTBLLib lib;
    unsigned char size = 0;
    EXPECT_EQ(SUCCESS, lib.GetPaketSize(&size));
    EXPECT_EQ(255, size);
    ASSERT_NE(nullptr, lib.pTarget);
    EXPECT_NE(nullptr, lib.pTarget->PID);
    EXPECT_EQ(0, lib.pTarget->PIDLen);
    EXPECT_EQ(0, lib.pTarget->bGet);
    ASSERT_NE(nullptr, lib.pCom);
    EXPECT_FALSE(lib.pCom->isOpen);
    EXPECT_EQ(115200, lib.pCom->baudRate);
    EXPECT_EQ(2, lib.pCom->parity);
    EXPECT_EQ(0u, lib.progressCount);
    EXPECT_EQ(0u, lib.activityTime);
    EXPECT_EQ(SUCCESS, lib.TARGET_SetComIntType(3));
}

TEST(StblPort, SettingsAreCheckedAndKeptOnRefusal) {
    VirtualLine line;
    CSTBLLib lib;
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 57600, 7, 1, 1.5f));
    EXPECT_EQ(line.slavePath(), lib.pCom->portName);
    struct Case {
        long baud;
        int bits;
        int parity;
        float stop;
    } bad[] = {{0, 8, 2, 1.0f},      {115200, 4, 2, 1.0f},  {115200, 10, 2, 1.0f},
               {115200, 8, 3, 1.0f}, {115200, 8, -1, 1.0f}, {115200, 8, 2, 0.5f},
               {115200, 8, 2, 2.5f}};
    for (const Case& c : bad)
        EXPECT_EQ(INPUT_PARAMS_ERROR,
                  Settings(lib, "/dev/ttyS9", c.baud, c.bits, c.parity, c.stop));
    // A name longer than 99 characters is refused whole, never cut.
    EXPECT_EQ(INPUT_PARAMS_ERROR, Settings(lib, std::string(100, 'a'), 115200, 8, 2, 1.0f));
    EXPECT_EQ(INPUT_PARAMS_ERROR, lib.SetCOMSettings(nullptr, 115200, 8, 2, 1.0f));
    EXPECT_EQ(line.slavePath(), lib.pCom->portName);
    EXPECT_EQ(57600, lib.pCom->baudRate);
    EXPECT_EQ(7, lib.pCom->dataBits);
    EXPECT_EQ(1, lib.pCom->parity);
    EXPECT_EQ(1.5f, lib.pCom->stopBits);
    std::string longest(99, 'b');
    EXPECT_EQ(SUCCESS, Settings(lib, longest, 115200, 8, 2, 2.0f));
    EXPECT_EQ(longest, lib.pCom->portName);

    // Open: settings and a second open are refused until closed.
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 115200, 8, 1, 1.5f));
    ASSERT_EQ(SUCCESS, lib.COM_Open());
    EXPECT_TRUE(lib.COM_is_Open());
    EXPECT_EQ(COM_ALREADY_OPENED, lib.COM_Open());
    EXPECT_EQ(COM_ALREADY_OPENED, Settings(lib, "/dev/ttyS9", 9600, 8, 2, 1.0f));
    EXPECT_EQ(line.slavePath(), lib.pCom->portName);
    EXPECT_EQ(115200, lib.pCom->baudRate);
}

TEST(StblPort, SettingsThePortCannotTakeFailAtOpen) {
    VirtualLine line;
    CSTBLLib lib;
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 300, 8, 2, 1.0f));
    EXPECT_EQ(CANT_OPEN_COM, lib.COM_Open());
    EXPECT_FALSE(lib.COM_is_Open());
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 115200, 9, 2, 1.0f));
    EXPECT_EQ(CANT_OPEN_COM, lib.COM_Open());
    EXPECT_FALSE(lib.COM_is_Open());
    // A regular file is no serial port: refused and left as it was.
    std::string file = "/tmp/kv_stbl_port_" + std::to_string(getpid());
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("abc", f);
    fclose(f);
    ASSERT_EQ(SUCCESS, Settings(lib, file, 115200, 8, 2, 1.0f));
    EXPECT_EQ(CANT_OPEN_COM, lib.COM_Open());
    EXPECT_EQ(NO_CON_AVAILABLE, lib.STBL_Init_BL());
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(3, st.st_size);
    unlink(file.c_str());
    // Retry after changing the settings.
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 115200, 8, 2, 1.0f));
    EXPECT_EQ(SUCCESS, lib.COM_Open());
}

TEST(StblPort, CloseDropsThePortObject) {
    VirtualLine line;
    CSTBLLib lib;
    EXPECT_EQ(NO_CON_AVAILABLE, lib.SetTimeOut(1000));
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 115200, 8, 2, 1.0f));
    ASSERT_EQ(SUCCESS, lib.COM_Open());
    EXPECT_EQ(SUCCESS, lib.SetTimeOut(0));
    EXPECT_EQ(SUCCESS, lib.COM_Close());
    EXPECT_EQ(nullptr, lib.pCom);
    EXPECT_FALSE(lib.COM_is_Open());
    EXPECT_EQ(NO_CON_AVAILABLE, lib.COM_Close());
    EXPECT_EQ(NO_CON_AVAILABLE, lib.SetTimeOut(1000));
    EXPECT_FALSE(line.slaveOpen());
    // The settings went with the object: a fresh one has no port name.
    EXPECT_EQ(CANT_OPEN_COM, lib.COM_Open());
    ASSERT_NE(nullptr, lib.pCom);
    EXPECT_STREQ("", lib.pCom->portName);
}

TEST(StblPort, EchoAndFlowControlAfterCloseAreKeptForTheNextOpen) {
    VirtualLine line;
    CSTBLLib lib;
    ASSERT_EQ(SUCCESS, lib.COM_Close());
    ASSERT_EQ(nullptr, lib.pCom);
    EXPECT_EQ(SUCCESS, lib.STBL_SetEcho(2));
    ASSERT_NE(nullptr, lib.pCom);
    EXPECT_EQ(SUCCESS, lib.COM_Close());
    EXPECT_EQ(SUCCESS, lib.STBL_SetFlowControl(true));
    EXPECT_EQ(SUCCESS, lib.STBL_SetEcho(1));
    ASSERT_EQ(SUCCESS, Settings(lib, line.slavePath(), 115200, 8, 2, 1.0f));
    ASSERT_EQ(SUCCESS, lib.COM_Open());
    EXPECT_EQ(1, lib.pCom->echoMode);
    EXPECT_TRUE(lib.pCom->flowControl);
    EXPECT_EQ(SUCCESS, lib.STBL_SetEcho(0)); // on an open port: the next transfer
    EXPECT_EQ(0, lib.pCom->echoMode);
}

TEST(StblPort, PacketSizeAndSpeed) {
    BootTarget t;
    ASSERT_EQ(SUCCESS, t.connect());
    unsigned char size = 0;
    EXPECT_EQ(SUCCESS, t.lib.SetPaketSize(130));
    EXPECT_EQ(128u, MAX_DATA_SIZE);
    EXPECT_EQ(SUCCESS, t.lib.SetPaketSize(255));
    EXPECT_EQ(SUCCESS, t.lib.GetPaketSize(&size));
    EXPECT_EQ(252, size);
    // Below 4 the size would be 0: refused, the size kept.
    EXPECT_EQ(INPUT_PARAMS_ERROR, t.lib.SetPaketSize(3));
    EXPECT_EQ(252u, MAX_DATA_SIZE);
    EXPECT_EQ(SUCCESS, t.lib.SetPaketSize(4));
    EXPECT_EQ(4u, MAX_DATA_SIZE);
    EXPECT_EQ(INPUT_PARAMS_MEMORY_ALLOCATION_ERROR, t.lib.GetPaketSize(nullptr));
    t.boot.clearLog();
    EXPECT_EQ(CMD_NOT_ALLOWED, t.lib.STBL_SetSpeed(57600));
    EXPECT_EQ(0x79, t.lib.GetAckValue());
    usleep(50 * 1000);
    EXPECT_TRUE(t.boot.received().empty());
}
