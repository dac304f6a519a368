// The dialect setter: a caller that learns the dialect from a running ROM
// bootloader's NACK (it was synchronised before) sets it here.
#include "stbl/STBLLib.h"

unsigned char CSTBLLib::STBL_SetDialect(int ackValue) {
    if (ackValue == 0x79) {
        ACK_VALUE = 0x79;
        ACK = 0x79;
        NACK = 0x1F;
        return SUCCESS;
    }
    if (ackValue == 0x75) {
        ACK_VALUE = 0x75;
        ACK = 0x75;
        NACK = 0x3F;
        return SUCCESS;
    }
    return INPUT_PARAMS_ERROR;
}
