// The in-memory download entry points and the dispenser classifier: the same
// results, texts and wire effects as for a file holding the same bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdu/CduFwDn.h"
#include "rpu/RpuFwDn.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLoader.h"
#include "support/BootTarget.h"
#include "test_cdu_util.h"

namespace {

struct Outcome {
    int result;
    int blocks;
    std::string out, err, path;
    std::vector<unsigned char> device; // flash or loader image afterwards
};

template <typename Dn, typename Call> Outcome RunDownload(Dn& dn, Call call) {
    StdoutGrab err(2);
    StdoutGrab out;
    int r = call();
    return {r, dn.iBlockCount, out.stop(), err.stop(), dn.szFilePath, {}};
}

void ExpectSame(const Outcome& file, const Outcome& mem) {
    EXPECT_EQ(file.result, mem.result);
    EXPECT_EQ(file.blocks, mem.blocks);
    EXPECT_EQ(file.out, mem.out);
    EXPECT_EQ(file.err, mem.err);
    EXPECT_EQ(file.path, mem.path);
    EXPECT_EQ(file.device, mem.device);
}

// One bootloader-road download of `bytes` by the printer (cdu false) or the
// dispenser on road 0, from the file `path` or from memory.
Outcome BootDownload(bool cdu, bool fromMemory, const std::string& path,
                     const std::vector<unsigned char>& bytes) {
    VirtualLine line;
    VirtualBootloader boot(line, BootloaderConfig());
    boot.start();
    std::string p = path;
    Outcome o;
    if (cdu) {
        CKvCDUFwDn dn;
        snprintf(dn.szPortName, sizeof dn.szPortName, "%s", line.slavePath().c_str());
        o = RunDownload(dn, [&] {
            return fromMemory ? dn.FirmwareDownloadImage(0, &p[0], bytes.data(), bytes.size())
                              : dn.FirmwareDownload(0, &p[0]);
        });
    } else {
        CKvRPUFwDn dn;
        snprintf(dn.szPortName, sizeof dn.szPortName, "%s", line.slavePath().c_str());
        o = RunDownload(dn, [&] {
            return fromMemory ? dn.FirmwareDownloadImage(&p[0], bytes.data(), bytes.size())
                              : dn.FirmwareDownload(&p[0]);
        });
    }
    o.device = boot.memory(0x08000000, static_cast<uint32_t>(bytes.size() + 8));
    return o;
}

} // namespace

TEST(FwdnImage, BootloaderRoadFromMemoryMatchesTheFileForBothDevices) {
    ScratchDir dir;
    for (size_t size : {size_t(0), size_t(1), size_t(300)}) {
        std::vector<unsigned char> bytes = Firmware(size, "CDU_0G2A09_", 0);
        std::string path = dir.write("fw" + std::to_string(size) + ".bin", bytes);
        for (bool cdu : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (cdu ? " dispenser" : " printer"));
            Outcome file = BootDownload(cdu, false, path, bytes);
            Outcome mem = BootDownload(cdu, true, path, bytes);
            ExpectSame(file, mem);
            EXPECT_EQ(size == 0 ? DN_FILE_READ_FAIL : DN_OK, mem.result);
            EXPECT_EQ(0u, mem.out.find(" Start firmware downloading.\n"));
        }
    }
}

TEST(FwdnImage, LoaderRoadFromMemorySendsTheSameBlocks) {
    ScratchDir dir;
    std::vector<unsigned char> bytes = Firmware(1500, "cdu7_17A100_ARVO", 100);
    std::string path = dir.write("fw.bin", bytes);
    Outcome got[2];
    for (int fromMemory = 0; fromMemory < 2; ++fromMemory) {
        VirtualLine line;
        LoaderConfig config;
        config.startDelayMs = 20;
        VirtualLoader loader(line, config);
        loader.start();
        CKvCDUFwDn dn;
        snprintf(dn.szPortName, sizeof dn.szPortName, "%s", line.slavePath().c_str());
        std::string p = path;
        got[fromMemory] = RunDownload(dn, [&] {
            return fromMemory ? dn.FirmwareDownloadImage(1, &p[0], bytes.data(), bytes.size())
                              : dn.FirmwareDownload(1, &p[0]);
        });
        got[fromMemory].device = loader.image();
        got[fromMemory].err.clear();         // the placeholder warning is given once a process
        EXPECT_EQ(38400, loader.pushBaud()); // the "ARVO" marker is seen in memory too
    }
    ExpectSame(got[0], got[1]);
    EXPECT_EQ(DN_OK, got[1].result);
    EXPECT_EQ(2048u, got[1].device.size());
}

TEST(FwdnImage, ClassifierAgreesWithTheFileAndReadsNoFurther) {
    ScratchDir dir;
    struct Case {
        std::vector<unsigned char> bytes;
        int result;
        const char* model;
        unsigned char type;
        const char* version;
    };
    std::vector<unsigned char> tail = Firmware(40, "cdu9_18BA00_", 28); // code ends the file
    std::vector<unsigned char> cut = Firmware(40, "cdu9_18BA00", 29);   // '_' would be byte 40
    const Case cases[] = {
        {Firmware(300, "CDU_0G2A09_", 40), 0, "IMBRA", 0, "0G2A09"},
        {Firmware(300, "cdu7_17A100_", 0), 0, "CIRN", 1, "17A100"},
        {tail, 0, "ARVO/BELK", 0, "18BA00"},
        {cut, -2, "", 0, ""},
        {Firmware(300), -2, "", 0, ""},
        {{}, -2, "", 0, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        std::string path = dir.write("c" + std::to_string(n++) + ".bin", c.bytes);
        CKvCDUFwDn dn;
        char fileModel[16] = "", model[16] = "", version[7] = "x";
        unsigned char fileType = 9, type = 9;
        StdoutGrab quiet(2);
        EXPECT_EQ(c.result, dn.GetCDUTypeByFW(&path[0], fileModel, &fileType));
        EXPECT_EQ(c.result,
                  ClassifyCduFirmware(c.bytes.data(), c.bytes.size(), model, &type, version));
        EXPECT_STREQ(c.model, model);
        EXPECT_STREQ(fileModel, model);
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(fileType, type);
        EXPECT_STREQ(c.version, version);
    }
    // Larger than the flash: refused like the file, nothing read.
    unsigned char type = 9;
    EXPECT_EQ(-1, ClassifyCduFirmware(tail.data(), 2UL * 1024 * 1024 + 1, nullptr, &type, nullptr));
    EXPECT_EQ(0, type);
}
