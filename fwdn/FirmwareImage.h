// The firmware-file reader of both downloaders: a raw image read whole into
// memory, refused before any port is touched when it cannot be the image of
// the MCU's flash.
#ifndef KV_FWDN_FIRMWAREIMAGE_H
#define KV_FWDN_FIRMWAREIMAGE_H

#include <memory>

// The largest flash of the MCU family: a larger file is no firmware image.
const long kMaxFirmwareImageSize = 2L * 1024 * 1024;

// Where the MCU's flash starts: an application is linked and written there.
const unsigned long kFlashBase = 0x08000000;

enum FirmwareRead {
    FW_READ_OK,
    FW_CANNOT_OPEN, // no such file, no permission, ...
    FW_UNUSABLE,    // not a regular file, over kMaxFirmwareImageSize, no memory
    FW_READ_ERROR,  // empty, or the read did not deliver the file whole
};

// A firmware image in memory: `size` bytes followed by one zero byte (it lets
// a search look one byte past the end).
struct FirmwareImage {
    std::unique_ptr<unsigned char[]> data;
    unsigned long size = 0;
};

// Reads the regular file `path` whole into image->data. Never waits for a
// FIFO writer or a device. On anything but FW_READ_OK the reason is printed
// on standard error as "kvfwdn: PATH: reason".
FirmwareRead ReadFirmwareImage(const char* path, FirmwareImage* image);

// The size checks the reader makes, for an image already in memory that came
// from `path`: empty, or larger than the flash (reason on standard error).
FirmwareRead CheckFirmwareImageSize(const char* path, unsigned long size);

#endif
