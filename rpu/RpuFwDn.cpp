// The printer's firmware downloader: reads the firmware version and CRC over
// the printer link protocol, and loads a firmware image through the ROM
// bootloader.
#include "rpu/RpuFwDn.h"

#include <cstdio>
#include <cstring>

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

int CKvRPUFwDn::FirmwareDownload(char* szPath) {
    puts(" Start firmware downloading.");
    iBlockCount = 0;
    if (szPath != szFilePath) {
        const char* source = szPath != nullptr ? szPath : "";
        snprintf(szFilePath, sizeof(szFilePath), "%s", source);
    }

    unsigned char* image = nullptr;
    int length = 0;
    FirmwareRead read = ReadFirmwareImage(szFilePath, &image, &length);
    if (read != FW_READ_OK) {
        delete[] image;
        return read == FW_CANNOT_OPEN ? DN_FILE_NOT_FOUND : DN_FILE_READ_FAIL;
    }
    unsigned long size = static_cast<unsigned long>(length);

    stblLib.SetCOMSettings(szPortName, BOOT_BAUD, BOOT_DATA_BITS, BOOT_PARITY_EVEN, BOOT_STOP_BITS);
    unsigned char openResult = stblLib.COM_Open();
    if (openResult != SUCCESS && openResult != COM_ALREADY_OPENED) {
        delete[] image;
        return DN_PORT_OPEN_FAIL;
    }
    DownloadRunningScope running;

    iBlockCount = static_cast<int>(size / PACKET_SIZE + (size % PACKET_SIZE != 0 ? 1 : 0));
    stblLib.SetPaketSize(PACKET_SIZE);

    int result = DN_OK;
    unsigned char version = 0;
    Commands commands;
    memset(&commands, 0, sizeof(commands));

    if (stblLib.STBL_Init_BL() != SUCCESS) {
        result = DN_NO_RESPONSE;
    } else if (stblLib.STBL_GET(&version, &commands) != SUCCESS) {
        delete[] image;
        if (stblLib.COM_is_Open())
            stblLib.COM_Close();
        printf(" STBL_GET Fail : %s\n", szPortName);
        return DN_NO_RESPONSE;
    } else {
        if (!commands.bRead || !commands.bWrite || !commands.bErase) {
            if (!commands.bRead)
                stblLib.STBL_READOUT_PERM_UNPROTECT();
            if (!commands.bWrite || !commands.bErase)
                stblLib.STBL_WRITE_PERM_UNPROTECT();
            unsigned char again = stblLib.STBL_Init_BL();
            if (again == SUCCESS)
                again = stblLib.STBL_GET(&version, &commands);
            if (again != SUCCESS)
                result = DN_NO_RESPONSE;
        }
        if (result == DN_OK && stblLib.STBL_ERASE(ERASE_ALL, nullptr) != SUCCESS)
            result = DN_DOWNLOAD_FAIL;
        if (result == DN_OK) {
            stblLib.SetActivityTime(static_cast<unsigned long>(iBlockCount));
            if (stblLib.STBL_DNLOAD(FLASH_START, image, size, 0) != SUCCESS)
                result = DN_DOWNLOAD_FAIL;
        }
        if (result == DN_OK) {
            stblLib.SetActivityTime(static_cast<unsigned long>(iBlockCount));
            if (stblLib.STBL_VERIFY(FLASH_START, image, size, 0) != SUCCESS)
                result = DN_VERIFY_FAIL;
        }
    }

    delete[] image;
    if (stblLib.COM_is_Open())
        stblLib.COM_Close();
    return result;
}
