#include "fwdn/BootloaderDownload.h"
#include "serial/ConsoleSink.h"

#include <cstdio>
#include <cstring>

#include "fwdn/DnResult.h"
#include "fwdn/FirmwareImage.h"
#include "serial/rs232.h"
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

// How a status of the bootloader client failed.
FailHow HowOf(unsigned char status) {
    return (status == CMD_NOT_ALLOWED || status == CMD_FAIL) ? FAIL_REFUSED : FAIL_SILENT;
}

// Tells the sink which step failed with `status`, and how and where.
void ReportStep(const CSTBLLib& lib, FailStep step, unsigned char status) {
    StepFailure f = {lib.pCom->portName, step, HowOf(status), false, 0, 0, 0, lib.failure.part};
    if (step == STEP_START && status == UNREOGNIZED_DEVICE) {
        f.how = FAIL_OTHER_BYTE;
        f.value = ACK;
    } else if (step == STEP_GET && status == READ_FAIL && lib.failure.announced > 0) {
        f.how = FAIL_SHORT_LIST;
        f.value = lib.failure.listed;
        f.expected = lib.failure.announced;
    } else if (step == STEP_WRITE || step == STEP_VERIFY) {
        f.hasAddress = true;
        f.address = lib.failure.address;
        if (step == STEP_VERIFY && lib.failure.differs)
            f.how = FAIL_DIFFERS;
    }
    SinkStepFailed(f);
}

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
    if (again != SUCCESS)
        ReportStep(lib, STEP_UNPROTECT, again);
    return again == SUCCESS;
}

// The steps after the port is open; the caller closes it.
int RunSteps(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
             unsigned long blocks, const BootDownloadOptions& options) {
    unsigned char status = lib.STBL_Init_BL();
    if (status != SUCCESS) {
        ReportStep(lib, STEP_START, status);
        return DN_NO_RESPONSE;
    }
    unsigned char version = 0;
    Commands commands;
    memset(&commands, 0, sizeof commands);
    if ((status = lib.STBL_GET(&version, &commands)) != SUCCESS) {
        ReportStep(lib, STEP_GET, status);
        if (options.reportGetFail) {
            if (lib.COM_is_Open())
                lib.COM_Close();
            SinkGetFail(port);
        }
        return DN_NO_RESPONSE;
    }
    if (!commands.bRead || !commands.bWrite || !commands.bErase) {
        if (!Unprotect(lib, &version, &commands))
            return DN_NO_RESPONSE;
    }
    SinkProgress({PHASE_ERASE, 0, 0, size, true});
    status = lib.STBL_ERASE(ERASE_ALL, nullptr);
    SinkProgressEnd(PHASE_ERASE);
    if (status != SUCCESS) {
        ReportStep(lib, STEP_ERASE, status);
        return DN_DOWNLOAD_FAIL;
    }
    lib.SetActivityTime(blocks);
    if ((status = lib.STBL_DNLOAD(FLASH_START, image, size, 0)) != SUCCESS) {
        ReportStep(lib, STEP_WRITE, status);
        return DN_DOWNLOAD_FAIL;
    }
    lib.SetActivityTime(blocks);
    if ((status = lib.STBL_VERIFY(FLASH_START, image, size, 0)) != SUCCESS) {
        ReportStep(lib, STEP_VERIFY, status);
        return DN_VERIFY_FAIL;
    }
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
