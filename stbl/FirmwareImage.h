// The firmware-file reader of both downloaders: a raw image read whole into
// memory, refused before any port is touched when it cannot be the image of
// the MCU's flash.
#ifndef KV_STBL_FIRMWAREIMAGE_H
#define KV_STBL_FIRMWAREIMAGE_H

// The largest flash of the MCU family: a larger file is no firmware image.
const long kMaxFirmwareImageSize = 2L * 1024 * 1024;

enum FirmwareRead {
    FW_READ_OK,
    FW_CANNOT_OPEN, // no such file, no permission, ...
    FW_UNUSABLE,    // not a regular file, over kMaxFirmwareImageSize, no memory
    FW_READ_ERROR,  // empty, or the read did not deliver the file whole
};

// Reads the regular file `path` whole into a new zero-filled buffer of
// size + 1 bytes (the extra zero lets a search look one byte past the end).
// Never waits for a FIFO writer or a device. On anything but FW_READ_OK the
// reason is printed on standard error as "kvfwdn: PATH: reason". On
// FW_READ_OK and FW_READ_ERROR *image may hold a buffer (release it with
// delete[]; nullptr otherwise) and *size its length.
FirmwareRead ReadFirmwareImage(const char* path, unsigned char** image, int* size);

#endif
