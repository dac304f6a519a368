// Read and Write of up to 256 bytes, the ROM bootloader's largest packet,
// whose count does not fit STBL_READ's and STBL_WRITE's byte-sized sizes,
// and the download and verify of a whole image in such packets.
#include <cstdlib>
#include <cstring>

#include "serial/ConsoleSink.h"
#include "serial/rs232.h"
#include "stbl/STBLLib.h"

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

const unsigned long WIDE = 256;

// Goes through `size` bytes in packets of 256, the remainder last, as the
// bulk transfers of STBLFlash.cpp do with MAX_DATA_SIZE: step(offset,
// length, buffer), the progress count and its report after each packet; the
// packet's address is kept in `failure` for a step that fails.
template <typename Step>
unsigned char EachWidePacket(CSTBLLib* lib, unsigned long address, unsigned long size,
                             ProgressPhase phase, Step step) {
    unsigned char buffer[WIDE + 4];
    for (unsigned long offset = 0; offset < size; offset += WIDE) {
        unsigned long n = size - offset < WIDE ? size - offset : WIDE;
        memset(buffer, 0xFF, sizeof buffer);
        lib->failure.address = address + offset;
        unsigned char status = step(offset, n, buffer);
        if (status != SUCCESS)
            return status;
        lib->progressCount++;
        unsigned char percent = 0;
        lib->GetProgress(&percent);
        SinkProgress({phase, percent, offset + n, size, n == WIDE});
    }
    SinkProgressEnd(phase);
    return SUCCESS;
}

unsigned char WideChecks(CSTBLLib* lib, unsigned char flag, const unsigned char* image,
                         unsigned long size) {
    if (!lib->COM_is_Open())
        return NO_CON_AVAILABLE;
    if (flag == 0)
        return CMD_NOT_ALLOWED;
    if (image == nullptr && size > 0)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    return SUCCESS;
}

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
    unsigned char status = WideChecks(this, pTarget->bWrite, image, size);
    if (status != SUCCESS)
        return status;
    return EachWidePacket(this, address, size, PHASE_WRITE,
                          [&](unsigned long offset, unsigned long n, unsigned char* b) {
                              unsigned char st;
                              if (n == WIDE) {
                                  st = STBL_WRITE_BLOCK(address + offset, WIDE, image + offset);
                                  if (st != SUCCESS)
                                      SinkBootError(BOOT_WRITE_ERROR, st);
                                  return st;
                              }
                              // As with 128: raised to a multiple of 4 over what the target holds.
                              unsigned short n4 = static_cast<unsigned short>(n - (n % 4) + 4);
                              st = STBL_READ_BLOCK(address + offset, n4, b);
                              if (st != SUCCESS) {
                                  SinkBootError(BOOT_REMAIN_READ_ERROR, st);
                                  return st;
                              }
                              memcpy(b, image + offset, n);
                              st = STBL_WRITE_BLOCK(address + offset, n4, b);
                              if (st != SUCCESS)
                                  SinkBootError(BOOT_REMAIN_WRITE_ERROR, st);
                              return st;
                          });
}

unsigned char CSTBLLib::STBL_VERIFY_WIDE(unsigned long address, const unsigned char* image,
                                         unsigned long size) {
    unsigned char status = WideChecks(this, pTarget->bRead, image, size);
    if (status != SUCCESS)
        return status;
    failure.differs = false;
    return EachWidePacket(this, address, size, PHASE_VERIFY,
                          [&](unsigned long offset, unsigned long n, unsigned char* b) {
                              unsigned short even = static_cast<unsigned short>(n + (n & 1));
                              unsigned char st = STBL_READ_BLOCK(address + offset, even, b);
                              if (st != SUCCESS)
                                  return st;
                              unsigned long at = 0;
                              while (at < n && b[at] == image[offset + at])
                                  ++at;
                              if (at < n) {
                                  failure.address = address + offset + at;
                                  failure.differs = true;
                                  SinkBootError(n == WIDE ? BOOT_COMPARE_ERROR
                                                          : BOOT_REMAIN_COMPARE_ERROR,
                                                CMD_NOT_ALLOWED);
                                  return static_cast<unsigned char>(CMD_NOT_ALLOWED);
                              }
                              return static_cast<unsigned char>(SUCCESS);
                          });
}
