// The download and verify of a whole image in packets of one size.
#include "stbl/STBLPackets.h"

namespace {

const ProgressPhase WRITE_PHASE = PHASE_WRITE;
const ProgressPhase VERIFY_PHASE = PHASE_VERIFY;

bool AllBlank(const unsigned char* bytes, unsigned long n) {
    for (unsigned long i = 0; i < n; i++) {
        if (bytes[i] != 0xFF)
            return false;
    }
    return true;
}

// The offset of the first byte in which `a` and `b` differ; `n` when none.
unsigned long FirstDifference(const unsigned char* a, const unsigned char* b, unsigned long n) {
    unsigned long i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

} // namespace

unsigned char PacketPreconditions(CSTBLLib* lib, const PacketWay& way, unsigned char flag,
                                  const unsigned char* image, unsigned long size) {
    if (!lib->COM_is_Open())
        return NO_CON_AVAILABLE;
    if (flag == 0)
        return CMD_NOT_ALLOWED;
    if (image == nullptr && size > 0)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    if (!way.sendable)
        return INPUT_PARAMS_ERROR;
    return SUCCESS;
}

unsigned char DownloadPackets(CSTBLLib* lib, const PacketWay& way, unsigned char flag,
                              unsigned long address, const unsigned char* image, unsigned long size,
                              bool optimize) {
    unsigned char status = PacketPreconditions(lib, way, flag, image, size);
    if (status != SUCCESS)
        return status;
    return EachPacket(lib, way.packet, address, size, &WRITE_PHASE,
                      [&](unsigned long offset, unsigned long n, unsigned char* buffer) {
                          unsigned char st;
                          if (n == way.packet) {
                              memcpy(buffer, image + offset, n);
                              if (optimize && AllBlank(buffer, n))
                                  return static_cast<unsigned char>(SUCCESS);
                              st = way.write(lib, address + offset, n, buffer);
                              if (st != SUCCESS)
                                  SinkBootError(BOOT_WRITE_ERROR, st);
                              return st;
                          }
                          // The write length is raised to a multiple of 4; the bytes behind
                          // the image are rewritten with what the target already holds there.
                          unsigned long n4 = n - (n % 4) + 4;
                          st = way.read(lib, address + offset, n4, buffer);
                          if (st != SUCCESS) {
                              SinkBootError(BOOT_REMAIN_READ_ERROR, st);
                              return st;
                          }
                          memcpy(buffer, image + offset, n);
                          if (optimize && AllBlank(image + offset, n))
                              return static_cast<unsigned char>(SUCCESS);
                          st = way.write(lib, address + offset, n4, buffer);
                          if (st != SUCCESS)
                              SinkBootError(BOOT_REMAIN_WRITE_ERROR, st);
                          return st;
                      });
}

unsigned char VerifyPackets(CSTBLLib* lib, const PacketWay& way, unsigned char flag,
                            unsigned long address, const unsigned char* image, unsigned long size,
                            bool optimize) {
    unsigned char status = PacketPreconditions(lib, way, flag, image, size);
    if (status != SUCCESS)
        return status;
    lib->failure.differs = false;
    return EachPacket(lib, way.packet, address, size, &VERIFY_PHASE,
                      [&](unsigned long offset, unsigned long n, unsigned char* buffer) {
                          if (optimize && AllBlank(image + offset, n))
                              return static_cast<unsigned char>(SUCCESS);
                          unsigned char st = way.read(lib, address + offset, n, buffer);
                          if (st != SUCCESS)
                              return st;
                          unsigned long differs = FirstDifference(buffer, image + offset, n);
                          if (differs < n) {
                              lib->failure.address = address + offset + differs;
                              lib->failure.differs = true;
                              SinkBootError(n == way.packet ? BOOT_COMPARE_ERROR
                                                            : BOOT_REMAIN_COMPARE_ERROR,
                                            CMD_NOT_ALLOWED);
                              return static_cast<unsigned char>(CMD_NOT_ALLOWED);
                          }
                          return static_cast<unsigned char>(SUCCESS);
                      });
}
