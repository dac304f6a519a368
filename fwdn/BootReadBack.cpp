#include "fwdn/BootReadBack.h"

#include <cstring>
#include <new>

namespace {

// A Read refused by the target: its NACK after the command byte or the
// address.
bool Refused(unsigned char status) {
    return status == CMD_NOT_ALLOWED || status == CMD_FAIL;
}

} // namespace

unsigned char ReadFlashBlock(CSTBLLib& lib, unsigned long address, int size,
                             unsigned char* buffer) {
    if (size <= 0 || size > 256)
        return INPUT_PARAMS_ERROR;
    if (static_cast<uint64_t>(size) <= MAX_DATA_SIZE && size <= 254)
        return lib.STBL_READ(address, static_cast<unsigned char>(size), buffer);
    return lib.STBL_READ_BLOCK(address, static_cast<unsigned short>(size), buffer);
}

ReadBack CompareFlash(CSTBLLib& lib, const Commands& commands, const unsigned char* image,
                      unsigned long size, int packet, unsigned long* firstDifference) {
    if (!commands.bRead)
        return READBACK_PROTECTED;
    unsigned char* buffer = new (std::nothrow) unsigned char[packet + 2];
    if (buffer == nullptr)
        return READBACK_FAILED;
    ReadBack result = READBACK_EQUAL;
    for (unsigned long done = 0; done < size;) {
        unsigned long n = size - done < static_cast<unsigned long>(packet)
                              ? size - done
                              : static_cast<unsigned long>(packet);
        int asked = static_cast<int>(n + (n & 1)); // the bootloader moves even counts
        unsigned char status = ReadFlashBlock(lib, kFlashStart + done, asked, buffer);
        if (status != SUCCESS) {
            result = done == 0 && Refused(status) ? READBACK_PROTECTED : READBACK_FAILED;
            break;
        }
        if (memcmp(buffer, image + done, n) != 0) {
            unsigned long i = 0;
            while (buffer[i] == image[done + i])
                ++i;
            *firstDifference = kFlashStart + done + i;
            result = READBACK_DIFFERS;
            break;
        }
        done += n;
    }
    delete[] buffer;
    return result;
}
