// Flash erase, the packetised download / verify / upload of a whole image,
// and the progress count that the console sink is told of.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/ConsoleSink.h"
#include "stbl/STBLLib.h"

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

// The checks every bulk operation makes before it touches the line. The
// packet size must be a multiple of 4 that fits a one-byte count, so that
// neither a division by zero nor a write of odd length can follow.
unsigned char BulkPreconditions(CSTBLLib* lib, unsigned char flag, const unsigned char* image,
                                unsigned long size) {
    if (!lib->COM_is_Open())
        return NO_CON_AVAILABLE;
    if (flag == 0)
        return CMD_NOT_ALLOWED;
    if (image == nullptr && size > 0)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    if (MAX_DATA_SIZE == 0 || MAX_DATA_SIZE % 4 != 0 || MAX_DATA_SIZE > MAX_BULK_PACKET)
        return INPUT_PARAMS_ERROR;
    return SUCCESS;
}

bool AllBlank(const unsigned char* bytes, unsigned long n) {
    for (unsigned long i = 0; i < n; i++) {
        if (bytes[i] != 0xFF)
            return false;
    }
    return true;
}

// Tells the sink one state of the progress. After a full packet the state
// is to be redrawn over; after the last, partial packet it is left standing.
void ReportProgress(CSTBLLib* lib, ProgressPhase phase, unsigned long done, unsigned long size,
                    bool fullPacket) {
    unsigned char percent = 0;
    lib->GetProgress(&percent);
    SinkProgress({phase, percent, done, size, fullPacket});
}

// Goes through `size` bytes in packets of MAX_DATA_SIZE, the remainder last:
// step(offset, length, buffer) with a packet-sized work buffer filled with
// 0xFF. After each packet the progress count goes up and, when the transfer
// has a phase (`phase` not null), its progress is reported; a transfer that
// ends well ends the phase. The first status that is not SUCCESS ends the
// transfer, with the packet's address kept in `failure` (a step may put a
// more precise one there).
template <typename Step>
unsigned char EachPacket(CSTBLLib* lib, unsigned long address, unsigned long size,
                         const ProgressPhase* phase, Step step) {
    const unsigned long packet = static_cast<unsigned long>(MAX_DATA_SIZE);
    unsigned char* buffer = static_cast<unsigned char*>(malloc(packet));
    if (buffer == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    for (unsigned long offset = 0; offset < size; offset += packet) {
        unsigned long n = size - offset < packet ? size - offset : packet;
        memset(buffer, 0xFF, packet);
        lib->failure.address = address + offset;
        unsigned char status = step(offset, n, buffer);
        if (status != SUCCESS) {
            free(buffer);
            return status;
        }
        lib->progressCount++;
        if (phase != nullptr)
            ReportProgress(lib, *phase, offset + n, size, n == packet);
    }
    if (phase != nullptr)
        SinkProgressEnd(*phase);
    free(buffer);
    return SUCCESS;
}

const ProgressPhase WRITE_PHASE = PHASE_WRITE;
const ProgressPhase VERIFY_PHASE = PHASE_VERIFY;

// The offset of the first byte in which `a` and `b` differ; `n` when none.
unsigned long FirstDifference(const unsigned char* a, const unsigned char* b, unsigned long n) {
    unsigned long i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
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
    unsigned char status = BulkPreconditions(this, pTarget->bWrite, image, size);
    if (status != SUCCESS)
        return status;
    return EachPacket(this, address, size, &WRITE_PHASE,
                      [&](unsigned long offset, unsigned long n, unsigned char* buffer) {
                          unsigned char st;
                          if (n == MAX_DATA_SIZE) {
                              memcpy(buffer, image + offset, n);
                              if (optimize && AllBlank(buffer, n))
                                  return static_cast<unsigned char>(SUCCESS);
                              st = STBL_WRITE(address + offset, static_cast<unsigned char>(n),
                                              buffer);
                              if (st != SUCCESS)
                                  SinkBootError(BOOT_WRITE_ERROR, st);
                              return st;
                          }
                          // The write length is raised to a multiple of 4; the bytes behind
                          // the image are rewritten with what the target already holds there.
                          unsigned char n4 = static_cast<unsigned char>(n - (n % 4) + 4);
                          st = STBL_READ(address + offset, n4, buffer);
                          if (st != SUCCESS) {
                              SinkBootError(BOOT_REMAIN_READ_ERROR, st);
                              return st;
                          }
                          memcpy(buffer, image + offset, n);
                          if (optimize && AllBlank(image + offset, n))
                              return static_cast<unsigned char>(SUCCESS);
                          st = STBL_WRITE(address + offset, n4, buffer);
                          if (st != SUCCESS)
                              SinkBootError(BOOT_REMAIN_WRITE_ERROR, st);
                          return st;
                      });
}

unsigned char CSTBLLib::STBL_VERIFY(unsigned long address, const unsigned char* image,
                                    unsigned long size, unsigned char optimize) {
    unsigned char status = BulkPreconditions(this, pTarget->bRead, image, size);
    if (status != SUCCESS)
        return status;
    failure.differs = false;
    return EachPacket(
        this, address, size, &VERIFY_PHASE,
        [&](unsigned long offset, unsigned long n, unsigned char* buffer) {
            if (optimize && AllBlank(image + offset, n))
                return static_cast<unsigned char>(SUCCESS);
            // An odd remainder is read as one byte more; the buffer has room.
            unsigned char st = STBL_READ(address + offset, static_cast<unsigned char>(n), buffer);
            if (st != SUCCESS)
                return st;
            unsigned long differs = FirstDifference(buffer, image + offset, n);
            if (differs < n) {
                failure.address = address + offset + differs;
                failure.differs = true;
                SinkBootError(n == MAX_DATA_SIZE ? BOOT_COMPARE_ERROR : BOOT_REMAIN_COMPARE_ERROR,
                              CMD_NOT_ALLOWED);
                return static_cast<unsigned char>(CMD_NOT_ALLOWED);
            }
            return static_cast<unsigned char>(SUCCESS);
        });
}

unsigned char CSTBLLib::STBL_UPLOAD(unsigned long address, unsigned char* buffer,
                                    unsigned long size) {
    unsigned char status = BulkPreconditions(this, pTarget->bRead, buffer, size);
    if (status != SUCCESS)
        return status;
    return EachPacket(this, address, size, nullptr,
                      [&](unsigned long offset, unsigned long n, unsigned char* work) {
                          unsigned char st =
                              STBL_READ(address + offset, static_cast<unsigned char>(n), work);
                          if (st == SUCCESS)
                              memcpy(buffer + offset, work, n);
                          return st;
                      });
}
