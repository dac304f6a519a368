// The printer's firmware downloader: reads the firmware version and CRC over
// the printer link protocol, and loads a firmware image through the ROM
// bootloader.
#include "rpu/RpuFwDn.h"
#include "serial/ConsoleSink.h"

#include <cstdio>
#include <cstring>

#include "rpu/RPUCom.h"
#include "fwdn/BootloaderDownload.h"
#include "fwdn/DownloadStart.h"

namespace {

// The printer downloader names the port when the command list cannot be read.
const BootDownloadOptions kRpuBoot = {true};

const int VERSION_BAUDS[] = {115200, 460800, 9600, 57600};

} // namespace

CKvRPUFwDn::CKvRPUFwDn() : iBlockCount(0), stblLib(), iBaudRate(0) {
    memset(szPortName, 0, sizeof(szPortName));
    memset(szFilePath, 0, sizeof(szFilePath));
    strcpy(szPortName, kRpuDefaultPort);
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
            ConsolePrintf("\n %s,%d Open Success\n", szPortName, baud);
            found = true;
            break;
        }
        RPU_PortClose();
    }

    if (!found) {
        ConsolePrintf("\n %s Open Fail\n", szPortName);
        RPU_PortClose();
        return result;
    }
    snprintf(pCrc, 5, "%02X%02X", static_cast<unsigned>(crc[0]), static_cast<unsigned>(crc[1]));
    RPU_PortClose();
    return 0;
}

int CKvRPUFwDn::FirmwareDownload(char* szPath) {
    iBlockCount = 0;
    FirmwareImage image;
    FirmwareRead read = StartFileDownload(szFilePath, sizeof szFilePath, szPath, &image);
    if (read != FW_READ_OK)
        return DnResultOfRead(read);
    return BootloaderDownload(stblLib, szPortName, image.data.get(), image.size, &iBlockCount,
                              kRpuBoot);
}

int CKvRPUFwDn::FirmwareDownloadImage(char* szPath, const unsigned char* image,
                                      unsigned long size) {
    iBlockCount = 0;
    FirmwareRead read = StartImageDownload(szFilePath, sizeof szFilePath, szPath, size);
    if (read != FW_READ_OK)
        return DnResultOfRead(read);
    return BootloaderDownload(stblLib, szPortName, image, size, &iBlockCount, kRpuBoot);
}
