// The dispenser's version exchange: the first input byte chooses a scrambled
// (odd) or plain (even) exchange, the rest is everything the dispenser sends
// after the request frame, the reply frame unscrambled by the real cipher.
#include "cdu/CDUCom.h"
#include "fuzz/FuzzLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    char* port = FuzzLineSlave();
    if (ghCduHandle == 0 && CDU_PortOpen(port, 9600) != 0)
        return 0;
    FuzzLineDrain();
    FuzzLineSendAtFirstWait(data + 1, size - 1);
    unsigned char reply[1026]; // the size the version query uses
    CDU_GetInfo(data[0] & 1, reply);
    FuzzLineCancel();
    FuzzLineDrain();
    return 0;
}
