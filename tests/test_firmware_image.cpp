// The firmware-file reader of both downloaders: an image larger than the
// largest flash of the MCU is refused before any port is opened, with the
// reason on standard error; one of exactly that size is read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "cdu/CduFwDn.h"
#include "rpu/RpuFwDn.h"
#include "sim/VirtualLine.h"
#include "fwdn/FirmwareImage.h"
#include "support/BootTarget.h"
#include "test_cdu_util.h"

namespace {

// A sparse file of `size` bytes (no disk space, no allocation), `tail`
// written at its end.
std::string SparseFile(const ScratchDir& dir, off_t size, const std::string& tail = "") {
    std::string path = dir.file("image" + std::to_string(size) + ".bin");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    bool ok = fd >= 0 && ftruncate(fd, size) == 0 &&
              pwrite(fd, tail.data(), tail.size(), size - static_cast<off_t>(tail.size())) ==
                  static_cast<ssize_t>(tail.size());
    if (fd >= 0)
        close(fd);
    return ok ? path : "";
}

template <typename Downloader> void UsePort(Downloader* dn, const VirtualLine& line) {
    snprintf(dn->szPortName, sizeof dn->szPortName, "%s", line.slavePath().c_str());
}

} // namespace

TEST(FirmwareImage, LargerThanTheFlashIsRefusedBeforeAnyPort) {
    ScratchDir dir;
    std::string path = SparseFile(dir, kMaxFirmwareImageSize + 1);
    ASSERT_FALSE(path.empty());
    VirtualLine line;
    int baudBefore = line.baud();
    CKvRPUFwDn rpu;
    CKvCDUFwDn cdu;
    UsePort(&rpu, line);
    UsePort(&cdu, line);
    char model[20] = "kept";
    unsigned char type = 7;

    StdoutGrab errors(STDERR_FILENO);
    {
        StdoutGrab quiet;
        EXPECT_EQ(DN_FILE_READ_FAIL, rpu.FirmwareDownload(&path[0]));
        EXPECT_EQ(DN_FILE_READ_FAIL, cdu.FirmwareDownload(0, &path[0]));
        EXPECT_EQ(DN_FILE_READ_FAIL, cdu.FirmwareDownload(1, &path[0]));
        EXPECT_EQ(-1, cdu.GetCDUTypeByFW(&path[0], model, &type));
    }
    std::string reason = "kvfwdn: " + path +
                         ": 2097153 bytes, larger than the largest flash of the MCU "
                         "(2097152 bytes)\n";
    EXPECT_EQ(reason + reason + reason + reason, errors.stop());
    // No open: the host would have set the line to 115200 baud.
    EXPECT_EQ(baudBefore, line.baud());
    EXPECT_STREQ("kept", model);
    EXPECT_EQ(0, type);
}

TEST(FirmwareImage, ExactlyTheFlashSizeIsRead) {
    ScratchDir dir;
    std::string path = SparseFile(dir, kMaxFirmwareImageSize, "CDU_0G2A09_");
    ASSERT_FALSE(path.empty());
    CKvCDUFwDn cdu;
    char model[20] = {0};
    unsigned char type = 7;
    EXPECT_EQ(0, cdu.GetCDUTypeByFW(&path[0], model, &type));
    EXPECT_STREQ("IMBRA", model);
    EXPECT_EQ(0, type);
}
