#include "fwdn/BootloaderDownload.h"
#include "serial/ConsoleSink.h"

#include <cstdio>
#include <cstring>

#include "fwdn/DnResult.h"
#include "fwdn/FirmwareImage.h"
#include "serial/RunState.h"

namespace {

const unsigned long FLASH_START = kFlashBase;
const int PACKET_SIZE = 128;
const unsigned short ERASE_ALL = 0xFFFF;

// The ROM bootloader's line: 115200 baud, 8 data bits, even parity (2), one
// stop bit.
struct BootLine {
    long baud;
    int dataBits, parity;
    float stopBits;
};
const BootLine BOOT_LINE = {115200, 8, 2, 1.0f};

// Reads the command list again after the protections were lifted (the
// target resets on each unprotect).
bool Unprotect(CSTBLLib& lib, unsigned char* version, Commands* commands) {
    if (!commands->bRead)
        lib.STBL_READOUT_PERM_UNPROTECT();
    if (!commands->bWrite || !commands->bErase)
        lib.STBL_WRITE_PERM_UNPROTECT();
    unsigned char again = lib.STBL_Init_BL();
    if (again == SUCCESS)
        again = lib.STBL_GET(version, commands);
    return again == SUCCESS;
}

// The steps after the port is open; the caller closes it.
int RunSteps(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
             unsigned long blocks, const BootDownloadOptions& options) {
    if (lib.STBL_Init_BL() != SUCCESS)
        return DN_NO_RESPONSE;
    unsigned char version = 0;
    Commands commands;
    memset(&commands, 0, sizeof commands);
    if (lib.STBL_GET(&version, &commands) != SUCCESS) {
        if (options.reportGetFail) {
            if (lib.COM_is_Open())
                lib.COM_Close();
            ConsolePrintf(" STBL_GET Fail : %s\n", port);
        }
        return DN_NO_RESPONSE;
    }
    if (!commands.bRead || !commands.bWrite || !commands.bErase) {
        if (!Unprotect(lib, &version, &commands))
            return DN_NO_RESPONSE;
    }
    if (lib.STBL_ERASE(ERASE_ALL, nullptr) != SUCCESS)
        return DN_DOWNLOAD_FAIL;
    lib.SetActivityTime(blocks);
    if (lib.STBL_DNLOAD(FLASH_START, image, size, 0) != SUCCESS)
        return DN_DOWNLOAD_FAIL;
    lib.SetActivityTime(blocks);
    if (lib.STBL_VERIFY(FLASH_START, image, size, 0) != SUCCESS)
        return DN_VERIFY_FAIL;
    return DN_OK;
}

} // namespace

int BootloaderDownload(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
                       int* pBlockCount, const BootDownloadOptions& options) {
    lib.SetCOMSettings(port, BOOT_LINE.baud, BOOT_LINE.dataBits, BOOT_LINE.parity,
                       BOOT_LINE.stopBits);
    unsigned char opened = lib.COM_Open();
    if (opened != SUCCESS && opened != COM_ALREADY_OPENED)
        return DN_PORT_OPEN_FAIL;
    DownloadRunningScope running;
    unsigned long blocks = size / PACKET_SIZE + (size % PACKET_SIZE != 0 ? 1 : 0);
    *pBlockCount = static_cast<int>(blocks);
    lib.SetPaketSize(PACKET_SIZE);
    int result = RunSteps(lib, port, image, size, blocks, options);
    if (lib.COM_is_Open())
        lib.COM_Close();
    return result;
}
