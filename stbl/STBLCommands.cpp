// The bootloader commands of CSTBLLib: synchronisation, identification,
// memory read / write / go, and the protection commands. Each checks its
// preconditions, describes itself in an STBL_Request and lets Send_RQ talk.
#include <cstdlib>
#include <cstring>

#include "serial/RunState.h"
#include "serial/rs232.h"
#include "stbl/STBLLib.h"

namespace {

// A request with its own working target record, both from calloc. The record
// may end up pointing at the object's product-ID block, so releasing a
// request never frees the record's PID.
STBL_Request* NewRequest(unsigned char cmd) {
    STBL_Request* rq = static_cast<STBL_Request*>(calloc(1, sizeof(STBL_Request)));
    if (rq == nullptr)
        return nullptr;
    rq->target = static_cast<TargetDescriptor*>(calloc(1, sizeof(TargetDescriptor)));
    if (rq->target == nullptr) {
        free(rq);
        return nullptr;
    }
    rq->cmd = cmd;
    return rq;
}

void FreeRequest(STBL_Request* rq) {
    if (rq == nullptr)
        return;
    free(rq->target);
    free(rq);
}

// A data block of the packet size, all 0xFF; at least one byte so that a
// packet size of 0 still yields a block to release.
unsigned char* NewPacket() {
    size_t size = MAX_DATA_SIZE > 0 ? static_cast<size_t>(MAX_DATA_SIZE) : 1;
    unsigned char* block = static_cast<unsigned char*>(malloc(size));
    if (block != nullptr)
        memset(block, 0xFF, size);
    return block;
}

// The transfer size actually moved: odd sizes are raised to even. 0 and 255
// are refused (255 would wrap to 0 and announce 256 bytes), and so is an even
// size larger than the data block.
bool EvenSize(unsigned char size, unsigned char* even) {
    if (size == 0 || size == 255)
        return false;
    unsigned char e = static_cast<unsigned char>(size + (size & 1));
    if (e > MAX_DATA_SIZE)
        return false;
    *even = e;
    return true;
}

} // namespace

// Port open and the command's flag set; NO_CON_AVAILABLE or CMD_NOT_ALLOWED
// otherwise.
#define STBL_CHECK(flag)                                                                           \
    do {                                                                                           \
        if (pCom == nullptr || !pCom->isOpen)                                                      \
            return NO_CON_AVAILABLE;                                                               \
        if (pTarget == nullptr || pTarget->flag == 0)                                              \
            return CMD_NOT_ALLOWED;                                                                \
    } while (0)

unsigned char CSTBLLib::STBL_Init_BL() {
    if (pCom == nullptr || !pCom->isOpen)
        return NO_CON_AVAILABLE;
    ExchangeScope exchange; // an interruption waits for the reply
    unsigned char sync = INIT_CON;
    if (pCom->sendData(1, &sync) != 1)
        return SEND_FAIL;
    unsigned char reply = 0;
    if (pCom->receiveData(1, &reply) != 1)
        return READ_FAIL;
    if (reply == 0x00 && pCom->receiveData(1, &reply) != 1)
        return READ_FAIL;
    if (STBL_SetDialect(reply) == SUCCESS)
        return SUCCESS;
    ACK_VALUE = 0;
    ACK = reply;
    return UNREOGNIZED_DEVICE;
}

