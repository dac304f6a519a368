// Host side of the MCU's ROM serial bootloader: command and status codes, the
// records exchanged with the target, and the CSTBLLib client object.
#ifndef KV_STBL_STBLLIB_H
#define KV_STBL_STBLLIB_H

#include <cstdint>

#include "serial/ConsoleSink.h" // ExchangePart

class CRS232;

// ---- Command codes ---------------------------------------------------------
const unsigned char INIT_CON = 0x7F;
const unsigned char GET_CMD = 0x00;
const unsigned char GET_VER_ROPS_CMD = 0x01;
const unsigned char GET_ID_CMD = 0x02;
const unsigned char SET_SPEED_CMD = 0x03;
const unsigned char READ_CMD = 0x11;
const unsigned char GO_CMD = 0x21;
const unsigned char WRITE_CMD = 0x31;
const unsigned char ERASE_CMD = 0x43;
const unsigned char ERASE_EXT_CMD = 0x44;
const unsigned char WRITE_PROTECT_CMD = 0x63;
const unsigned char WRITE_TEMP_UNPROTECT_CMD = 0x71;
const unsigned char WRITE_PERM_UNPROTECT_CMD = 0x73;
const unsigned char READOUT_PROTECT_CMD = 0x82;
const unsigned char READOUT_TEMP_UNPROTECT_CMD = 0x91;
const unsigned char READOUT_PERM_UNPROTECT_CMD = 0x92;

// ---- Status codes ----------------------------------------------------------
const unsigned char SUCCESS = 0x00;
const unsigned char ERROR_OFFSET = 0x00;
const unsigned char COM_ERROR_OFFSET = ERROR_OFFSET + 0x00;
const unsigned char NO_CON_AVAILABLE = COM_ERROR_OFFSET + 0x01;
const unsigned char COM_ALREADY_OPENED = COM_ERROR_OFFSET + 0x02;
const unsigned char CANT_OPEN_COM = COM_ERROR_OFFSET + 0x03;
const unsigned char SEND_FAIL = COM_ERROR_OFFSET + 0x04;
const unsigned char READ_FAIL = COM_ERROR_OFFSET + 0x05;
const unsigned char SYS_MEM_ERROR_OFFSET = ERROR_OFFSET + 0x10;
const unsigned char CANT_INIT_BL = SYS_MEM_ERROR_OFFSET + 0x01;
const unsigned char UNREOGNIZED_DEVICE = SYS_MEM_ERROR_OFFSET + 0x02;
const unsigned char CMD_NOT_ALLOWED = SYS_MEM_ERROR_OFFSET + 0x03;
const unsigned char CMD_FAIL = SYS_MEM_ERROR_OFFSET + 0x04;
const unsigned char PROGRAM_ERROR_OFFSET = ERROR_OFFSET + 0x20;
const unsigned char INPUT_PARAMS_ERROR = PROGRAM_ERROR_OFFSET + 0x01;
const unsigned char INPUT_PARAMS_MEMORY_ALLOCATION_ERROR = PROGRAM_ERROR_OFFSET + 0x02;

// ---- Option-byte addresses -------------------------------------------------
const uint64_t ADDR_F1_OPB = 0x1FFFF800;
const uint64_t ADDR_F2_OPB = 0x1FFFC000;
const uint64_t ADDR_L1_OPB = 0x1FF80000;
const uint64_t ADDR_USER_OPB = 0x1FFFF800;
const uint64_t ADDR_DATA_OPB = 0x1FFFF804;
const uint64_t ADDR_RDP_OPB = 0x1FFFF800;
const uint64_t ADDR_WRP0_OPB = 0x1FFFF808;
const uint64_t ADDR_WRP2_OPB = 0x1FFFF80C;

// ---- Process-wide protocol state (the dialect and the packet size) ---------
extern unsigned char ACK;      // byte that counts as acknowledgement
extern unsigned char NACK;     // negative acknowledgement of the dialect
extern int ACK_VALUE;          // 0x79 or 0x75 dialect; 0 when unrecognised
extern uint64_t MAX_DATA_SIZE; // packet size; 255 until SetPaketSize

// ---- Records ---------------------------------------------------------------

