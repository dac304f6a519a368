// The printer's version exchange with the bytes of one input as everything
// the printer sends after the request frame: the frame ACK, the poll replies
// and the reply frame.
#include "fuzz/FuzzLine.h"
#include "rpu/RPUCom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* port = FuzzLineSlave();
    if (ghRpuHandle == 0 && RPU_PortOpen(port, 115200) != 0)
        return 0;
    FuzzLineDrain();
    FuzzLineSendAtFirstWait(data, size);
    unsigned char reply[1026]; // the size the version query uses
    RPU_GetVersion(reply);
    FuzzLineCancel();
    FuzzLineDrain();
    return 0;
}
