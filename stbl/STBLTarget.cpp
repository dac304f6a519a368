// Option bytes and small reads of target memory: the flash-size register,
// single bytes, and the option-byte sets of the F1, L1 and F2 layouts.
#include <cstdlib>
#include <cstring>

#include "stbl/STBLLib.h"

namespace {

// Bytes of one option-byte set as it lies in target memory.
const unsigned char OPTION_SET_SIZE = 16;

// Where the 0x75 dialect keeps its write-protection bytes.
const unsigned long ADDR_WRP_0X75 = 0x2010DFB0;

// A work buffer of the packet size filled with 0xFF, but never smaller than
// one option-byte set, so that filling or reading a whole set cannot run past
// it whatever the packet size is.
unsigned char* NewOptionBuffer() {
    size_t length =
        MAX_DATA_SIZE < OPTION_SET_SIZE ? OPTION_SET_SIZE : static_cast<size_t>(MAX_DATA_SIZE);
    unsigned char* buffer = static_cast<unsigned char*>(malloc(length));
    if (buffer != nullptr)
        memset(buffer, 0xFF, length);
    return buffer;
}

// The checks every operation of this unit makes before it touches the line.
unsigned char TargetPreconditions(CSTBLLib* lib) {
    if (!lib->COM_is_Open())
        return NO_CON_AVAILABLE;
    if (lib->pTarget->bRead == 0)
        return CMD_NOT_ALLOWED;
    return SUCCESS;
}

// Reads `size` bytes at `address` into a fresh option buffer. On success the
// caller owns *out; on failure nothing is left allocated.
unsigned char ReadInto(CSTBLLib* lib, unsigned long address, unsigned char size,
                       unsigned char** out) {
    *out = nullptr;
    unsigned char* buffer = NewOptionBuffer();
    if (buffer == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char status = lib->STBL_READ(address, size, buffer);
    if (status != SUCCESS) {
        free(buffer);
        return status;
    }
    *out = buffer;
    return SUCCESS;
}

// Lays out the 16-byte image of an option set for the given layout address.
// Any other address leaves the bytes as they are (0xFF).
void FillOptionImage(unsigned long address, unsigned char* b, unsigned char user, unsigned char rdp,
                     unsigned char data0, unsigned char data1, unsigned char wrp0,
                     unsigned char wrp1, unsigned char wrp2, unsigned char wrp3) {
    auto inv = [](unsigned char x) { return static_cast<unsigned char>(~x); };
    if (address == ADDR_F1_OPB) {
        const unsigned char f1[OPTION_SET_SIZE] = {
            rdp,  inv(rdp),  user, inv(user), data0, inv(data0), data1, inv(data1),
            wrp0, inv(wrp0), wrp1, inv(wrp1), wrp2,  inv(wrp2),  wrp3,  inv(wrp3)};
        memcpy(b, f1, OPTION_SET_SIZE);
    } else if (address == ADDR_L1_OPB) {
        const unsigned char l1[OPTION_SET_SIZE] = {
            rdp,  0x00, inv(rdp),  0x00,      user, 0x00, inv(user), 0x00,
            wrp0, wrp1, inv(wrp0), inv(wrp1), wrp2, wrp3, inv(wrp2), inv(wrp3)};
        memcpy(b, l1, OPTION_SET_SIZE);
    } else if (address == ADDR_F2_OPB) {
        const unsigned char f2[OPTION_SET_SIZE] = {user, rdp,  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                   wrp0, wrp1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        memcpy(b, f2, OPTION_SET_SIZE);
    }
}

} // namespace

unsigned char CSTBLLib::TARGET_GetFlashSize(unsigned long address, unsigned short* size) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (size == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    status = ReadInto(this, address, 2, &b);
    if (status != SUCCESS)
        return status;
    *size = static_cast<unsigned short>(b[0] + 256 * b[1]);
    free(b);
    return SUCCESS;
}

unsigned char CSTBLLib::TARGET_GetMemoryAddress(unsigned long address, unsigned char* value) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (value == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    // The read moves an even count: two bytes arrive, the first is the value.
    status = ReadInto(this, address, 1, &b);
    if (status != SUCCESS)
        return status;
    *value = b[0];
    free(b);
    return SUCCESS;
}

unsigned char CSTBLLib::TARGET_GetRDPOptionByte(unsigned char* rdp) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (rdp == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    status = ReadInto(this, static_cast<unsigned long>(ADDR_RDP_OPB), 8, &b);
    if (status != SUCCESS)
        return status;
    // A byte followed by its complement reads as the unprotected level.
    *rdp = (b[0] + b[1] == 255) ? 0xA5 : 0xFF;
    free(b);
    return SUCCESS;
}

unsigned char CSTBLLib::TARGET_GetUserOptionByte(unsigned char* user) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (user == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    status = ReadInto(this, static_cast<unsigned long>(ADDR_USER_OPB), 8, &b);
    if (status != SUCCESS)
        return status;
    *user = b[2];
    free(b);
    return SUCCESS;
}

unsigned char CSTBLLib::TARGET_GetDataOptionByte(unsigned char* data0, unsigned char* data1) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (data0 == nullptr || data1 == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    status = ReadInto(this, static_cast<unsigned long>(ADDR_DATA_OPB), 8, &b);
    if (status != SUCCESS)
        return status;
    *data0 = b[0];
    *data1 = b[2];
    free(b);
    return SUCCESS;
}

unsigned char CSTBLLib::TARGET_GetWRPOptionBytes(unsigned char* wrp0, unsigned char* wrp1,
                                                 unsigned char* wrp2, unsigned char* wrp3) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (wrp0 == nullptr || wrp1 == nullptr || wrp2 == nullptr || wrp3 == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    if (ACK_VALUE == 0x79) {
        status = ReadInto(this, static_cast<unsigned long>(ADDR_WRP0_OPB), 8, &b);
        if (status != SUCCESS)
            return status;
        *wrp0 = b[0];
        *wrp1 = b[2];
        free(b);
        status = ReadInto(this, static_cast<unsigned long>(ADDR_WRP2_OPB), 8, &b);
        if (status != SUCCESS)
            return status;
        *wrp2 = b[0];
        *wrp3 = b[2];
        free(b);
        return SUCCESS;
    }
    if (ACK_VALUE == 0x75) {
        status = ReadInto(this, ADDR_WRP_0X75, 8, &b);
        if (status != SUCCESS)
            return status;
        *wrp0 = b[0];
        *wrp1 = b[1];
        *wrp2 = b[2];
        *wrp3 = b[3];
        free(b);
        return SUCCESS;
    }
    // No bootloader reply recognised yet: there is no address to read from.
    return UNREOGNIZED_DEVICE;
}

unsigned char CSTBLLib::TARGET_SetOptionBytes(unsigned long address, unsigned char user,
                                              unsigned char rdp, unsigned char data0,
                                              unsigned char data1, unsigned char wrp0,
                                              unsigned char wrp1, unsigned char wrp2,
                                              unsigned char wrp3) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    unsigned char* b = NewOptionBuffer();
    if (b == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    FillOptionImage(address, b, user, rdp, data0, data1, wrp0, wrp1, wrp2, wrp3);
    status = STBL_WRITE(address, OPTION_SET_SIZE, b);
    free(b);
    return status;
}

unsigned char CSTBLLib::TARGET_GetOptionBytes(unsigned long address, unsigned char* user,
                                              unsigned char* rdp, unsigned char* data0,
                                              unsigned char* data1, unsigned char* wrp0,
                                              unsigned char* wrp1, unsigned char* wrp2,
                                              unsigned char* wrp3) {
    unsigned char status = TargetPreconditions(this);
    if (status != SUCCESS)
        return status;
    if (user == nullptr || rdp == nullptr || data0 == nullptr || data1 == nullptr ||
        wrp0 == nullptr || wrp1 == nullptr || wrp2 == nullptr || wrp3 == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    unsigned char* b = nullptr;
    status = ReadInto(this, address, OPTION_SET_SIZE, &b);
    if (status != SUCCESS)
        return status;
    if (address == ADDR_F1_OPB) {
        // The complements are not checked.
        *rdp = b[0];
        *user = b[2];
        *data0 = b[4];
        *data1 = b[6];
        *wrp0 = b[8];
        *wrp1 = b[10];
        *wrp2 = b[12];
        *wrp3 = b[14];
    } else if (address == ADDR_L1_OPB) {
        *rdp = b[0];
        *user = b[4];
        *data0 = 0x00;
        *data1 = 0x00;
        *wrp0 = b[8];
        *wrp1 = b[9];
        *wrp2 = b[12];
        *wrp3 = b[13];
    } else if (address == ADDR_F2_OPB) {
        *user = b[0];
        *rdp = b[1];
        *data0 = 0xFF;
        *data1 = 0xFF;
        *wrp0 = b[8];
        *wrp1 = b[9];
        *wrp2 = 0xFF;
        *wrp3 = 0xFF;
    }
    free(b);
    return SUCCESS;
}
