#include "fwdn/BootInspect.h"

#include <cstring>

#include "fwdn/BootNotes.h"
#include "fwdn/BootReadBack.h"
#include "fwdn/BootStart.h"
#include "fwdn/DnResult.h"

namespace {

void CloseBootPort(CSTBLLib& lib) {
    if (lib.COM_is_Open())
        lib.COM_Close();
}

bool Refused(unsigned char status) {
    return status == CMD_NOT_ALLOWED || status == CMD_FAIL;
}

} // namespace

std::vector<unsigned char> CommandCodes(const Commands& c) {
    const struct {
        unsigned char flag, code;
    } table[] = {{c.bGet, 0x00},
                 {c.bGetVerRops, 0x01},
                 {c.bGetId, 0x02},
                 {c.bRead, 0x11},
                 {c.bGo, 0x21},
                 {c.bWrite, 0x31},
                 {c.bErase, 0x43},
                 {c.bEraseExt, 0x44},
                 {c.bWriteProtect, 0x63},
                 {c.bWriteTempUnprotect, 0x71},
                 {c.bWritePermUnprotect, 0x73},
                 {c.bReadoutProtect, 0x82},
                 {c.bReadoutTempUnprotect, 0x91},
                 {c.bReadoutPermUnprotect, 0x92}};
    std::vector<unsigned char> codes;
    for (const auto& entry : table)
        if (entry.flag)
            codes.push_back(entry.code);
    return codes;
}

int ProbeBootloader(CSTBLLib& lib, char* port, ProbeFacts* facts) {
    ClearBootOutcome();
    *facts = ProbeFacts();
    if (!OpenBootPort(lib, port) || lib.SetPaketSize(128) != SUCCESS)
        return DN_PORT_OPEN_FAIL;
    unsigned char version = 0;
    Commands commands;
    bool startFailed = false;
    if (!StartAndGetWaiting(lib, port, &version, &commands, &startFailed)) {
        CloseBootPort(lib);
        return DN_NO_RESPONSE;
    }
    facts->version = version;
    facts->dialect = lib.GetAckValue();
    facts->hasCommands = facts->dialect == 0x79;
    if (facts->hasCommands)
        facts->commands = CommandCodes(commands);
    unsigned char pidLen = 0;
    unsigned char pid[256];
    if (commands.bGetId && lib.STBL_GET_ID(&pidLen, pid) == SUCCESS)
        facts->productId.assign(pid, pid + pidLen);
    if (!commands.bRead) {
        facts->readProtected = TRI_YES;
    } else {
        unsigned char word[4];
        unsigned char status = lib.STBL_READ(kFlashStart, 4, word);
        if (status == SUCCESS)
            facts->readProtected = TRI_NO;
        else if (Refused(status))
            facts->readProtected = TRI_YES;
    }
    CloseBootPort(lib);
    return DN_OK;
}

VerifyOutcome VerifyFlash(CSTBLLib& lib, char* port, const unsigned char* image, unsigned long size,
                          unsigned long* firstDifference) {
    ClearBootOutcome();
    if (!OpenBootPort(lib, port) || lib.SetPaketSize(128) != SUCCESS)
        return VERIFY_PORT_FAIL;
    unsigned char version = 0;
    Commands commands;
    bool startFailed = false;
    if (!StartAndGetWaiting(lib, port, &version, &commands, &startFailed)) {
        CloseBootPort(lib);
        return VERIFY_NO_ANSWER;
    }
    ReadBack read =
        CompareFlash(lib, commands, image, size, GetBootSettings().packetSize, firstDifference);
    CloseBootPort(lib);
    switch (read) {
    case READBACK_EQUAL:
        return VERIFY_EQUAL;
    case READBACK_DIFFERS:
        return VERIFY_DIFFERS;
    case READBACK_PROTECTED:
        return VERIFY_PROTECTED;
    case READBACK_FAILED:
        break;
    }
    return VERIFY_NO_ANSWER;
}
