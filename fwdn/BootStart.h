// The download layer's port open and start of the ROM bootloader, used by every
// bootloader-road action: a fresh synchronisation as STBL_Init_BL makes it,
// or a bootloader still running from the last action (it takes a 0x7F as a
// command byte and NACKs it), found with at most two sync bytes; and the
// start repeated until the unit answers (--wait).
#ifndef KV_FWDN_BOOTSTART_H
#define KV_FWDN_BOOTSTART_H

#include "stbl/STBLLib.h"

// Sets the ROM bootloader's line (115200 baud, 8 data bits, even parity,
// one stop bit) and opens `port`; false when it cannot be opened.
bool OpenBootPort(CSTBLLib& lib, char* port);

enum BootStart {
    BOOT_STARTED, // a fresh synchronisation
    BOOT_RUNNING, // already synchronised; the dialect is set from its NACK
    BOOT_SILENT,  // no answer, or one that is no bootloader's
};

BootStart StartRomBootloader(CSTBLLib& lib);

// StartRomBootloader and STBL_GET: true when both succeeded. A running
// bootloader whose Get fails was a wrong guess: false, as for a failed start,
// with *startFailed set (a fresh start whose Get fails leaves it false).
// Notes the running bootloader for `port`.
bool StartAndGet(CSTBLLib& lib, const char* port, unsigned char* version, Commands* commands,
                 bool* startFailed);

// StartAndGet, repeated for up to GetBootSettings().waitSeconds seconds while
// the start fails (the first failure is noted with the wait). The first
// start only when no wait was asked for.
bool StartAndGetWaiting(CSTBLLib& lib, const char* port, unsigned char* version, Commands* commands,
                        bool* startFailed);

#endif
