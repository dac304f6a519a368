// Flash erase, the packetised download / verify / upload of a whole image,
// and the progress count that the console sink is told of.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/ConsoleSink.h"
#include "stbl/STBLLib.h"
#include "stbl/STBLPackets.h"

namespace {

// Pages per erase request, for both erase commands.
const unsigned short ERASE_CHUNK = 10;

// The largest packet whose length still fits the one-byte count of a Read or
// Write request and is a multiple of 4.
const uint64_t MAX_BULK_PACKET = 252;

// Sends one erase request of the given kind and releases everything it
// allocated before returning. `pages` points at `n` two-byte list entries
// (low byte first); it is ignored for the global forms.
unsigned char SendEraseRequest(CSTBLLib* lib, bool extended, bool global, unsigned short n,
                               const unsigned char* pages) {
    STBL_Request* rq = static_cast<STBL_Request*>(calloc(1, sizeof(STBL_Request)));
    TargetDescriptor* work = static_cast<TargetDescriptor*>(calloc(1, sizeof(TargetDescriptor)));
    unsigned char* data = nullptr;
    if (!global) {
        data = static_cast<unsigned char*>(malloc(extended ? 2u * n : n));
    }
    if (rq == nullptr || work == nullptr || (!global && data == nullptr)) {
        free(rq);
        free(work);
        free(data);
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    }
    rq->target = work;
    rq->data = data;
    if (extended) {
        rq->cmd = ERASE_EXT_CMD;
        rq->length = global ? 0 : n;
        rq->pageCount = global ? 0xFFFF : n;
        if (!global)
            memcpy(data, pages, 2u * n); // entries as they stand, low byte first
    } else {
        rq->cmd = ERASE_CMD;
        rq->length = global ? 0 : n;
        rq->sectorCount = global ? 0xFF : static_cast<unsigned char>(n);
        for (unsigned short i = 0; !global && i < n; i++)
            data[i] = pages[2 * i]; // the standard command takes the low byte only
    }
    unsigned char status = lib->Send_RQ(rq);
    // The working record may alias the object's product-ID block; only the
    // record itself belongs to this request.
    free(work);
    free(data);
    free(rq);
    return status;
}

// One erase branch: a global request, or the list in chunks of ten pages.
unsigned char EraseWith(CSTBLLib* lib, bool extended, unsigned short count,
                        const unsigned char* pages) {
    if (count == 0xFFFF) {
        unsigned char status = SendEraseRequest(lib, extended, true, 0, nullptr);
        if (status != SUCCESS)
            return status;
        lib->progressCount = 25;
        return SUCCESS;
    }
    for (unsigned int first = 0; first < count; first += ERASE_CHUNK) {
        unsigned short n =
            static_cast<unsigned short>(count - first < ERASE_CHUNK ? count - first : ERASE_CHUNK);
        unsigned char status = SendEraseRequest(lib, extended, false, n, pages + 2u * first);
        if (status != SUCCESS)
            return status;
        lib->progressCount++;
    }
    return SUCCESS;
}

// Packets of MAX_DATA_SIZE through STBL_READ and STBL_WRITE; an odd
// remainder is read as one byte more, the buffer has room.
unsigned char ReadByteSized(CSTBLLib* lib, unsigned long address, unsigned long n,
                            unsigned char* buffer) {
    return lib->STBL_READ(address, static_cast<unsigned char>(n), buffer);
}

unsigned char WriteByteSized(CSTBLLib* lib, unsigned long address, unsigned long n,
                             unsigned char* data) {
    return lib->STBL_WRITE(address, static_cast<unsigned char>(n), data);
}

// The packet size must be a multiple of 4 that fits a one-byte count, so
// that neither a division by zero nor a write of odd length can follow.
PacketWay ByteSized() {
    bool sendable =
        MAX_DATA_SIZE != 0 && MAX_DATA_SIZE % 4 == 0 && MAX_DATA_SIZE <= MAX_BULK_PACKET;
    return {static_cast<unsigned long>(MAX_DATA_SIZE), sendable, ReadByteSized, WriteByteSized};
}

} // namespace

unsigned char CSTBLLib::STBL_ERASE(unsigned short count, unsigned char* pages) {
    if (!COM_is_Open())
        return NO_CON_AVAILABLE;
    bool standard = pTarget->bErase != 0;
    // The extended command has a framing only in the 0x79 dialect; a flag
    // left over from an earlier target must not send it to a 0x75 target.
    bool extended = pTarget->bEraseExt != 0 && ACK_VALUE == 0x79;
    if (!standard && !extended)
        return CMD_NOT_ALLOWED;
    if (standard) {
        if (pages == nullptr && count != 0xFFFF)
            return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
        unsigned char status = EraseWith(this, false, count, pages);
        if (status != SUCCESS)
            return status;
    }
    if (extended) {
        if (pages == nullptr && count != 0xFFFF)
            return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
        unsigned char status = EraseWith(this, true, count, pages);
        if (status != SUCCESS)
            return status;
    }
    return SUCCESS;
}

unsigned char CSTBLLib::SetActivityTime(unsigned long total) {
    progressCount = 0;
    activityTime = total;
    return SUCCESS;
}

unsigned char CSTBLLib::GetActivityTime(unsigned long* total) {
    if (total == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    *total = activityTime;
    return SUCCESS;
}

unsigned char CSTBLLib::GetProgress(unsigned char* percent) {
    if (percent == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    if (activityTime == 0)
        activityTime = 1;
    // Capped at 100 in full width, before it is narrowed to a byte.
    uint64_t p;
    if (progressCount >= activityTime)
        p = 100;
    else if (activityTime <= UINT64_MAX / 100)
        p = static_cast<uint64_t>(progressCount) * 100 / activityTime;
    else
        p = progressCount / (activityTime / 100);
    if (p > 100)
        p = 100;
    *percent = static_cast<unsigned char>(p);
    return SUCCESS;
}

unsigned char CSTBLLib::STBL_DNLOAD(unsigned long address, const unsigned char* image,
                                    unsigned long size, unsigned char optimize) {
    return DownloadPackets(this, ByteSized(), pTarget->bWrite, address, image, size, optimize != 0);
}

unsigned char CSTBLLib::STBL_VERIFY(unsigned long address, const unsigned char* image,
                                    unsigned long size, unsigned char optimize) {
    return VerifyPackets(this, ByteSized(), pTarget->bRead, address, image, size, optimize != 0);
}

unsigned char CSTBLLib::STBL_UPLOAD(unsigned long address, unsigned char* buffer,
                                    unsigned long size) {
    unsigned char status = PacketPreconditions(this, ByteSized(), pTarget->bRead, buffer, size);
    if (status != SUCCESS)
        return status;
    return EachPacket(this, static_cast<unsigned long>(MAX_DATA_SIZE), address, size, nullptr,
                      [&](unsigned long offset, unsigned long n, unsigned char* work) {
                          unsigned char st =
                              STBL_READ(address + offset, static_cast<unsigned char>(n), work);
                          if (st == SUCCESS)
                              memcpy(buffer + offset, work, n);
                          return st;
                      });
}