unsigned char CSTBLLib::STBL_GET(unsigned char* version, Commands* commands) {
    if (pCom == nullptr || !pCom->isOpen)
        return NO_CON_AVAILABLE;
    if (version == nullptr || commands == nullptr || pTarget == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;

    if (ACK_VALUE == 0x75) {
        // The 0x75 dialect has no Get: its command set is fixed. Extended
        // erase and set-speed are not part of it and stay as they were.
        unsigned char* flags[2][13] = {
            {&commands->bGet, &commands->bGetVerRops, &commands->bGetId, &commands->bRead,
             &commands->bGo, &commands->bWrite, &commands->bErase, &commands->bWriteProtect,
             &commands->bWriteTempUnprotect, &commands->bWritePermUnprotect,
             &commands->bReadoutProtect, &commands->bReadoutTempUnprotect,
             &commands->bReadoutPermUnprotect},
            {&pTarget->bGet, &pTarget->bGetVerRops, &pTarget->bGetId, &pTarget->bRead,
             &pTarget->bGo, &pTarget->bWrite, &pTarget->bErase, &pTarget->bWriteProtect,
             &pTarget->bWriteTempUnprotect, &pTarget->bWritePermUnprotect,
             &pTarget->bReadoutProtect, &pTarget->bReadoutTempUnprotect,
             &pTarget->bReadoutPermUnprotect}};
        for (auto& row : flags)
            for (unsigned char* flag : row)
                *flag = 1;
        unsigned char ver = 0, optionA = 0, optionB = 0;
        unsigned char status = STBL_GET_VER_ROPS(&ver, &optionA, &optionB);
        if (status != SUCCESS)
            return status;
        *version = ver;
        return SUCCESS;
    }

    ACK_VALUE = 0x79;
    STBL_Request* rq = NewRequest(GET_CMD);
    if (rq == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char status = Send_RQ(rq);
    if (status == SUCCESS) {
        const TargetDescriptor* t = rq->target;
        *version = t->Version;
        // Every flag but bSetSpeed, which stays as the caller had it.
        commands->bGet = t->bGet;
        commands->bGetVerRops = t->bGetVerRops;
        commands->bGetId = t->bGetId;
        commands->bRead = t->bRead;
        commands->bGo = t->bGo;
        commands->bWrite = t->bWrite;
        commands->bErase = t->bErase;
        commands->bEraseExt = t->bEraseExt;
        commands->bWriteProtect = t->bWriteProtect;
        commands->bWriteTempUnprotect = t->bWriteTempUnprotect;
        commands->bWritePermUnprotect = t->bWritePermUnprotect;
        commands->bReadoutProtect = t->bReadoutProtect;
        commands->bReadoutTempUnprotect = t->bReadoutTempUnprotect;
        commands->bReadoutPermUnprotect = t->bReadoutPermUnprotect;
    }
    FreeRequest(rq);
    return status;
}

unsigned char CSTBLLib::STBL_GET_VER_ROPS(unsigned char* version, unsigned char* optionA,
                                          unsigned char* optionB) {
    STBL_CHECK(bGetVerRops);
    if (version == nullptr || optionA == nullptr || optionB == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    STBL_Request* rq = NewRequest(GET_VER_ROPS_CMD);
    if (rq == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char status = Send_RQ(rq);
    if (status == SUCCESS) {
        *version = pTarget->Version;
        *optionA = pTarget->Option2;
        *optionB = pTarget->Option1;
    }
    FreeRequest(rq);
    return status;
}

unsigned char CSTBLLib::STBL_GET_ID(unsigned char* pidLen, unsigned char* pid) {
    STBL_CHECK(bGetId);
    if (pidLen == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    STBL_Request* rq = NewRequest(GET_ID_CMD);
    if (rq == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char status = Send_RQ(rq);
    if (status == SUCCESS) {
        *pidLen = pTarget->PIDLen;
        if (pid != nullptr && pTarget->PID != nullptr)
            memcpy(pid, pTarget->PID, pTarget->PIDLen);
    }
    FreeRequest(rq);
    return status;
}

unsigned char CSTBLLib::STBL_READ(unsigned long address, unsigned char size,
                                  unsigned char* buffer) {
    STBL_CHECK(bRead);
    if (buffer == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char even = 0;
    if (!EvenSize(size, &even))
        return INPUT_PARAMS_ERROR;
    STBL_Request* rq = NewRequest(READ_CMD);
    unsigned char* block = NewPacket();
    if (rq == nullptr || block == nullptr) {
        FreeRequest(rq);
        free(block);
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    }
    rq->address = address;
    rq->length = even;
    rq->data = block;
    unsigned char status = Send_RQ(rq);
    if (status == SUCCESS)
        memcpy(buffer, block, even);
    FreeRequest(rq);
    free(block);
    return status;
}

unsigned char CSTBLLib::STBL_GO(unsigned long address) {
    STBL_CHECK(bGo);
    STBL_Request* rq = NewRequest(GO_CMD);
    if (rq == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    rq->address = address;
    unsigned char status = Send_RQ(rq);
    FreeRequest(rq);
    return status;
}

unsigned char CSTBLLib::STBL_WRITE(unsigned long address, unsigned char size, unsigned char* data) {
    STBL_CHECK(bWrite);
    if (data == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char even = 0;
    if (!EvenSize(size, &even))
        return INPUT_PARAMS_ERROR;
    STBL_Request* rq = NewRequest(WRITE_CMD);
    unsigned char* block = NewPacket();
    if (rq == nullptr || block == nullptr) {
        FreeRequest(rq);
        free(block);
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    }
    memcpy(block, data, size); // an odd size sends a last 0xFF
    rq->address = address;
    rq->length = even;
    rq->data = block;
    unsigned char status = Send_RQ(rq);
    FreeRequest(rq);
    free(block);
    return status;
}

unsigned char CSTBLLib::STBL_WRITE_PROTECT(unsigned char count, unsigned char* sectors) {
    STBL_CHECK(bWriteProtect);
    if (sectors == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    STBL_Request* rq = NewRequest(WRITE_PROTECT_CMD);
    unsigned char* codes = static_cast<unsigned char*>(malloc(count > 0 ? count : 1));
    if (rq == nullptr || codes == nullptr) {
        FreeRequest(rq);
        free(codes);
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    }
    memcpy(codes, sectors, count);
    rq->sectorCount = count;
    rq->length = count;
    rq->data = codes;
    unsigned char status = Send_RQ(rq);
    FreeRequest(rq);
    free(codes);
    if (status == SUCCESS)
        progressCount++;
    return status;
}

namespace {

// One of the five protect / unprotect commands that carry no arguments.
unsigned char SendBare(CSTBLLib* lib, unsigned char cmd) {
    STBL_Request* rq = NewRequest(cmd);
    if (rq == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char status = lib->Send_RQ(rq);
    FreeRequest(rq);
    if (status == SUCCESS)
        lib->progressCount++;
    return status;
}

} // namespace

unsigned char CSTBLLib::STBL_WRITE_TEMP_UNPROTECT() {
    STBL_CHECK(bWriteTempUnprotect);
    return SendBare(this, WRITE_TEMP_UNPROTECT_CMD);
}

unsigned char CSTBLLib::STBL_WRITE_PERM_UNPROTECT() {
    STBL_CHECK(bWritePermUnprotect);
    // The 0x75 dialect knows only the temporary variant.
    if (GetAckValue() == 0x75)
        return STBL_WRITE_TEMP_UNPROTECT();
    return SendBare(this, WRITE_PERM_UNPROTECT_CMD);
}

unsigned char CSTBLLib::STBL_READOUT_PROTECT() {
    STBL_CHECK(bReadoutProtect);
    return SendBare(this, READOUT_PROTECT_CMD);
}

unsigned char CSTBLLib::STBL_READOUT_TEMP_UNPROTECT() {
    STBL_CHECK(bReadoutTempUnprotect);
    return SendBare(this, READOUT_TEMP_UNPROTECT_CMD);
}

unsigned char CSTBLLib::STBL_READOUT_PERM_UNPROTECT() {
    STBL_CHECK(bReadoutPermUnprotect);
    return SendBare(this, READOUT_PERM_UNPROTECT_CMD);
}
