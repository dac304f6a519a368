// FirmwareCheck.h -- FirmwareFile (Load once), CheckFirmware,
// FirmwareDeviceName, FirmwareKindText, NotDispenserReason, PrintIdentityLine:
// what a firmware file is.
//
// What a firmware file is, told from its bytes in memory: its size and
// SHA-256, which device it is for (a dispenser file by its version code, a
// printer file by the vector table at its start) and, when it is neither,
// why not. The menus and the command line read a file once and take
// everything from here.
#ifndef KV_APP_FIRMWARECHECK_H
#define KV_APP_FIRMWARECHECK_H

#include <string>

#include "fwdn/FirmwareImage.h"

enum FirmwareDevice { FW_FOR_NONE, FW_FOR_RPU, FW_FOR_CDU };

struct FirmwareFacts {
    unsigned long bytes = 0;
    std::string sha256;                  // 64 lower-case hex digits
    FirmwareDevice device = FW_FOR_NONE; // the device the file is firmware for
    std::string model;                   // dispenser: the model name
    std::string version;                 // dispenser: the version code as the file carries it
    const char* road = nullptr;          // dispenser: "bootloader" or "loader"
    unsigned char type = 0;              // dispenser: the downloader's road byte
    bool vectors = false;                // stack and reset were read (8 bytes or more)
    unsigned long stack = 0, reset = 0;  // the first two words of the image
    std::string reason;                  // why it is not printer firmware ("" when it is)
};

// Fills `facts` from `size` bytes at `image`.
void CheckFirmware(const unsigned char* image, unsigned long size, FirmwareFacts* facts);

// "rpu", "cdu" or nullptr.
const char* FirmwareDeviceName(FirmwareDevice device);

// What the identity line says after "N bytes, sha256 X, ": "printer firmware",
// "dispenser firmware, model M, R road" (without the road when `withRoad` is
// false) or "not firmware for either device".
std::string FirmwareKindText(const FirmwareFacts& facts, bool withRoad);

// Why a file that is not dispenser firmware is refused by the dispenser
// download.
std::string NotDispenserReason(const FirmwareFacts& facts);

// A firmware file read once for one action (check, identity line and
// download use the same bytes), with what it is.
class FirmwareFile {
  public:
    FirmwareFile() = default;
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    // Reads `path` whole with the firmware reader (which prints its reason
    // on failure) and checks it: DN_OK, DN_FILE_NOT_FOUND or
    // DN_FILE_READ_FAIL, as a download of the file would return.
    int Load(const char* path);
    const unsigned char* image() const { return image_.data.get(); }
    unsigned long size() const { return facts_.bytes; }
    const FirmwareFacts& facts() const { return facts_; }

  private:
    FirmwareImage image_;
    FirmwareFacts facts_;
};

// Prints "kvfwdn: PATH: N bytes, sha256 X, KIND" on standard error.
void PrintIdentityLine(const char* path, const FirmwareFacts& facts, bool withRoad);

#endif
