// EachPacket, DownloadPackets, VerifyPackets: a whole image in packets of one
// size, for the 128-byte (STBL_READ/STBL_WRITE) and 256-byte (block) ways.
#ifndef KV_STBL_STBLPACKETS_H
#define KV_STBL_STBLPACKETS_H

#include <cstdlib>
#include <cstring>

#include "serial/ConsoleSink.h"
#include "stbl/STBLLib.h"

// How packets of one size go on the line: `read` and `write` move `n` bytes
// (n at most `packet`, or a remainder raised to a multiple of 4) at `address`.
struct PacketWay {
    unsigned long packet;
    bool sendable; // false for a packet size the requests cannot carry
    unsigned char (*read)(CSTBLLib* lib, unsigned long address, unsigned long n,
                          unsigned char* buffer);
    unsigned char (*write)(CSTBLLib* lib, unsigned long address, unsigned long n,
                           unsigned char* data);
};

// Goes through `size` bytes in packets of `packet`, the remainder last:
// step(offset, length, buffer) with a work buffer of packet + 4 bytes filled
// with 0xFF. After each packet the progress count goes up and, when the
// transfer has a phase (`phase` not null), its progress is reported (to be
// redrawn over after a full packet); a transfer that ends well ends the
// phase. The first status that is not SUCCESS ends the transfer, with the
// packet's address kept in `failure` (a step may put a more precise one there).
template <typename Step>
unsigned char EachPacket(CSTBLLib* lib, unsigned long packet, unsigned long address,
                         unsigned long size, const ProgressPhase* phase, Step step) {
    unsigned char* buffer = static_cast<unsigned char*>(malloc(packet + 4));
    if (buffer == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    for (unsigned long offset = 0; offset < size; offset += packet) {
        unsigned long n = size - offset < packet ? size - offset : packet;
        memset(buffer, 0xFF, packet + 4);
        lib->failure.address = address + offset;
        unsigned char status = step(offset, n, buffer);
        if (status != SUCCESS) {
            free(buffer);
            return status;
        }
        lib->progressCount++;
        if (phase != nullptr) {
            unsigned char percent = 0;
            lib->GetProgress(&percent);
            SinkProgress({*phase, percent, offset + n, size, n == packet});
        }
    }
    if (phase != nullptr)
        SinkProgressEnd(*phase);
    free(buffer);
    return SUCCESS;
}

// The checks every bulk operation makes before it touches the line: the
// port, the target's `flag` for the command, the image, the packet size.
unsigned char PacketPreconditions(CSTBLLib* lib, const PacketWay& way, unsigned char flag,
                                  const unsigned char* image, unsigned long size);

// Writes the image, a remainder raised to a multiple of 4 over what the
// target already holds; with `optimize`, blank (0xFF) packets are skipped.
unsigned char DownloadPackets(CSTBLLib* lib, const PacketWay& way, unsigned char flag,
                              unsigned long address, const unsigned char* image, unsigned long size,
                              bool optimize);

// Reads the image back and compares it; the first differing byte is kept in
// `failure`. With `optimize`, blank packets are not read.
unsigned char VerifyPackets(CSTBLLib* lib, const PacketWay& way, unsigned char flag,
                            unsigned long address, const unsigned char* image, unsigned long size,
                            bool optimize);

#endif
