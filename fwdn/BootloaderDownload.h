// The download through the ROM bootloader, shared by both downloaders.
#ifndef KV_FWDN_BOOTLOADERDOWNLOAD_H
#define KV_FWDN_BOOTLOADERDOWNLOAD_H

#include "stbl/STBLLib.h"

// Where the two devices' downloads differ.
struct BootDownloadOptions {
    // Print " STBL_GET Fail : PORT" when the command list cannot be read
    // right after the bootloader starts (the printer downloader does).
    bool reportGetFail;
};

// Opens `port` at 115200 8E1, starts the ROM bootloader, lifts the read and
// write protections when its command list lacks Read, Write or Erase, erases
// the whole flash, writes the image from the flash start and reads it back,
// and closes the port. *pBlockCount gets the image's packet count once the
// port is open. Returns a DN_ code.
int BootloaderDownload(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
                       int* pBlockCount, const BootDownloadOptions& options);

#endif
