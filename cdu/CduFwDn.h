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
};

#endif
