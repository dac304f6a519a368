#include "fwdn/BootloaderDownload.h"
#include "serial/ConsoleSink.h"

#include <cstdio>
#include <cstring>

#include "fwdn/BootNotes.h"
#include "fwdn/BootReadBack.h"
#include "fwdn/BootStart.h"
#include "fwdn/DnResult.h"
#include "fwdn/FirmwareImage.h"
#include "serial/rs232.h"
#include "serial/RunState.h"

namespace {

const unsigned long FLASH_START = kFlashBase;
const int PACKET_SIZE = 128;
const unsigned short ERASE_ALL = 0xFFFF;

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

// The image written and read back in packets of 128 bytes, as the menus do,
// or of 256.
unsigned char WriteImage(CSTBLLib& lib, unsigned long address, const unsigned char* image,
                         unsigned long size, int packet) {
    if (packet == 256)
        return lib.STBL_DNLOAD_WIDE(address, image, size);
    return lib.STBL_DNLOAD(address, image, size, 0);
}

unsigned char VerifyImage(CSTBLLib& lib, unsigned long address, const unsigned char* image,
                          unsigned long size, int packet) {
    if (packet == 256)
        return lib.STBL_VERIFY_WIDE(address, image, size);
    return lib.STBL_VERIFY(address, image, size, 0);
}

// Lifts the protections the command list calls for and reads the list
// again (the target resets on each unprotect; its start follows the same
// rule as the first one, without the note).
bool Unprotect(CSTBLLib& lib, const char* port, unsigned char* version, Commands* commands) {
    BootOutcome& outcome = LastBootOutcome();
    if (!commands->bRead) {
        ReportBootNote(BOOT_NOTE_LIFT_READ, port);
        outcome.liftedRead = true;
    }
    if (!commands->bWrite || !commands->bErase) {
        ReportBootNote(BOOT_NOTE_LIFT_WRITE, port);
        outcome.liftedWrite = true;
    }
    if (!commands->bRead)
        lib.STBL_READOUT_PERM_UNPROTECT();
    if (!commands->bWrite || !commands->bErase)
        lib.STBL_WRITE_PERM_UNPROTECT();
    bool startFailed = false;
    if (StartAndGet(lib, nullptr, version, commands, &startFailed))
        return true;
    ReportStep(lib, STEP_UNPROTECT, LastBootOutcome().failedStatus);
    return false;
}

// Whether the flash already holds the image (--skip-identical); a flash
// that cannot be read back does not.
bool AlreadyHeld(CSTBLLib& lib, const Commands& commands, const unsigned char* image,
                 unsigned long size) {
    if (!GetBootSettings().skipIdentical)
        return false;
    unsigned long first = 0;
    return CompareFlash(lib, commands, image, size, GetBootSettings().packetSize, &first) ==
           READBACK_EQUAL;
}

// The steps after the port is open; the caller closes it.
int RunSteps(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
             unsigned long blocks, const BootDownloadOptions& options) {
    unsigned char version = 0;
    Commands commands;
    memset(&commands, 0, sizeof commands);
    bool startFailed = false;
    if (!StartAndGetWaiting(lib, port, &version, &commands, &startFailed)) {
        // A running bootloader whose Get fails was a wrong guess: a failed start.
        ReportStep(lib, startFailed ? STEP_START : STEP_GET, LastBootOutcome().failedStatus);
        if (!startFailed && options.reportGetFail) {
            if (lib.COM_is_Open())
                lib.COM_Close();
            SinkGetFail(port);
        }
        return DN_NO_RESPONSE;
    }
    if (AlreadyHeld(lib, commands, image, size)) {
        LastBootOutcome().skipped = true;
        return DN_OK;
    }
    if (!commands.bRead || !commands.bWrite || !commands.bErase) {
        if (!Unprotect(lib, port, &version, &commands))
            return DN_NO_RESPONSE;
    }
    SinkProgress({PHASE_ERASE, 0, 0, size, true});
    unsigned char status = lib.STBL_ERASE(ERASE_ALL, nullptr);
    SinkProgressEnd(PHASE_ERASE);
    if (status != SUCCESS) {
        ReportStep(lib, STEP_ERASE, status);
        return DN_DOWNLOAD_FAIL;
    }
    int packet = GetBootSettings().packetSize == 256 ? 256 : PACKET_SIZE;
    lib.SetActivityTime(blocks);
    if ((status = WriteImage(lib, FLASH_START, image, size, packet)) != SUCCESS) {
        ReportStep(lib, STEP_WRITE, status);
        return DN_DOWNLOAD_FAIL;
    }
    lib.SetActivityTime(blocks);
    if ((status = VerifyImage(lib, FLASH_START, image, size, packet)) != SUCCESS) {
        ReportStep(lib, STEP_VERIFY, status);
        return DN_VERIFY_FAIL;
    }
    return DN_OK;
}

} // namespace

int BootloaderDownload(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
                       int* pBlockCount, const BootDownloadOptions& options) {
    ClearBootOutcome();
    if (!OpenBootPort(lib, port))
        return DN_PORT_OPEN_FAIL;
    DownloadRunningScope running;
    unsigned long packet = GetBootSettings().packetSize == 256 ? 256 : PACKET_SIZE;
    unsigned long blocks = size / packet + (size % packet != 0 ? 1 : 0);
    *pBlockCount = static_cast<int>(blocks);
    lib.SetPaketSize(PACKET_SIZE);
    int result = RunSteps(lib, port, image, size, blocks, options);
    if (lib.COM_is_Open())
        lib.COM_Close();
    return result;
}
