// The bootloader road's questions about the device that write nothing:
// probe (what the ROM bootloader is: version, dialect, commands, product ID,
// read-out protection) and verify (does the flash hold an image). Neither
// erases or lifts a protection.
#ifndef KV_FWDN_BOOTINSPECT_H
#define KV_FWDN_BOOTINSPECT_H

#include <string>
#include <vector>

#include "stbl/STBLLib.h"

enum Tristate { TRI_UNKNOWN = -1, TRI_NO = 0, TRI_YES = 1 };

struct ProbeFacts {
    unsigned char version = 0;            // 0x31 is "3.1"
    int dialect = 0;                      // 0x79 or 0x75
    bool hasCommands = false;             // the 0x75 dialect lists none
    std::vector<unsigned char> commands;  // the command codes Get listed
    std::vector<unsigned char> productId; // empty when Get ID is not listed or fails
    Tristate readProtected = TRI_UNKNOWN; // unknown when the Read got no answer
};

// Opens `port` at the ROM bootloader's line settings, starts the bootloader
// (StartAndGetWaiting), asks Get, Get ID and one 4-byte Read at the flash
// start, and closes the port. DN_OK, DN_NO_RESPONSE or DN_PORT_OPEN_FAIL.
int ProbeBootloader(CSTBLLib& lib, char* port, ProbeFacts* facts);

enum VerifyOutcome {
    VERIFY_EQUAL,
    VERIFY_DIFFERS,   // firstDifference is set
    VERIFY_PROTECTED, // the flash cannot be read back without lifting the protection
    VERIFY_NO_ANSWER,
    VERIFY_PORT_FAIL,
};

// Opens `port`, starts the bootloader and compares the flash from its start
// with the `size` bytes of `image` in packets of GetBootSettings().packetSize.
VerifyOutcome VerifyFlash(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
                          unsigned long* firstDifference);

// The command codes the flags of `commands` stand for, in the Get list's order.
std::vector<unsigned char> CommandCodes(const Commands& commands);

#endif
