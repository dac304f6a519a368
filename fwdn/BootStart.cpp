#include "fwdn/BootStart.h"

#include <cstring>

#include "fwdn/BootNotes.h"
#include "serial/Clock.h"

namespace {

const unsigned char NACK_79 = 0x1F;
const unsigned char NACK_75 = 0x3F;

// The NACK of either dialect, as STBL_Init_BL leaves it in ACK: the dialect
// it names is set.
bool RunningNack(CSTBLLib& lib, unsigned char status) {
    if (status != UNREOGNIZED_DEVICE)
        return false;
    if (ACK == NACK_79)
        return lib.STBL_SetDialect(0x79) == SUCCESS;
    if (ACK == NACK_75)
        return lib.STBL_SetDialect(0x75) == SUCCESS;
    return false;
}

} // namespace

bool OpenBootPort(CSTBLLib& lib, char* port) {
    lib.SetCOMSettings(port, 115200, 8, 2, 1.0f);
    unsigned char opened = lib.COM_Open();
    return opened == SUCCESS || opened == COM_ALREADY_OPENED;
}

BootStart StartRomBootloader(CSTBLLib& lib) {
    unsigned char status = lib.STBL_Init_BL();
    LastBootOutcome().failedStatus = status;
    if (status == SUCCESS)
        return BOOT_STARTED;
    if (RunningNack(lib, status))
        return BOOT_RUNNING;
    if (status != READ_FAIL)
        return BOOT_SILENT;
    // Silence: a synchronised, idle bootloader took the 0x7F as a command
    // byte and waits for its complement; the second 0x7F is a wrong one.
    status = lib.STBL_Init_BL();
    LastBootOutcome().failedStatus = status;
    if (status == SUCCESS)
        return BOOT_STARTED;
    return RunningNack(lib, status) ? BOOT_RUNNING : BOOT_SILENT;
}

bool StartAndGet(CSTBLLib& lib, const char* port, unsigned char* version, Commands* commands,
                 bool* startFailed) {
    *startFailed = false;
    BootStart start = StartRomBootloader(lib);
    if (start == BOOT_SILENT) {
        *startFailed = true;
        return false;
    }
    memset(commands, 0, sizeof *commands);
    unsigned char got = lib.STBL_GET(version, commands);
    if (got != SUCCESS) {
        // A running bootloader whose Get fails did not answer the start.
        LastBootOutcome().failedStatus = start == BOOT_RUNNING ? READ_FAIL : got;
        *startFailed = start == BOOT_RUNNING;
        return false;
    }
    if (start == BOOT_RUNNING) {
        LastBootOutcome().alreadyRunning = true;
        ReportBootNote(BOOT_NOTE_ALREADY_RUNNING, port);
    }
    return true;
}

bool StartAndGetWaiting(CSTBLLib& lib, const char* port, unsigned char* version, Commands* commands,
                        bool* startFailed) {
    int seconds = GetBootSettings().waitSeconds;
    uint64_t begun = GetTickCount();
    bool noted = false;
    for (;;) {
        if (StartAndGet(lib, port, version, commands, startFailed))
            return true;
        if (!*startFailed || seconds <= 0)
            return false;
        if (GetTickCount() - begun >= static_cast<uint64_t>(seconds) * 1000u)
            return false;
        if (!noted) {
            ReportBootNote(BOOT_NOTE_WAITING, port, seconds);
            noted = true;
        }
        // A unit in reset answers nothing; a short pause between starts
        // keeps the line quiet.
        ComSleepUs(100 * 1000);
    }
}
