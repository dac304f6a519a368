// CKvRPUFwDn in-process: packet count, the port closed after every
// operation, and firmware paths that are not plain readable files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "rpu/RPUCom.h"
#include "rpu/RpuFwDn.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "sim/VirtualPrinter.h"
#include "fwdn/FirmwareImage.h"
#include "support/BootTarget.h"

// The allocation-failure test needs a failed allocation to come back as a
// null pointer under the address sanitizer too.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

class TempFile {
  public:
    explicit TempFile(size_t size) {
        char pattern[] = "/tmp/kv_rpu_fw_XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0)
            return;
        path_ = pattern;
        std::vector<unsigned char> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 7 + 3);
        if (size > 0 && write(fd, bytes.data(), size) != static_cast<ssize_t>(size))
            path_.clear();
        close(fd);
    }
    ~TempFile() {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    std::string path_;
};

void UsePort(CKvRPUFwDn* downloader, const std::string& port) {
    snprintf(downloader->szPortName, sizeof(downloader->szPortName), "%s", port.c_str());
}

int Download(CKvRPUFwDn* downloader, const std::string& path) {
    std::vector<char> copy(path.begin(), path.end());
    copy.push_back('\0');
    StdoutGrab quiet; // progress bars and messages are tested end to end
    return downloader->FirmwareDownload(copy.data());
}

} // namespace

// 1000 bytes: seven full packets and one of 104 bytes; 1024: eight; 1025:
// eight and one. The port is closed after each download.
TEST(RpuFwDn, PacketCountAndPortClosedAfterSuccess) {
    const size_t sizes[] = {1000, 1024, 1025};
    const int counts[] = {8, 8, 9};
    for (int i = 0; i < 3; ++i) {
        TempFile image(sizes[i]);
        ASSERT_FALSE(image.path_.empty());
        VirtualLine line;
        VirtualBootloader boot(line, BootloaderConfig());
        boot.start();
        CKvRPUFwDn downloader;
        UsePort(&downloader, line.slavePath());
        EXPECT_EQ(Download(&downloader, image.path_), DN_OK) << sizes[i];
        EXPECT_EQ(downloader.iBlockCount, counts[i]) << sizes[i];
        EXPECT_FALSE(downloader.stblLib.COM_is_Open());
        EXPECT_STREQ(downloader.szFilePath, image.path_.c_str());
        // Written packets: every full one and the partial one.
        EXPECT_EQ(boot.exchangeCount(0x31), counts[i]) << sizes[i];
    }
}

TEST(RpuFwDn, PortClosedAfterEveryFailure) {
    TempFile image(600); // four full packets and one of 88 bytes
    struct Case {
        unsigned char cmd; // exchange refused at `step`; 0xFF: corrupt the second read
        int step;
        int expected;
    } cases[] = {{0x00, 0, DN_NO_RESPONSE},
                 {0x43, 1, DN_DOWNLOAD_FAIL},
                 {0x31, 2, DN_DOWNLOAD_FAIL},
                 {0x11, 0, DN_DOWNLOAD_FAIL}, // the partial packet's read before its write
                 {0xFF, 0, DN_VERIFY_FAIL}};
    for (const Case& c : cases) {
        BootloaderConfig config;
        if (c.cmd == 0xFF) {
            config.corruptReadPacket = 1;
        } else {
            config.faults.push_back(MakeFault(c.cmd, -1, c.step));
        }
        VirtualLine line;
        VirtualBootloader boot(line, config);
        boot.start();
        CKvRPUFwDn downloader;
        UsePort(&downloader, line.slavePath());
        EXPECT_EQ(Download(&downloader, image.path_), c.expected) << int(c.cmd);
        EXPECT_FALSE(downloader.stblLib.COM_is_Open()) << int(c.cmd);
        EXPECT_EQ(downloader.iBlockCount, 5);
    }
}

