#include "fwdn/DownloadStart.h"
#include "serial/ConsoleSink.h"

#include <cstdio>

#include "fwdn/DnResult.h"

namespace {

void Announce(char* filePath, size_t capacity, const char* source) {
    SinkDownloadStart();
    if (source != filePath)
        snprintf(filePath, capacity, "%s", source != nullptr ? source : "");
}

} // namespace

FirmwareRead StartFileDownload(char* filePath, size_t capacity, const char* source,
                               FirmwareImage* image) {
    Announce(filePath, capacity, source);
    return ReadFirmwareImage(filePath, image);
}

FirmwareRead StartImageDownload(char* filePath, size_t capacity, const char* source,
                                unsigned long size) {
    Announce(filePath, capacity, source);
    return CheckFirmwareImageSize(filePath, size);
}

int DnResultOfRead(FirmwareRead read) {
    if (read == FW_READ_OK)
        return DN_OK;
    return read == FW_CANNOT_OPEN ? DN_FILE_NOT_FOUND : DN_FILE_READ_FAIL;
}
