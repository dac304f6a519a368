// Helpers shared by the dispenser tests: firmware images and the loader road.
#ifndef KV_TESTS_TEST_CDU_UTIL_H
#define KV_TESTS_TEST_CDU_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "cdu/CduFwDn.h"
#include "support/ScratchDir.h"

// A firmware image of `size` bytes of a varied pattern (no "CDU", no
// "ARVO"), with `text` placed at `at` when given.
inline std::vector<unsigned char> Firmware(size_t size, const std::string& text = "",
                                           size_t at = 0) {
    std::vector<unsigned char> image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0x7F) | 0x80;
    for (size_t i = 0; i < text.size() && at + i < size; ++i)
        image[at + i] = static_cast<unsigned char>(text[i]);
    return image;
}

// A printer firmware image: Firmware(size) behind the vector table of an
// application at the flash start (stack 0x20005000, reset 0x08000009).
inline std::vector<unsigned char> PrinterFirmware(size_t size) {
    std::vector<unsigned char> image = Firmware(size);
    const unsigned char vectors[8] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x00, 0x00, 0x08};
    for (size_t i = 0; i < 8 && i < size; ++i)
        image[i] = vectors[i];
    return image;
}

// What the downloader pushes to the ROM of the loader-road model: the loader
// image padded to 4096 bytes, byte 21 set to 0x02 for the ARVO variant.
inline std::vector<unsigned char> LoaderPush(bool patched) {
    std::vector<unsigned char> push(gszCduLoaderImage, gszCduLoaderImage + 2472);
    push.resize(4096, 0);
    if (patched)
        push[21] = 0x02;
    return push;
}

// The opens of the line on the loader road: the probe at 115200, the push
// at `pushBaud`, then the wait for '~', the handshake and the transfer at
// 115200. The probe lasts only some 10 ms, so on a loaded machine the
// loader may see that open without its speed (0); every other speed must
// be right.
inline std::vector<int> LoaderRoadOpens(std::vector<int> seen) {
    if (!seen.empty() && seen[0] == 0)
        seen[0] = 115200;
    return seen;
}

inline std::vector<int> ExpectedLoaderRoadOpens(int pushBaud) {
    return {115200, pushBaud, 115200, 115200, 115200};
}

#endif
