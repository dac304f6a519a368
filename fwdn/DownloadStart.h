// The first steps both downloaders take for a firmware download.
#ifndef KV_FWDN_DOWNLOADSTART_H
#define KV_FWDN_DOWNLOADSTART_H

#include <cstddef>

#include "fwdn/FirmwareImage.h"

// Announces the download (" Start firmware downloading."), keeps `source` as
// the file path (an empty path for nullptr) and reads that file.
FirmwareRead StartFileDownload(char* filePath, size_t capacity, const char* source,
                               FirmwareImage* image);

// The same for `size` bytes already in memory that came from `source`: only
// the reader's size checks are made.
FirmwareRead StartImageDownload(char* filePath, size_t capacity, const char* source,
                                unsigned long size);

// The download result for a file that could not be used.
int DnResultOfRead(FirmwareRead read);

#endif
