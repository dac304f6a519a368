// CSTBLLib::Send_RQ: one complete bootloader exchange on the open port, in the
// 0x79 dialect or the shorter 0x75 dialect, every deviation turned into a
// status code.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/rs232.h"
#include "serial/ConsoleSink.h"
#include "serial/RunState.h"
#include "stbl/STBLLib.h"

namespace {

bool Mode79() {
    return ACK_VALUE == 0x79;
}

// One port, one exchange: the small send / receive steps of Send_RQ.
struct Wire {
    CRS232* com;
    ExchangePart* part; // the part sent last, for the reason of a failure

    // One send call for the whole frame.
    unsigned char send(unsigned char* frame, int length) {
        return com->sendData(length, frame) == length ? SUCCESS : SEND_FAIL;
    }
    // One receive call for one byte.
    bool readByte(unsigned char* byte) { return com->receiveData(1, byte) == 1; }
    // Reads one byte and compares it with ACK: READ_FAIL on silence, `refused`
    // for any other byte.
    unsigned char expectAck(unsigned char refused) {
        unsigned char reply = 0;
        if (!readByte(&reply))
            return READ_FAIL;
        return reply == ACK ? SUCCESS : refused;
    }
    // At most `want` receive calls, each for the bytes still missing; stops at
    // the first call that yields nothing. Returns the total received; the
    // value of a failing call goes to *lastCall when asked for.
    int blockRead(unsigned char* into, int want, int* lastCall = nullptr) {
        int total = 0;
        for (int calls = 0; calls < want && total < want; ++calls) {
            int got = com->receiveData(want - total, into + total);
            if (got <= 0) {
                if (lastCall != nullptr)
                    *lastCall = got;
                break;
            }
            total += got;
        }
        return total;
    }
    // Address bits 31..0, most significant first, then their XOR in 0x79 mode.
    unsigned char sendAddress(unsigned long address) {
        unsigned char frame[5];
        frame[0] = static_cast<unsigned char>(address >> 24);
        frame[1] = static_cast<unsigned char>(address >> 16);
        frame[2] = static_cast<unsigned char>(address >> 8);
        frame[3] = static_cast<unsigned char>(address);
        frame[4] = static_cast<unsigned char>(frame[0] ^ frame[1] ^ frame[2] ^ frame[3]);
        return send(frame, Mode79() ? 5 : 4);
    }
};

// The flag of the record that a code from the Get list stands for; null for
// codes that carry no flag (0x03 and unknown codes).
unsigned char* FlagOf(TargetDescriptor* t, unsigned char code) {
    switch (code) {
    case GET_CMD:
        return &t->bGet;
    case GET_VER_ROPS_CMD:
        return &t->bGetVerRops;
    case GET_ID_CMD:
        return &t->bGetId;
    case READ_CMD:
        return &t->bRead;
    case GO_CMD:
        return &t->bGo;
    case WRITE_CMD:
        return &t->bWrite;
    case ERASE_CMD:
        return &t->bErase;
    case ERASE_EXT_CMD:
        return &t->bEraseExt;
    case WRITE_PROTECT_CMD:
        return &t->bWriteProtect;
    case WRITE_TEMP_UNPROTECT_CMD:
        return &t->bWriteTempUnprotect;
    case WRITE_PERM_UNPROTECT_CMD:
        return &t->bWritePermUnprotect;
    case READOUT_PROTECT_CMD:
        return &t->bReadoutProtect;
    case READOUT_TEMP_UNPROTECT_CMD:
        return &t->bReadoutTempUnprotect;
    case READOUT_PERM_UNPROTECT_CMD:
        return &t->bReadoutPermUnprotect;
    default:
        return nullptr;
    }
}

// Refuses a request whose fields could not make a sound frame, before
// anything is sent: a count that disagrees with `length`, a count of 0 (its
// "N - 1" would read as the global erase code 0xFF / 0xFFFF), a transfer
// length outside 1..256, or a missing buffer.
unsigned char CheckRequest(const STBL_Request* rq) {
    if (rq->target == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    switch (rq->cmd) {
    case READ_CMD:
    case WRITE_CMD:
        if (rq->length < 1 || rq->length > 256)
            return INPUT_PARAMS_ERROR;
        return rq->data == nullptr ? INPUT_PARAMS_MEMORY_ALLOCATION_ERROR : SUCCESS;
    case ERASE_CMD:
        if (rq->sectorCount == 0xFF)
            return rq->length == 0 ? SUCCESS : INPUT_PARAMS_ERROR;
        [[fallthrough]]; // a code list, as for Write-protect
    case WRITE_PROTECT_CMD:
        if (rq->sectorCount == 0 || rq->length != rq->sectorCount)
            return INPUT_PARAMS_ERROR;
        return rq->data == nullptr ? INPUT_PARAMS_MEMORY_ALLOCATION_ERROR : SUCCESS;
    case ERASE_EXT_CMD:
        if ((rq->pageCount >> 8) == 0xFF)
            return rq->length == 0 ? SUCCESS : INPUT_PARAMS_ERROR;
        if (rq->pageCount == 0 || rq->length != rq->pageCount)
            return INPUT_PARAMS_ERROR;
        return rq->data == nullptr ? INPUT_PARAMS_MEMORY_ALLOCATION_ERROR : SUCCESS;
    default:
        return SUCCESS;
    }
}

// Code list: N - 1, the N codes, then (N - 1) XOR every code. Sends the first
// `count` bytes of it.
unsigned char SendCodeList(Wire& wire, const STBL_Request* rq, int count) {
    int n = rq->sectorCount;
    unsigned char* frame = static_cast<unsigned char*>(malloc(static_cast<size_t>(n) + 2));
    if (frame == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    frame[0] = static_cast<unsigned char>(n - 1);
    unsigned char sum = frame[0];
    for (int i = 0; i < n; ++i) {
        frame[1 + i] = rq->data[i];
        sum ^= rq->data[i];
    }
    frame[n + 1] = sum;
    unsigned char status = wire.send(frame, count);
    free(frame);
    return status;
}

unsigned char DoGet(Wire& wire, CSTBLLib* lib, STBL_Request* rq) {
    TargetDescriptor* t = rq->target;
    memset(t, 0, sizeof(TargetDescriptor));
    if (!wire.readByte(&t->CmdCount) || !wire.readByte(&t->Version))
        return READ_FAIL;
    unsigned char codes[256];
    int lastCall = 0;
    int total = wire.blockRead(codes, t->CmdCount, &lastCall);
    if (total != t->CmdCount) {
        lib->failure.listed = total;
        lib->failure.announced = t->CmdCount;
        SinkGetListShort(lastCall, total, t->CmdCount);
        return READ_FAIL;
    }
    for (int i = 0; i < total; ++i) {
        unsigned char* flag = FlagOf(t, codes[i]);
        if (flag != nullptr)
            *flag = 1;
    }
    unsigned char status = wire.expectAck(CMD_FAIL);
    if (status != SUCCESS)
        return status;
    // The new descriptor has no product ID: the old block goes.
    if (lib->pTarget->PID != t->PID)
        free(lib->pTarget->PID);
    *lib->pTarget = *t;
    return SUCCESS;
}

unsigned char DoGetVersion(Wire& wire, CSTBLLib* lib, STBL_Request* rq) {
    TargetDescriptor* t = rq->target;
    if (!wire.readByte(&t->Version) || !wire.readByte(&t->Option1) || !wire.readByte(&t->Option2))
        return READ_FAIL;
    unsigned char status = wire.expectAck(CMD_FAIL);
    if (status != SUCCESS)
        return status;
    *lib->pTarget = *t; // same PID block: the copy came from the descriptor
    return SUCCESS;
}

unsigned char DoGetId(Wire& wire, CSTBLLib* lib, STBL_Request* rq) {
    TargetDescriptor* t = rq->target;
    unsigned char n = 0;
    if (!wire.readByte(&n))
        return READ_FAIL;
    // N + 1 bytes follow; counted in an int so that N = 0xFF reads 256 bytes
    // (the one-byte PIDLen field stays modulo 256).
    int count = n + 1;
    unsigned char* pid = static_cast<unsigned char*>(malloc(static_cast<size_t>(count)));
    if (pid == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    if (wire.blockRead(pid, count) != count) {
        free(pid);
        return READ_FAIL;
    }
    unsigned char status = wire.expectAck(CMD_FAIL);
    if (status != SUCCESS) {
        free(pid);
        return status;
    }
    t->PIDLen = static_cast<unsigned char>(count);
    t->PID = pid;
    if (lib->pTarget->PID != pid)
        free(lib->pTarget->PID);
    *lib->pTarget = *t;
    return SUCCESS;
}

// Sends the request's address and waits for its acknowledgement.
unsigned char SendAddressAcked(Wire& wire, STBL_Request* rq) {
    *wire.part = PART_ADDRESS;
    unsigned char status = wire.sendAddress(rq->address);
    return status != SUCCESS ? status : wire.expectAck(CMD_FAIL);
}

unsigned char DoRead(Wire& wire, STBL_Request* rq) {
    unsigned char status = SendAddressAcked(wire, rq);
    if (status != SUCCESS)
        return status;
    *wire.part = PART_DATA;
    unsigned char count[2];
    count[0] = static_cast<unsigned char>(rq->length - 1);
    count[1] = static_cast<unsigned char>(count[0] ^ 0xFF);
    if ((status = wire.send(count, Mode79() ? 2 : 1)) != SUCCESS)
        return status;
    if (Mode79() && (status = wire.expectAck(CMD_FAIL)) != SUCCESS)
        return status;
    return wire.blockRead(rq->data, rq->length) == rq->length ? SUCCESS : READ_FAIL;
}

unsigned char DoGo(Wire& wire, STBL_Request* rq) {
    unsigned char status = wire.sendAddress(rq->address);
    if (status != SUCCESS)
        return status;
    unsigned char reply = 0;
    if (!wire.readByte(&reply))
        return READ_FAIL;
    // The 0x79 dialect acknowledges the jump; a refusal is not a success. The
    // 0x75 dialect answers the address with any byte.
    if (Mode79() && reply != ACK)
        return CMD_FAIL;
    return SUCCESS;
}

unsigned char DoWrite(Wire& wire, STBL_Request* rq) {
    unsigned char status = SendAddressAcked(wire, rq);
    if (status != SUCCESS)
        return status;
    *wire.part = PART_DATA;
    unsigned char count = static_cast<unsigned char>(rq->length - 1);
    // The checksum is taken before the data go out: in echo mode 2 the send
    // replaces the data with what the line returned.
    unsigned char sum = count;
    for (int i = 0; i < rq->length; ++i)
        sum ^= rq->data[i];
    if ((status = wire.send(&count, 1)) != SUCCESS)
        return status;
    if ((status = wire.send(rq->data, rq->length)) != SUCCESS)
        return status;
    if (Mode79() && (status = wire.send(&sum, 1)) != SUCCESS)
        return status;
    return wire.expectAck(CMD_FAIL);
}

unsigned char DoErase(Wire& wire, STBL_Request* rq) {
    unsigned char status;
    if (rq->sectorCount == 0xFF) {
        unsigned char global[2] = {0xFF, 0x00};
        status = wire.send(global, Mode79() ? 2 : 1);
    } else {
        status = SendCodeList(wire, rq, rq->length + (Mode79() ? 2 : 1));
    }
    if (status != SUCCESS)
        return status;
    return wire.expectAck(CMD_FAIL);
}

unsigned char DoEraseExt(Wire& wire, STBL_Request* rq) {
    int pages = (rq->pageCount >> 8) == 0xFF ? 0 : rq->pageCount;
    size_t size = pages == 0 ? 3 : 2 * static_cast<size_t>(pages) + 3;
    unsigned char* frame = static_cast<unsigned char*>(malloc(size));
    if (frame == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    if (pages == 0) {
        frame[0] = static_cast<unsigned char>(rq->pageCount >> 8);
        frame[1] = static_cast<unsigned char>(rq->pageCount);
    } else {
        frame[0] = static_cast<unsigned char>((pages - 1) >> 8);
        frame[1] = static_cast<unsigned char>(pages - 1);
        for (int k = 0; k < pages; ++k) {
            frame[2 + 2 * k] = rq->data[2 * k + 1];
            frame[3 + 2 * k] = rq->data[2 * k];
        }
    }
    unsigned char sum = 0;
    for (size_t i = 0; i + 1 < size; ++i)
        sum ^= frame[i];
    frame[size - 1] = sum;
    unsigned char status = wire.send(frame, static_cast<int>(size));
    free(frame);
    if (status != SUCCESS)
        return status;
    return wire.expectAck(CMD_FAIL);
}

} // namespace

unsigned char CSTBLLib::Send_RQ(STBL_Request* request) {
    ExchangeScope exchange; // an interruption waits for the exchange's end
    if (pCom == nullptr || !pCom->isOpen)
        return NO_CON_AVAILABLE;
    if (request == nullptr || pTarget == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    // The extended erase has a two-byte framing only in the 0x79 dialect; a
    // flag kept from an earlier target must not send it to a 0x75 target.
    if (request->cmd == ERASE_EXT_CMD && !Mode79())
        return CMD_NOT_ALLOWED;
    unsigned char status = CheckRequest(request);
    if (status != SUCCESS)
        return status;

    switch (request->cmd) {
    case GET_VER_ROPS_CMD:
    case GET_ID_CMD:
    case READ_CMD:
    case GO_CMD:
    case WRITE_CMD:
    case ERASE_CMD:
    case ERASE_EXT_CMD:
    case WRITE_PROTECT_CMD:
        *request->target = *pTarget;
        break;
    default:
        break;
    }

    Wire wire{pCom, &failure.part};
    failure.part = PART_COMMAND;
    failure.announced = 0;
    unsigned char command[2] = {request->cmd, static_cast<unsigned char>(request->cmd ^ 0xFF)};
    if ((status = wire.send(command, Mode79() ? 2 : 1)) != SUCCESS)
        return status;
    if (!(ACK_VALUE == 0x75 && request->cmd == GET_VER_ROPS_CMD)) {
        if ((status = wire.expectAck(CMD_NOT_ALLOWED)) != SUCCESS)
            return status;
    }

    switch (request->cmd) {
    case GET_CMD:
        return DoGet(wire, this, request);
    case GET_VER_ROPS_CMD:
        return DoGetVersion(wire, this, request);
    case GET_ID_CMD:
        return DoGetId(wire, this, request);
    case READ_CMD:
        return DoRead(wire, request);
    case GO_CMD:
        return DoGo(wire, request);
    case WRITE_CMD:
        return DoWrite(wire, request);
    case ERASE_CMD:
        return DoErase(wire, request);
    case ERASE_EXT_CMD:
        return DoEraseExt(wire, request);
    case WRITE_PROTECT_CMD:
        // The checksum goes out in both dialects.
        if ((status = SendCodeList(wire, request, request->length + 2)) != SUCCESS)
            return status;
        return wire.expectAck(CMD_FAIL);
    case WRITE_TEMP_UNPROTECT_CMD:
    case WRITE_PERM_UNPROTECT_CMD:
    case READOUT_PROTECT_CMD:
    case READOUT_TEMP_UNPROTECT_CMD:
    case READOUT_PERM_UNPROTECT_CMD:
        return wire.expectAck(CMD_FAIL);
    default:
        return SUCCESS;
    }
}