// The command flags, in the order of the Get reply's command list; one
// list for both records below.
// clang-format off
#define STBL_COMMAND_FLAGS(FLAG)                                                 \
    FLAG(bGet) FLAG(bGetVerRops) FLAG(bGetId) FLAG(bSetSpeed) FLAG(bRead)        \
    FLAG(bGo) FLAG(bWrite) FLAG(bErase) FLAG(bEraseExt) FLAG(bWriteProtect)      \
    FLAG(bWriteTempUnprotect) FLAG(bWritePermUnprotect) FLAG(bReadoutProtect)    \
    FLAG(bReadoutTempUnprotect) FLAG(bReadoutPermUnprotect)
// clang-format on
#define STBL_FLAG_MEMBER(name) unsigned char name;

// One flag per command the target announced in its Get reply.
struct Commands {
    STBL_COMMAND_FLAGS(STBL_FLAG_MEMBER)
};

// What the target reported about itself.
struct TargetDescriptor {
    unsigned char Version;
    unsigned char CmdCount;
    unsigned char PIDLen;
    unsigned char* PID; // malloc'ed product-ID bytes, owned by the descriptor
    unsigned char Option1;
    unsigned char Option2;
    STBL_COMMAND_FLAGS(STBL_FLAG_MEMBER)
};

// One bootloader request, built and owned by the calling command.
struct STBL_Request {
    unsigned char cmd;
    unsigned long address;
    unsigned short length;
    unsigned char sectorCount;
    TargetDescriptor* target;
    unsigned char* data;
    unsigned short pageCount;
};

// Where the last failed exchange stopped, for the reason of a failure.
struct ExchangeFailure {
    ExchangePart part;     // after which the refusal or the silence came
    unsigned long address; // of the bulk transfer's packet, or its first differing byte
    bool differs;          // a verify read back other bytes
    int listed, announced; // a Get reply listed fewer commands than announced (announced > 0)
};

// ---- The client object -----------------------------------------------------
// What the tool itself calls (fwdn/BootloaderDownload.cpp): SetCOMSettings,
// COM_Open, COM_Close, COM_is_Open, SetPaketSize, STBL_Init_BL, STBL_GET,
// STBL_READOUT_PERM_UNPROTECT, STBL_WRITE_PERM_UNPROTECT, STBL_ERASE,
// SetActivityTime, STBL_DNLOAD, STBL_VERIFY; and through them Send_RQ,
// GetAckValue, STBL_READ, STBL_WRITE, GetProgress.
// The rest only completes the client library for other callers:
// GetPaketSize, SetTimeOut, STBL_SetEcho, STBL_SetFlowControl, STBL_SetSpeed,
// TARGET_SetComIntType, STBL_GET_VER_ROPS, STBL_GET_ID, STBL_GO,
// STBL_WRITE_PROTECT, STBL_WRITE_TEMP_UNPROTECT, STBL_READOUT_PROTECT,
// STBL_READOUT_TEMP_UNPROTECT, GetActivityTime, STBL_UPLOAD and the
// TARGET_Get*/TARGET_SetOptionBytes option-byte functions.
class CSTBLLib {
  public:
    TargetDescriptor* pTarget;
    CRS232* pCom;
    unsigned long progressCount;
    unsigned long activityTime;
    ExchangeFailure failure; // where the last exchange that failed stopped

    CSTBLLib();
    ~CSTBLLib();
    // Owns raw pointers: copying would free them twice.
    CSTBLLib(const CSTBLLib&) = delete;
    CSTBLLib& operator=(const CSTBLLib&) = delete;

    // Port settings, open and close.
    unsigned char SetCOMSettings(char* port, long baud, int dataBits, int parity, float stopBits);
    unsigned char COM_Open();
    unsigned char COM_Close();
    bool COM_is_Open();
    unsigned char SetPaketSize(unsigned char size);
    unsigned char GetPaketSize(unsigned char* size);
    int GetAckValue();
    unsigned char SetTimeOut(unsigned long ms);
    unsigned char STBL_SetEcho(int mode);
    unsigned char STBL_SetFlowControl(bool on);
    unsigned char STBL_SetSpeed(unsigned long baud);
    unsigned char TARGET_SetComIntType(unsigned char type);

