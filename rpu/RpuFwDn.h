// The printer's firmware downloader: version query over the printer link
// protocol, firmware download through the ROM bootloader.
#ifndef KV_RPU_RPUFWDN_H
#define KV_RPU_RPUFWDN_H

#include "fwdn/DnResult.h"
#include "stbl/STBLLib.h"

// The printer's port unless another is set.
const char* const kRpuDefaultPort = "/dev/ttyS4";

class CKvRPUFwDn {
  public:
    int iBlockCount; // packets of the last download
    CSTBLLib stblLib;
    char szPortName[100]; // kRpuDefaultPort unless set
    char szFilePath[256];
    int iBaudRate; // the rate the last version query was answered at

    CKvRPUFwDn();
    ~CKvRPUFwDn();
    CKvRPUFwDn(const CKvRPUFwDn&) = delete;
    CKvRPUFwDn& operator=(const CKvRPUFwDn&) = delete;

    int GetVersionInfo(char* pVersion, char* pCrc);
    int FirmwareDownload(char* szPath);
    // As FirmwareDownload for a file holding the `size` bytes at `image`
    // (kept as szPath; no file is read). `image` stays valid during the call.
    int FirmwareDownloadImage(char* szPath, const unsigned char* image, unsigned long size);
};

#endif
