// The dispenser's firmware downloader: version information and cassette
// number over the link protocol, classification of a firmware file by the
// version code it carries, and the download on the ROM bootloader road or on
// the loader road (loader push, readiness handshake, XMODEM-1K blocks).
#include "cdu/CduFwDn.h"

#include "cdu/CDUCom.h"
#include "cdu/DeviceData.h"
#include "serial/RunState.h"
#include "stbl/FirmwareImage.h"

#include <cstdio>
#include <cstring>

namespace {

const unsigned long FLASH_START = 0x08000000;
const int BL_PACKET_SIZE = 128;
const int LDR_BLOCK_SIZE = 1024;
const int LDR_PUSH_SIZE = 4096;
const int LDR_MARKER_BYTE = 21;
const int LDR_BAUD = 115200;
const long BL_BAUD = 115200; // 8 data bits, even parity, 1 stop bit
const long PUSH_BAUD = 57600;
const long PUSH_BAUD_MARKED = 38400;
const int LDR_READY_WAIT_MS = 10000;

bool Is4(const unsigned char* p, const char* s) {
    return memcmp(p, s, 4) == 0;
}
bool Is3(const unsigned char* p, const char* s) {
    return memcmp(p, s, 3) == 0;
}

// Finds the six-character version code: "CDU_" (or "cdu_") followed by the
// code and '_', or "CDU" (or "cdu"), any byte, '_', the code and '_'.
// `buf` holds len + 1 bytes, the last one zero.
const unsigned char* FindVersionCode(const unsigned char* buf, int len) {
    for (int i = 0; i < len - 10; ++i) {
        const unsigned char* p = buf + i;
        if (Is4(p, "CDU_") || Is4(p, "cdu_")) {
            if (p[10] == '_')
                return p + 4;
            continue; // the three-letter form is not tried here
        }
        if ((Is3(p, "CDU") || Is3(p, "cdu")) && p[4] == '_' && p[11] == '_')
            return p + 5;
    }
    return nullptr;
}

// Model name by the second character of the version code.
const char* ModelName(char chModel) {
    switch (chModel) {
    case '6':
    case '8':
        return "ARVO/BELK";
    case '7':
    case '9':
        return "CIRN";
    case 'A':
    case 'C':
    case 'c':
        return "DOXA";
    case 'B':
    case 'b':
        return "EVRA";
    case 'D':
        return "FINOR";
    case 'F':
        return "GAVO";
    case 'G':
    case 'g':
        return "IMBRA";
    case 'H':
    case 'h':
        return "JOLTA";
    case 'J':
        return "KESTRAN";
    case 'P':
        return "LUNDA";
    case 'W':
    case 'w':
        return "MIRO";
    default:
        return "UNKNOWN";
    }
}

// The "ARVO" loader variant is chosen when the marker starts at a position
// from 0 to len - 11.
unsigned char HasArvoMarker(const unsigned char* buf, int len) {
    for (int i = 0; i <= len - 11; ++i) {
        if (Is4(buf + i, "ARVO"))
            return 1;
    }
    return 0;
}

int CountBlocks(int len, int size) {
    return len / size + (len % size != 0 ? 1 : 0);
}

// The ROM bootloader road on an open port: start the bootloader, lift the
// protections when the command list lacks Read, Write or Erase, erase all,
// write and read back from the flash start.
int BootloaderRoad(CSTBLLib& lib, unsigned char* image, int len, int* pBlockCount) {
    *pBlockCount = CountBlocks(len, BL_PACKET_SIZE);
    lib.SetPaketSize(BL_PACKET_SIZE);
    if (lib.STBL_Init_BL() != SUCCESS)
        return DN_NO_RESPONSE;
    unsigned char version = 0;
    Commands cmds;
    memset(&cmds, 0, sizeof cmds);
    if (lib.STBL_GET(&version, &cmds) != SUCCESS)
        return DN_NO_RESPONSE;
    if (!cmds.bRead || !cmds.bWrite || !cmds.bErase) {
        if (!cmds.bRead)
            lib.STBL_READOUT_PERM_UNPROTECT();
        if (!cmds.bWrite || !cmds.bErase)
            lib.STBL_WRITE_PERM_UNPROTECT();
        unsigned char st = lib.STBL_Init_BL();
        if (st == SUCCESS)
            st = lib.STBL_GET(&version, &cmds);
        if (st != SUCCESS)
            return DN_NO_RESPONSE;
    }
    if (lib.STBL_ERASE(0xFFFF, nullptr) != SUCCESS)
        return DN_DOWNLOAD_FAIL;
    lib.SetActivityTime(static_cast<unsigned long>(*pBlockCount));
    if (lib.STBL_DNLOAD(FLASH_START, image, static_cast<unsigned long>(len), 0) != SUCCESS)
        return DN_DOWNLOAD_FAIL;
    lib.SetActivityTime(static_cast<unsigned long>(*pBlockCount));
    unsigned char st = lib.STBL_VERIFY(FLASH_START, image, static_cast<unsigned long>(len), 0);
    if (lib.COM_is_Open())
        lib.COM_Close();
    return st == SUCCESS ? DN_OK : DN_VERIFY_FAIL;
}

} // namespace

