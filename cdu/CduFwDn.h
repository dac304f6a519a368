// The dispenser's firmware downloader: version and cassette number over the
// dispenser link protocol, firmware classification, and download on the
// ROM bootloader road or the loader road.
#ifndef KV_CDU_CDUFWDN_H
#define KV_CDU_CDUFWDN_H

#include "app/DnResult.h"
#include "stbl/STBLLib.h"

// The loader program pushed into the dispenser on the loader road (supplied
// data, embedded at build time).
extern const unsigned char gszCduLoaderImage[2472];

class CKvCDUFwDn {
  public:
    int iBlockCount;
    CSTBLLib stblLib;
    char szPortName[100];
    char szFilePath[256];
    int iBaudRate;

    CKvCDUFwDn();
    ~CKvCDUFwDn();
    CKvCDUFwDn(const CKvCDUFwDn&) = delete;
    CKvCDUFwDn& operator=(const CKvCDUFwDn&) = delete;

    int GetVersionInfo(char* pVersion);
    int SetInformation(int nCassette);
    int GetCDUTypeByFW(char* szPath, char* szModel, unsigned char* pType);
    int BootLoadDownload(unsigned char bMarker);
    int FirmwareDownload(unsigned char nType, char* szPath);
    // The same download for an image already in memory (the caller's read
    // of szPath); szPath is kept as the path of the last download.
    int FirmwareDownloadImage(unsigned char nType, char* szPath, const unsigned char* image,
                              unsigned long size);
};

// Classifies a dispenser firmware image in memory by its version code:
// 0 with the model name (at least 10 bytes), the road byte (0 bootloader,
// 1 loader) and, when szVersion is not null, the six-character code with its
// terminating zero; -2 when the image holds no version code.
int ClassifyCduFirmware(const unsigned char* image, unsigned long size, char* szModel,
                        unsigned char* pType, char* szVersion);

#endif
