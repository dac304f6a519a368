// The dispenser's firmware downloader: version and cassette number over the
// dispenser link protocol, firmware classification, and download on the
// ROM bootloader road or the loader road.
#ifndef KV_CDU_CDUFWDN_H
#define KV_CDU_CDUFWDN_H

#include "fwdn/DnResult.h"
#include "stbl/STBLLib.h"

// The loader program pushed into the dispenser on the loader road (supplied
// data, embedded at build time).
extern const unsigned char gszCduLoaderImage[2472];

// The dispenser's port unless another is set.
const char* const kCduDefaultPort = "/dev/ttyS3";

class CKvCDUFwDn {
  public:
    int iBlockCount; // packets or loader blocks of the last download
    CSTBLLib stblLib;
    char szPortName[100]; // kCduDefaultPort unless set
    char szFilePath[256];
    int iBaudRate; // the link's rate, 9600

    CKvCDUFwDn();
    ~CKvCDUFwDn();
    CKvCDUFwDn(const CKvCDUFwDn&) = delete;
    CKvCDUFwDn& operator=(const CKvCDUFwDn&) = delete;

    int GetVersionInfo(char* pVersion);
    int SetInformation(int nCassette);
    int GetCDUTypeByFW(char* szPath, char* szModel, unsigned char* pType);
    int BootLoadDownload(unsigned char bMarker);
    int FirmwareDownload(unsigned char nType, char* szPath);
    // As FirmwareDownload for a file holding the `size` bytes at `image`
    // (kept as szPath; no file is read). `image` stays valid during the call.
    int FirmwareDownloadImage(unsigned char nType, char* szPath, const unsigned char* image,
                              unsigned long size);
};

// The results of ClassifyCduFirmware.
enum CduClassifyResult {
    CDU_CLASSIFIED = 0, // a version code was found
    CDU_TOO_LARGE = -1, // larger than the MCU's flash
    CDU_NO_CODE = -2,   // no version code (an empty image too)
};

// Classifies a firmware image by the version code it carries, as
// GetCDUTypeByFW does for a file holding these bytes: 0 with the model name
// in szModel (16 bytes), the road in *pType (0 ROM bootloader, 1 loader) and
// the six-character code in szVersion (7 bytes); -2 when no code is found
// (an empty image too); -1 for an image larger than the MCU's flash.
// *pType is 0 unless a code is found; szModel and szVersion may be nullptr.
int ClassifyCduFirmware(const unsigned char* image, unsigned long size, char* szModel,
                        unsigned char* pType, char* szVersion);

#endif