// Neither a FIFO without a writer, nor a device, nor a file whose size the
// seek cannot tell may hold the download or size a buffer.
TEST(RpuFwDn, PathsThatAreNotPlainFilesAreUnreadable) {
    char dir[] = "/tmp/kv_rpu_fifo_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/fw.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    CKvRPUFwDn downloader;
    UsePort(&downloader, "/dev/kvfwdn-no-such-port");
    EXPECT_EQ(Download(&downloader, fifo), DN_FILE_READ_FAIL);
    EXPECT_EQ(Download(&downloader, "/dev/null"), DN_FILE_READ_FAIL);
    EXPECT_EQ(Download(&downloader, dir), DN_FILE_READ_FAIL);
    // A regular file whose end the seek reports as 0 although it has content.
    EXPECT_EQ(Download(&downloader, "/proc/self/status"), DN_FILE_READ_FAIL);
    EXPECT_EQ(Download(&downloader, std::string(dir) + "/missing.bin"), DN_FILE_NOT_FOUND);
    EXPECT_EQ(downloader.iBlockCount, 0);
    EXPECT_FALSE(downloader.stblLib.COM_is_Open());
    unlink(fifo.c_str());
    rmdir(dir);
}

// An image beyond what the bootloader's 32-bit addresses can reach from the
// flash start is refused before anything is allocated.
TEST(RpuFwDn, ImageLargerThanTheAddressRangeIsUnreadable) {
    TempFile image(0);
    int fd = open(image.path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    int resized = ftruncate(fd, static_cast<off_t>(5) << 30); // sparse, 5 GiB
    close(fd);
    if (resized != 0)
        GTEST_SKIP() << "the file system refuses a 5 GiB sparse file";
    CKvRPUFwDn downloader;
    UsePort(&downloader, "/dev/kvfwdn-no-such-port");
    EXPECT_EQ(Download(&downloader, image.path_), DN_FILE_READ_FAIL);
}

// An image that cannot be allocated gives DN_FILE_READ_FAIL, nothing throws.
// Run in a child whose address space is capped just above what it uses.
TEST(RpuFwDn, ImageTooLargeToAllocateIsUnreadable) {
    TempFile image(0);
    int fd = open(image.path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    // Sparse, the largest image taken: a larger one is refused unread.
    ASSERT_EQ(0, ftruncate(fd, kMaxFirmwareImageSize));
    close(fd);

    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Current size of the address space, from /proc/self/statm (pages).
        unsigned long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1)
            _exit(90);
        fclose(statm);
        rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        struct rlimit limit = {used + (1u << 20), used + (1u << 20)};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(91);
        CKvRPUFwDn downloader;
        UsePort(&downloader, "/dev/kvfwdn-no-such-port");
        std::vector<char> path(image.path_.begin(), image.path_.end());
        path.push_back('\0');
        int result = downloader.FirmwareDownload(path.data());
        _exit(result == DN_FILE_READ_FAIL ? 0 : 100 - result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died: " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Every attempt of the version query leaves the printer port closed; the
// rate that answered is kept.
TEST(RpuFwDn, VersionQueryClosesThePort) {
    VirtualLine line;
    VirtualPrinter printer(line);
    printer.start();
    CKvRPUFwDn downloader;
    UsePort(&downloader, line.slavePath());
    char version[50] = {0};
    char crc[10] = {0};
    {
        StdoutGrab quiet;
        EXPECT_EQ(downloader.GetVersionInfo(version, crc), 0);
    }
    EXPECT_STREQ(version, "V1.23");
    EXPECT_STREQ(crc, "0AB3");
    EXPECT_EQ(downloader.iBaudRate, 115200);
    EXPECT_EQ(ghRpuHandle, 0);

    UsePort(&downloader, "/dev/kvfwdn-no-such-port");
    StdoutGrab grab;
    EXPECT_EQ(downloader.GetVersionInfo(version, crc), -4);
    EXPECT_EQ(grab.stop(), "\n /dev/kvfwdn-no-such-port Open Fail\n");
    EXPECT_EQ(ghRpuHandle, 0);
}