    // Request engine: one complete exchange on the open port.
    unsigned char Send_RQ(STBL_Request* request);

    // Bootloader commands.
    unsigned char STBL_Init_BL();
    // Sets the dialect (0x79 or 0x75) as STBL_Init_BL would on its ACK;
    // INPUT_PARAMS_ERROR for any other value.
    unsigned char STBL_SetDialect(int ackValue);
    unsigned char STBL_GET(unsigned char* version, Commands* commands);
    unsigned char STBL_GET_VER_ROPS(unsigned char* version, unsigned char* optionA,
                                    unsigned char* optionB);
    unsigned char STBL_GET_ID(unsigned char* pidLen, unsigned char* pid);
    unsigned char STBL_READ(unsigned long address, unsigned char size, unsigned char* buffer);
    unsigned char STBL_GO(unsigned long address);
    // Read and Write of an even `size` from 2 to 256 (STBLWide.cpp).
    unsigned char STBL_READ_BLOCK(unsigned long address, unsigned short size,
                                  unsigned char* buffer);
    unsigned char STBL_WRITE_BLOCK(unsigned long address, unsigned short size,
                                   const unsigned char* data);
    unsigned char STBL_WRITE(unsigned long address, unsigned char size, unsigned char* data);
    unsigned char STBL_WRITE_PROTECT(unsigned char count, unsigned char* sectors);
    unsigned char STBL_WRITE_TEMP_UNPROTECT();
    unsigned char STBL_WRITE_PERM_UNPROTECT();
    unsigned char STBL_READOUT_PROTECT();
    unsigned char STBL_READOUT_TEMP_UNPROTECT();
    unsigned char STBL_READOUT_PERM_UNPROTECT();

    // Flash erase: 0xFFFF erases all; otherwise `count` two-byte page numbers.
    unsigned char STBL_ERASE(unsigned short count, unsigned char* pages);

    // Bulk transfer in packets of MAX_DATA_SIZE bytes, with progress.
    unsigned char SetActivityTime(unsigned long total);
    unsigned char GetActivityTime(unsigned long* total);
    unsigned char GetProgress(unsigned char* percent);
    unsigned char STBL_DNLOAD(unsigned long address, const unsigned char* image, unsigned long size,
                              unsigned char optimize);
    unsigned char STBL_VERIFY(unsigned long address, const unsigned char* image, unsigned long size,
                              unsigned char optimize);
    unsigned char STBL_UPLOAD(unsigned long address, unsigned char* buffer, unsigned long size);
    // STBL_DNLOAD and STBL_VERIFY (optimize off) in packets of 256 bytes,
    // whatever MAX_DATA_SIZE holds; the same bars and error lines.
    unsigned char STBL_DNLOAD_WIDE(unsigned long address, const unsigned char* image,
                                   unsigned long size);
    unsigned char STBL_VERIFY_WIDE(unsigned long address, const unsigned char* image,
                                   unsigned long size);

    // Option bytes and small target reads.
    unsigned char TARGET_GetFlashSize(unsigned long address, unsigned short* size);
    unsigned char TARGET_GetMemoryAddress(unsigned long address, unsigned char* value);
    unsigned char TARGET_GetRDPOptionByte(unsigned char* rdp);
    unsigned char TARGET_GetUserOptionByte(unsigned char* user);
    unsigned char TARGET_GetDataOptionByte(unsigned char* data0, unsigned char* data1);
    unsigned char TARGET_GetWRPOptionBytes(unsigned char* wrp0, unsigned char* wrp1,
                                           unsigned char* wrp2, unsigned char* wrp3);
    unsigned char TARGET_SetOptionBytes(unsigned long address, unsigned char user,
                                        unsigned char rdp, unsigned char data0, unsigned char data1,
                                        unsigned char wrp0, unsigned char wrp1, unsigned char wrp2,
                                        unsigned char wrp3);
    unsigned char TARGET_GetOptionBytes(unsigned long address, unsigned char* user,
                                        unsigned char* rdp, unsigned char* data0,
                                        unsigned char* data1, unsigned char* wrp0,
                                        unsigned char* wrp1, unsigned char* wrp2,
                                        unsigned char* wrp3);
};

#endif
