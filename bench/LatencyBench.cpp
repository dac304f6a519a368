// Latency benchmark, run by hand: a whole bootloader-road download (erase,
// write, read-back verify) through the download layer, on a line whose every
// reply is held back as a USB serial adapter holds it (1 ms with low-latency
// mode, 16 ms without), for 64 KiB and 256 KiB images in packets of 128
// and of 256 bytes. Prints one Markdown table row per case.
//
//   kv_bench_latency              all eight cases (several minutes)
//   kv_bench_latency 1            the 1 ms cases only
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fwdn/BootNotes.h"
#include "fwdn/BootloaderDownload.h"
#include "fwdn/DnResult.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"

namespace {

struct Case {
    int delayMs;
    unsigned long size;
    int packet;
};

// Seconds for one download of `size` bytes; negative when it failed.
double Run(const Case& c, int* exchanges) {
    VirtualLine line;
    BootloaderConfig cfg;
    cfg.flashSize = 512 * 1024;
    cfg.replyDelayMs = c.delayMs;
    VirtualBootloader boot(line, cfg);
    boot.start();
    std::vector<unsigned char> image(c.size);
    for (unsigned long i = 0; i < c.size; ++i)
        image[i] = static_cast<unsigned char>(i * 31 + (i >> 9));
    BootSettings settings;
    settings.packetSize = c.packet;
    SetBootSettings(settings);
    CSTBLLib lib;
    std::string port = line.slavePath();
    int blocks = 0;
    auto t0 = std::chrono::steady_clock::now();
    int r = BootloaderDownload(lib, &port[0], image.data(), image.size(), &blocks,
                               BootDownloadOptions{false});
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    *exchanges = boot.exchangeCount(0x31) + boot.exchangeCount(0x11);
    return r == DN_OK && boot.memory(0x08000000, c.size) == image ? s : -1.0;
}

} // namespace

// No renderer is installed: the download layer's bars and lines are dropped.
int main(int argc, char** argv) {
    int only = argc > 1 ? atoi(argv[1]) : 0;
    printf("| reply delay | image | packet | exchanges (write + read) | seconds |\n");
    printf("|---|---|---|---|---|\n");
    for (int delay : {1, 16}) {
        if (only != 0 && delay != only)
            continue;
        for (unsigned long kib : {64ul, 256ul}) {
            for (int packet : {128, 256}) {
                int exchanges = 0;
                double s = Run({delay, kib * 1024, packet}, &exchanges);
                printf("| %d ms | %lu KiB | %d | %d | %.1f |\n", delay, kib, packet, exchanges, s);
                fflush(stdout);
            }
        }
    }
    return 0;
}
