// Reading the flash back through the ROM bootloader and comparing it with an
// image, for verify, --skip-identical and probe: nothing is written.
#ifndef KV_FWDN_BOOTREADBACK_H
#define KV_FWDN_BOOTREADBACK_H

#include "stbl/STBLLib.h"

const unsigned long kFlashStart = 0x08000000;

enum ReadBack {
    READBACK_EQUAL,     // the flash holds the image
    READBACK_DIFFERS,   // *firstDifference is the first address that differs
    READBACK_PROTECTED, // Read is not listed, or the target refused it
    READBACK_FAILED,    // no answer, or a broken reply
};

// Reads `size` bytes from kFlashStart in packets of `packet` bytes (128 or
// 256) and compares them with `image`, stopping at the first difference.
ReadBack CompareFlash(CSTBLLib& lib, const Commands& commands, const unsigned char* image,
                      unsigned long size, int packet, unsigned long* firstDifference);

// One Read of `size` bytes (even, 2 to 256) at `address`; the status of the
// exchange.
unsigned char ReadFlashBlock(CSTBLLib& lib, unsigned long address, int size, unsigned char* buffer);

#endif
