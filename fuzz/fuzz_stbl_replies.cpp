// The ROM bootloader's replies: the bytes after the first input byte answer
// the start byte and Get, then Get-ID (first byte even) or Read of the size
// the first byte gives (odd).
#include <termios.h>

#include "fuzz/FuzzLine.h"
#include "serial/rs232.h"
#include "stbl/STBLLib.h"

namespace {

CSTBLLib* OpenLib() {
    static CSTBLLib lib;
    if (!lib.COM_is_Open()) {
        lib.SetCOMSettings(FuzzLineSlave(), 115200, 8, 2, 1.0f);
        if (lib.COM_Open() != SUCCESS)
            return nullptr;
        lib.SetPaketSize(128);
        // An exhausted input reads as "no byte" at once, instead of after
        // the port's 3-second terminal time-out.
        struct termios tio;
        tcgetattr(lib.pCom->fd, &tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(lib.pCom->fd, TCSANOW, &tio);
    }
    return &lib;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    CSTBLLib* lib = OpenLib();
    if (lib == nullptr)
        return 0;
    FuzzLineDrain();
    tcflush(lib->pCom->fd, TCIFLUSH);
    FuzzLineSend(data + 1, size - 1);
    unsigned char version = 0;
    Commands commands{};
    lib->STBL_Init_BL();
    lib->STBL_GET(&version, &commands);
    if ((data[0] & 1) == 0) {
        unsigned char pidLen = 0;
        unsigned char pid[256];
        lib->STBL_GET_ID(&pidLen, pid);
    } else {
        unsigned char buffer[128];
        unsigned char n = static_cast<unsigned char>(data[0] >> 1); // 0 .. 127
        lib->STBL_READ(0x08000000, n, buffer);
    }
    FuzzLineDrain();
    return 0;
}
