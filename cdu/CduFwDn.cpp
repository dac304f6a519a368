// The dispenser's firmware downloader: version information and cassette
// number over the link protocol, classification of a firmware file by the
// version code it carries, and the download on the ROM bootloader road or on
// the loader road (loader push, readiness handshake, XMODEM-1K blocks).
#include "cdu/CduFwDn.h"
#include "serial/ConsoleSink.h"

#include "cdu/CDUCom.h"
#include "cdu/DeviceData.h"
#include "fwdn/BootloaderDownload.h"
#include "fwdn/DownloadStart.h"
#include "serial/RunState.h"

#include <cstdio>
#include <cstring>

namespace {

const int LDR_BLOCK_SIZE = 1024;
const int LDR_BAUD = kCduLoaderBaud;
const int LDR_READY_WAIT_MS = 10000;

// The loader push: 4096 bytes at 57600 baud, or for the "ARVO" variant at
// 38400 baud with byte 21 set to 2.
const int LDR_PUSH_SIZE = 4096;
const int LDR_MARKER_BYTE = 21;
const long PUSH_BAUD[2] = {57600, 38400};

// The "ARVO" loader variant is chosen when the marker starts at a position
// from 0 to len - 11.
unsigned char HasArvoMarker(const unsigned char* buf, int len) {
    for (int i = 0; i <= len - 11; ++i) {
        if (memcmp(buf + i, "ARVO", 4) == 0)
            return 1;
    }
    return 0;
}

// The dispenser downloader reports a failed command list by its result only.
const BootDownloadOptions kCduBoot = {false};

int CountBlocks(int len, int size) {
    return len / size + (len % size != 0 ? 1 : 0);
}

// The loader road: the port is tried first, then the loader is pushed, the
// loader's readiness awaited and the image sent in 1 KiB blocks.
int LoaderRoad(CKvCDUFwDn& dn, const unsigned char* image, int len) {
    int r = CDUFW_COM_Open(dn.szPortName, LDR_BAUD);
    CDUFW_COM_Close();
    if (r != 0)
        return DN_PORT_OPEN_FAIL;
    DownloadRunningScope running;
    dn.iBlockCount = CountBlocks(len, LDR_BLOCK_SIZE);
    unsigned char bMarker = HasArvoMarker(image, len);
    if (dn.BootLoadDownload(bMarker) != 0 || CDUFW_DownloadReady(dn.szPortName) != 0)
        return DN_NO_RESPONSE;
    r = CDUFW_DataDownload(dn.szPortName, image, len, LDR_BLOCK_SIZE);
    CDUFW_COM_Close();
    return r != 0 ? DN_DOWNLOAD_FAIL : DN_OK;
}

// Road 0 is the ROM bootloader, any other the loader.
int RunRoad(CKvCDUFwDn& dn, unsigned char nType, const unsigned char* image, unsigned long size) {
    if (nType != 0)
        return LoaderRoad(dn, image, static_cast<int>(size));
    return BootloaderDownload(dn.stblLib, dn.szPortName, image, size, &dn.iBlockCount, kCduBoot);
}

} // namespace

CKvCDUFwDn::CKvCDUFwDn() : iBlockCount(0), iBaudRate(9600) {
    memset(szPortName, 0, sizeof szPortName);
    memset(szFilePath, 0, sizeof szFilePath);
    strcpy(szPortName, kCduDefaultPort);
}

CKvCDUFwDn::~CKvCDUFwDn() {
    CDU_PortClose();
}

int CKvCDUFwDn::GetVersionInfo(char* pVersion) {
    int r =
        CDU_InitGetVersion(1, szPortName, iBaudRate, reinterpret_cast<unsigned char*>(pVersion));
    if (r == 0)
        ConsolePrintf("\n %s,%d Open Success\n", szPortName, iBaudRate);
    else
        ConsolePrintf("\n %s Open Fail\n", szPortName);
    CDU_PortClose();
    return r;
}

int CKvCDUFwDn::SetInformation(int nCassette) {
    int r = CDU_InitSetInformation(1, szPortName, iBaudRate, nCassette);
    CDU_PortClose();
    return r;
}

int CKvCDUFwDn::GetCDUTypeByFW(char* szPath, char* szModel, unsigned char* pType) {
    *pType = 0;
    FirmwareImage image;
    FirmwareRead fr = ReadFirmwareImage(szPath, &image);
    if (fr == FW_CANNOT_OPEN || fr == FW_UNUSABLE)
        return -1;
    if (fr != FW_READ_OK)
        return -2;
    return ClassifyCduFirmware(image.data.get(), image.size, szModel, pType, nullptr);
}

int CKvCDUFwDn::BootLoadDownload(unsigned char bMarker) {
    unsigned char push[LDR_PUSH_SIZE];
    memset(push, 0, sizeof push);
    long baud = PUSH_BAUD[bMarker ? 1 : 0];
    int r = CDUFW_COM_Open(szPortName, baud);
    if (r != 0) {
        CDUFW_COM_Close();
        return r;
    }
    const size_t imageSize = sizeof gszCduLoaderImage;
    if (imageSize == 0 || imageSize > sizeof push) {
        CDUFW_COM_Close();
        return -1;
    }
    memcpy(push, gszCduLoaderImage, imageSize);
    WarnIfPlaceholder(DATA_LOADER);
    if (bMarker)
        push[LDR_MARKER_BYTE] = 0x02;
    r = CDUFW_COM_Write(push, LDR_PUSH_SIZE);
    CDUFW_COM_Close();
    if (r != 0)
        return r;
    r = CDUFW_COM_Open(szPortName, LDR_BAUD);
    if (r != 0) {
        CDUFW_COM_Close();
        return r;
    }
    r = CDUFW_COM_ReadCheckData('~', LDR_READY_WAIT_MS);
    CDUFW_COM_Close();
    return r;
}

int CKvCDUFwDn::FirmwareDownload(unsigned char nType, char* szPath) {
    iBlockCount = 0;
    FirmwareImage image;
    FirmwareRead fr = StartFileDownload(szFilePath, sizeof szFilePath,
                                        szPath != nullptr ? szPath : szFilePath, &image);
    if (fr != FW_READ_OK)
        return DnResultOfRead(fr);
    return RunRoad(*this, nType, image.data.get(), image.size);
}

int CKvCDUFwDn::FirmwareDownloadImage(unsigned char nType, char* szPath, const unsigned char* image,
                                      unsigned long size) {
    iBlockCount = 0;
    FirmwareRead fr = StartImageDownload(szFilePath, sizeof szFilePath,
                                         szPath != nullptr ? szPath : szFilePath, size);
    if (fr != FW_READ_OK)
        return DnResultOfRead(fr);
    return RunRoad(*this, nType, image, size);
}