CKvCDUFwDn::CKvCDUFwDn() : iBlockCount(0), iBaudRate(9600) {
    memset(szPortName, 0, sizeof szPortName);
    memset(szFilePath, 0, sizeof szFilePath);
    strcpy(szPortName, "/dev/ttyS3");
}

CKvCDUFwDn::~CKvCDUFwDn() {
    CDU_PortClose();
}

int CKvCDUFwDn::GetVersionInfo(char* pVersion) {
    int r =
        CDU_InitGetVersion(1, szPortName, iBaudRate, reinterpret_cast<unsigned char*>(pVersion));
    if (r == 0)
        printf("\n %s,%d Open Success\n", szPortName, iBaudRate);
    else
        printf("\n %s Open Fail\n", szPortName);
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
    unsigned char* buf = nullptr;
    int len = 0;
    FirmwareRead fr = ReadFirmwareImage(szPath, &buf, &len);
    if (fr == FW_CANNOT_OPEN || fr == FW_UNUSABLE)
        return -1;
    const unsigned char* code = (fr == FW_READ_OK) ? FindVersionCode(buf, len) : nullptr;
    if (code == nullptr) {
        delete[] buf;
        return -2;
    }
    signed char road = static_cast<signed char>(code[3]);
    *pType = (road >= 'A' && road <= 'F') ? 0 : 1;
    strcpy(szModel, ModelName(static_cast<char>(code[1])));
    delete[] buf;
    return 0;
}

int CKvCDUFwDn::BootLoadDownload(unsigned char bMarker) {
    unsigned char push[LDR_PUSH_SIZE];
    memset(push, 0, sizeof push);
    long baud = bMarker ? PUSH_BAUD_MARKED : PUSH_BAUD;
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
    puts(" Start firmware downloading.");
    iBlockCount = 0;
    if (szPath != nullptr && szPath != szFilePath)
        snprintf(szFilePath, sizeof szFilePath, "%s", szPath);

    unsigned char* image = nullptr;
    int len = 0;
    FirmwareRead fr = ReadFirmwareImage(szFilePath, &image, &len);
    if (fr == FW_CANNOT_OPEN)
        return DN_FILE_NOT_FOUND;
    if (fr != FW_READ_OK) {
        delete[] image;
        return DN_FILE_READ_FAIL;
    }

    if (nType != 0) {
        // Loader road: make sure the port can be had before pushing anything.
        int r = CDUFW_COM_Open(szPortName, LDR_BAUD);
        CDUFW_COM_Close();
        if (r != 0) {
            delete[] image;
            return DN_PORT_OPEN_FAIL;
        }
        DownloadRunningScope running;
        iBlockCount = CountBlocks(len, LDR_BLOCK_SIZE);
        unsigned char bMarker = HasArvoMarker(image, len);
        if (BootLoadDownload(bMarker) != 0 || CDUFW_DownloadReady(szPortName) != 0) {
            delete[] image;
            return DN_NO_RESPONSE;
        }
        r = CDUFW_DataDownload(szPortName, image, len, LDR_BLOCK_SIZE);
        CDUFW_COM_Close();
        delete[] image;
        return r != 0 ? DN_DOWNLOAD_FAIL : DN_OK;
    }

    stblLib.SetCOMSettings(szPortName, BL_BAUD, 8, 2, 1.0f);
    unsigned char st = stblLib.COM_Open();
    if (st != SUCCESS && st != COM_ALREADY_OPENED) {
        delete[] image;
        return DN_PORT_OPEN_FAIL;
    }
    DownloadRunningScope running;
    int r = BootloaderRoad(stblLib, image, len, &iBlockCount);
    if (stblLib.COM_is_Open())
        stblLib.COM_Close();
    delete[] image;
    return r;
}
