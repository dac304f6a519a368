// Read and Write of up to 256 bytes, the ROM bootloader's largest packet,
// whose count does not fit STBL_READ's and STBL_WRITE's byte-sized sizes,
// and the download and verify of a whole image in such packets.
#include <cstdlib>
#include <cstring>

#include "serial/ConsoleSink.h"
#include "serial/rs232.h"
#include "stbl/STBLLib.h"
#include "stbl/STBLPackets.h"

namespace {

// One Read or Write request of `size` bytes at `address` on `data`; the
// working record is released with the request.
unsigned char SendBlock(CSTBLLib* lib, unsigned char cmd, unsigned long address,
                        unsigned short size, unsigned char* data) {
    TargetDescriptor* work = static_cast<TargetDescriptor*>(calloc(1, sizeof(TargetDescriptor)));
    if (work == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    STBL_Request rq = {cmd, address, size, 0, work, data, 0};
    unsigned char status = lib->Send_RQ(&rq);
    free(work);
    return status;
}

// Port, flag, pointer and size checks: an even size from 2 to 256.
unsigned char BlockChecks(CSTBLLib* lib, unsigned char flag, const void* data,
                          unsigned short size) {
    if (lib->pCom == nullptr || !lib->pCom->isOpen)
        return NO_CON_AVAILABLE;
    if (lib->pTarget == nullptr || flag == 0)
        return CMD_NOT_ALLOWED;
    if (data == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    if (size < 2 || size > 256 || size % 2 != 0)
        return INPUT_PARAMS_ERROR;
    return SUCCESS;
}

// Packets of 256 through the block requests, whose sizes must be even.
unsigned char ReadWide(CSTBLLib* lib, unsigned long address, unsigned long n,
                       unsigned char* buffer) {
    return lib->STBL_READ_BLOCK(address, static_cast<unsigned short>(n + (n & 1)), buffer);
}

unsigned char WriteWide(CSTBLLib* lib, unsigned long address, unsigned long n,
                        unsigned char* data) {
    return lib->STBL_WRITE_BLOCK(address, static_cast<unsigned short>(n), data);
}

const PacketWay WIDE = {256, true, ReadWide, WriteWide};

} // namespace

unsigned char CSTBLLib::STBL_READ_BLOCK(unsigned long address, unsigned short size,
                                        unsigned char* buffer) {
    unsigned char status = BlockChecks(this, pTarget ? pTarget->bRead : 0, buffer, size);
    if (status != SUCCESS)
        return status;
    unsigned char block[256];
    memset(block, 0xFF, sizeof block);
    status = SendBlock(this, READ_CMD, address, size, block);
    if (status == SUCCESS)
        memcpy(buffer, block, size);
    return status;
}

unsigned char CSTBLLib::STBL_WRITE_BLOCK(unsigned long address, unsigned short size,
                                         const unsigned char* data) {
    unsigned char status = BlockChecks(this, pTarget ? pTarget->bWrite : 0, data, size);
    if (status != SUCCESS)
        return status;
    unsigned char block[256];
    memcpy(block, data, size);
    return SendBlock(this, WRITE_CMD, address, size, block);
}

unsigned char CSTBLLib::STBL_DNLOAD_WIDE(unsigned long address, const unsigned char* image,
                                         unsigned long size) {
    return DownloadPackets(this, WIDE, pTarget->bWrite, address, image, size, false);
}

unsigned char CSTBLLib::STBL_VERIFY_WIDE(unsigned long address, const unsigned char* image,
                                         unsigned long size) {
    return VerifyPackets(this, WIDE, pTarget->bRead, address, image, size, false);
}
