// The printer's firmware downloader: reads the firmware version and CRC over
// the printer link protocol, and loads a firmware image through the ROM
// bootloader.
#include "rpu/RpuFwDn.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "rpu/RPUCom.h"
#include "serial/RunState.h"
#include "stbl/FirmwareImage.h"

namespace {

const unsigned long FLASH_START = 0x08000000;
const int PACKET_SIZE = 128;
const long BOOT_BAUD = 115200;
const int BOOT_DATA_BITS = 8;
const int BOOT_PARITY_EVEN = 2;
const float BOOT_STOP_BITS = 1.0f;
const unsigned short ERASE_ALL = 0xFFFF;

const int VERSION_BAUDS[] = {115200, 460800, 9600, 57600};

} // namespace

CKvRPUFwDn::CKvRPUFwDn() : iBlockCount(0), stblLib(), iBaudRate(0) {
    memset(szPortName, 0, sizeof(szPortName));
    memset(szFilePath, 0, sizeof(szFilePath));
    strcpy(szPortName, "/dev/ttyS4");
}

CKvRPUFwDn::~CKvRPUFwDn() {
    RPU_PortClose();
}

int CKvRPUFwDn::GetVersionInfo(char* pVersion, char* pCrc) {
    unsigned char crc[5];
    memset(crc, 0, sizeof(crc));
    int result = -1;
    bool found = false;

    // Every attempt must open the line at its own rate: a port left open by
    // a failed attempt would be kept at the earlier rate, so it is closed.
    RPU_PortClose();
    for (int baud : VERSION_BAUDS) {
        result =
            RPU_InitGetVersion(szPortName, baud, reinterpret_cast<unsigned char*>(pVersion), crc);
        if (result == 0) {
            iBaudRate = baud;
            printf("\n %s,%d Open Success\n", szPortName, baud);
            found = true;
            break;
        }
        RPU_PortClose();
    }

    if (!found) {
        printf("\n %s Open Fail\n", szPortName);
        RPU_PortClose();
        return result;
    }
    snprintf(pCrc, 5, "%02X%02X", static_cast<unsigned>(crc[0]), static_cast<unsigned>(crc[1]));
    RPU_PortClose();
    return 0;
}

namespace {

// The bootloader road on the printer's port for an image in memory.
int LoadImage(CKvRPUFwDn& dn, unsigned char* image, unsigned long size) {
    dn.stblLib.SetCOMSettings(dn.szPortName, BOOT_BAUD, BOOT_DATA_BITS, BOOT_PARITY_EVEN,
                              BOOT_STOP_BITS);
    unsigned char openResult = dn.stblLib.COM_Open();
    if (openResult != SUCCESS && openResult != COM_ALREADY_OPENED) {
        return DN_PORT_OPEN_FAIL;
    }
    DownloadRunningScope running;

    dn.iBlockCount = static_cast<int>(size / PACKET_SIZE + (size % PACKET_SIZE != 0 ? 1 : 0));
    dn.stblLib.SetPaketSize(PACKET_SIZE);

    int result = DN_OK;
    unsigned char version = 0;
    Commands commands;
    memset(&commands, 0, sizeof(commands));

    if (dn.stblLib.STBL_Init_BL() != SUCCESS) {
        result = DN_NO_RESPONSE;
    } else if (dn.stblLib.STBL_GET(&version, &commands) != SUCCESS) {
        if (dn.stblLib.COM_is_Open())
            dn.stblLib.COM_Close();
        printf(" STBL_GET Fail : %s\n", dn.szPortName);
        return DN_NO_RESPONSE;
    } else {
        if (!commands.bRead || !commands.bWrite || !commands.bErase) {
            if (!commands.bRead)
                dn.stblLib.STBL_READOUT_PERM_UNPROTECT();
            if (!commands.bWrite || !commands.bErase)
                dn.stblLib.STBL_WRITE_PERM_UNPROTECT();
            unsigned char again = dn.stblLib.STBL_Init_BL();
            if (again == SUCCESS)
                again = dn.stblLib.STBL_GET(&version, &commands);
            if (again != SUCCESS)
                result = DN_NO_RESPONSE;
        }
        if (result == DN_OK && dn.stblLib.STBL_ERASE(ERASE_ALL, nullptr) != SUCCESS)
            result = DN_DOWNLOAD_FAIL;
        if (result == DN_OK) {
            dn.stblLib.SetActivityTime(static_cast<unsigned long>(dn.iBlockCount));
            if (dn.stblLib.STBL_DNLOAD(FLASH_START, image, size, 0) != SUCCESS)
                result = DN_DOWNLOAD_FAIL;
        }
        if (result == DN_OK) {
            dn.stblLib.SetActivityTime(static_cast<unsigned long>(dn.iBlockCount));
            if (dn.stblLib.STBL_VERIFY(FLASH_START, image, size, 0) != SUCCESS)
                result = DN_VERIFY_FAIL;
        }
    }

    if (dn.stblLib.COM_is_Open())
        dn.stblLib.COM_Close();
    return result;
}

} // namespace

// Copies the path the download is for, as the menus offer it again.
static void KeepPath(char* field, size_t fieldSize, const char* szPath) {
    if (szPath != field)
        snprintf(field, fieldSize, "%s", szPath != nullptr ? szPath : "");
}

int CKvRPUFwDn::FirmwareDownload(char* szPath) {
    puts(" Start firmware downloading.");
    iBlockCount = 0;
    KeepPath(szFilePath, sizeof(szFilePath), szPath);

    unsigned char* image = nullptr;
    int length = 0;
    FirmwareRead read = ReadFirmwareImage(szFilePath, &image, &length);
    if (read != FW_READ_OK) {
        delete[] image;
        return read == FW_CANNOT_OPEN ? DN_FILE_NOT_FOUND : DN_FILE_READ_FAIL;
    }
    int result = LoadImage(*this, image, static_cast<unsigned long>(length));
    delete[] image;
    return result;
}

int CKvRPUFwDn::FirmwareDownloadImage(char* szPath, const unsigned char* image,
                                      unsigned long size) {
    puts(" Start firmware downloading.");
    iBlockCount = 0;
    KeepPath(szFilePath, sizeof(szFilePath), szPath);
    if (image == nullptr || size == 0 || size > static_cast<unsigned long>(kMaxFirmwareImageSize))
        return DN_FILE_READ_FAIL;
    // The bootloader client takes a writable buffer; the caller's bytes stay as they are.
    unsigned char* copy = new (std::nothrow) unsigned char[size];
    if (copy == nullptr)
        return DN_FILE_READ_FAIL;
    memcpy(copy, image, size);
    int result = LoadImage(*this, copy, size);
    delete[] copy;
    return result;
}
