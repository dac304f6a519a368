// The placeholder key table and loader from data/: a build that carries
// them says so on standard error, once per file and run, before it first
// uses each, and the virtual devices still work with them.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "app/console/ConsoleRenderer.h"
#include "cdu/DeviceData.h"
#include "sim/VirtualDispenser.h"
#include "sim/VirtualLoader.h"
#include "support/ConsoleChild.h"
#include "support/Dialogue.h"
#include "test_cdu_util.h"

TEST(DeviceData, PlaceholderWarnedOncePerFileBeforeItsFirstUse) {
    if (!gbEncrypTablePlaceholder || !gbCduLoaderImagePlaceholder)
        GTEST_SKIP() << "built with real device data";
    VirtualLine online;
    VirtualDispenser dispenser(online);
    dispenser.start();
    VirtualLine boot;
    VirtualLoader loader(boot, LoaderConfig());
    loader.start();
    ScratchDir dir;
    std::string fw = dir.write("fw.bin", Firmware(1500, "CDU_0W1500_", 0));
    std::string errPath = dir.file("stderr.txt");
    // A fresh process: the warnings are once per run.
    ChildResult r = RunConsoleChild(
        "",
        [&]() {
            int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            close(fd);
            InstallConsoleRenderer();
            CKvCDUFwDn dn;
            snprintf(dn.szPortName, sizeof dn.szPortName, "%s", online.slavePath().c_str());
            char version[50] = {0};
            fputs("<queries>\n", stderr);
            int a = dn.GetVersionInfo(version);
            int b = dn.GetVersionInfo(version);
            snprintf(dn.szPortName, sizeof dn.szPortName, "%s", boot.slavePath().c_str());
            fputs("<download>\n", stderr);
            int c = dn.FirmwareDownload(1, &fw[0]);
            WarnIfPlaceholder(DATA_KEY_TABLE);
            WarnIfPlaceholder(DATA_LOADER);
            return (a == 0 && b == 0 && c == DN_OK) ? 0 : 1;
        },
        30000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(0, r.result) << r.output;
    std::ifstream in(errPath);
    std::stringstream err;
    err << in.rdbuf();
    EXPECT_EQ(std::string("<queries>\n") + dialogue::PLACEHOLDER_TABLE_WARNING + "<download>\n" +
                  dialogue::PLACEHOLDER_LOADER_WARNING,
              err.str());
    EXPECT_EQ(std::string::npos, r.output.find("warning"));
}
