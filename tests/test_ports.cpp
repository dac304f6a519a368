// `kvfwdn ports` on a made-up sysfs: which ttys are serial ports, the console
// mark, and that no terminal device is opened on the way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/RunTool.h"
#include "support/ScratchDir.h"

using nlohmann::json;

namespace {

void Put(const std::string& path, const std::string& text) {
    std::string folder = path.substr(0, path.rfind('/'));
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    std::ofstream(path) << text;
}

// A tree with the console on ttyS0: ttyS0 a UART, ttyS1 a placeholder,
// ttyUSB0 an adapter, tty1 a virtual console.
std::string FakeSysfs(const ScratchDir& dir) {
    const std::string& folder = dir.path();
    if (folder.empty())
        return "";
    std::string tty = std::string(folder) + "/class/tty/";
    Put(tty + "ttyS0/type", "4\n");
    Put(tty + "ttyS1/type", "0\n");
    Put(tty + "tty1/dev", "4:1\n");
    Put(tty + "console/active", "tty1 ttyS0\n");
    Put(folder + "/bus/usb-serial/drivers/ftdi_sio/bind", "");
    Put(tty + "ttyUSB0/device/dev", "188:0\n");
    EXPECT_EQ(symlink("../../../../bus/usb-serial/drivers/ftdi_sio",
                      (tty + "ttyUSB0/device/driver").c_str()),
              0);
    return folder;
}

ToolRun Ports(const std::string& sysfs, bool asJson) {
    setenv("KVFWDN_SYSFS", sysfs.c_str(), 1);
    setenv("LD_PRELOAD", KV_NO_TTY_OPEN, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
    ToolRun run = asJson ? RunToolArgs({"ports", "--json"}) : RunToolArgs({"ports"});
    unsetenv("LD_PRELOAD");
    unsetenv("KVFWDN_SYSFS");
    return run;
}

} // namespace

TEST(Ports, FromSysfsWithTheConsoleMarkedAndNothingOpened) {
    ScratchDir dir;
    std::string sysfs = FakeSysfs(dir);
    ASSERT_FALSE(sysfs.empty());
    ToolRun text = Ports(sysfs, false);
    EXPECT_EQ(text.exitCode, 0) << text.errors;
    EXPECT_EQ(text.output, "/dev/ttyS0  console\n/dev/ttyUSB0  ftdi_sio\n");

    ToolRun list = Ports(sysfs, true);
    EXPECT_EQ(list.exitCode, 0) << list.errors;
    EXPECT_EQ(json::parse(list.output, nullptr, false),
              json::parse(R"([{"path":"/dev/ttyS0","by_id":null,"driver":null,
                 "description":null,"console":true},{"path":"/dev/ttyUSB0","by_id":null,
                 "driver":"ftdi_sio","description":null,"console":false}])"));

    // The real machine's ports, with the interposer in place: it must not
    // end the run, and does end one that opens a tty.
    ToolRun real = Ports("", true);
    EXPECT_EQ(real.exitCode, 0) << real.errors;
    setenv("LD_PRELOAD", KV_NO_TTY_OPEN, 1);
    int opened = system("exec 2>/dev/null; : </dev/tty0; : </dev/tty");
    unsetenv("LD_PRELOAD");
    EXPECT_TRUE(WIFEXITED(opened) && WEXITSTATUS(opened) == 86) << opened;
}
