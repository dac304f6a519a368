// CSTBLLib: the object, its port settings, open and close, the small setters
// and getters, and the process-wide dialect and packet-size state.
#include "stbl/STBLLib.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "serial/rs232.h"

unsigned char ACK = 0x79;
unsigned char NACK = 0x1F;
int ACK_VALUE = 0x79;
uint64_t MAX_DATA_SIZE = 0xFF;

namespace {

const size_t PORT_NAME_MAX = 99; // characters; portName holds a terminator too

} // namespace

CSTBLLib::CSTBLLib()
    : pTarget(nullptr), pCom(nullptr), progressCount(0),
      activityTime(0), failure{PART_COMMAND, 0, false, 0, 0} {
    pTarget = static_cast<TargetDescriptor*>(malloc(sizeof(TargetDescriptor)));
    if (pTarget != nullptr) {
        memset(pTarget, 0, sizeof(TargetDescriptor));
        pTarget->PID = static_cast<unsigned char*>(malloc(1));
        if (pTarget->PID != nullptr)
            pTarget->PID[0] = 0;
    }
    pCom = new (std::nothrow) CRS232();
}

CSTBLLib::~CSTBLLib() {
    if (pTarget != nullptr) {
        free(pTarget->PID);
        free(pTarget);
        pTarget = nullptr;
    }
    if (pCom != nullptr) {
        delete pCom;
        pCom = nullptr;
    }
}

unsigned char CSTBLLib::SetCOMSettings(char* port, long baud, int dataBits, int parity,
                                       float stopBits) {
    if (pCom == nullptr) {
        pCom = new (std::nothrow) CRS232();
        if (pCom == nullptr)
            return NO_CON_AVAILABLE;
    }
    if (pCom->isOpen)
        return COM_ALREADY_OPENED;
    if (baud <= 0)
        return INPUT_PARAMS_ERROR;
    if (dataBits < 5 || dataBits > 9)
        return INPUT_PARAMS_ERROR;
    if (parity < 0 || parity > 2)
        return INPUT_PARAMS_ERROR;
    if (stopBits < 1.0f || stopBits > 2.0f)
        return INPUT_PARAMS_ERROR;
    // The name must fit portName whole: a cut name would open another device.
    if (port == nullptr || strnlen(port, PORT_NAME_MAX + 1) > PORT_NAME_MAX)
        return INPUT_PARAMS_ERROR;
    strcpy(pCom->portName, port);
    pCom->baudRate = baud;
    pCom->dataBits = dataBits;
    pCom->parity = parity;
    pCom->stopBits = stopBits;
    return SUCCESS;
}

unsigned char CSTBLLib::COM_Open() {
    if (pCom == nullptr) {
        pCom = new (std::nothrow) CRS232();
        if (pCom == nullptr)
            return CANT_OPEN_COM;
    }
    if (pCom->isOpen)
        return COM_ALREADY_OPENED;
    return pCom->openCom() ? SUCCESS : CANT_OPEN_COM;
}

unsigned char CSTBLLib::COM_Close() {
    if (pCom == nullptr)
        return NO_CON_AVAILABLE;
    if (pCom->isOpen)
        pCom->closeCom();
    delete pCom; // its destructor releases a descriptor a failed open left
    pCom = nullptr;
    return SUCCESS;
}

bool CSTBLLib::COM_is_Open() {
    return pCom != nullptr && pCom->isOpen;
}

unsigned char CSTBLLib::SetPaketSize(unsigned char size) {
    // Below 4 the packet size would be 0, and the bulk transfers divide by it.
    if (size < 4)
        return INPUT_PARAMS_ERROR;
    MAX_DATA_SIZE = size & 0xFCu;
    return SUCCESS;
}

unsigned char CSTBLLib::GetPaketSize(unsigned char* size) {
    if (size == nullptr)
        return INPUT_PARAMS_MEMORY_ALLOCATION_ERROR;
    *size = static_cast<unsigned char>(MAX_DATA_SIZE & 0xFF);
    return SUCCESS;
}

int CSTBLLib::GetAckValue() {
    return ACK_VALUE;
}

unsigned char CSTBLLib::SetTimeOut(unsigned long /*ms*/) {
    // The read time-out is the port's fixed 3 s; only the port state is told.
    return COM_is_Open() ? SUCCESS : NO_CON_AVAILABLE;
}

// After COM_Close there is no port object; a fresh one with the defaults is
// made so that the setting is kept for the next SetCOMSettings / COM_Open
// instead of being dropped while SUCCESS is reported.
unsigned char CSTBLLib::STBL_SetEcho(int mode) {
    if (pCom == nullptr) {
        pCom = new (std::nothrow) CRS232();
        if (pCom == nullptr)
            return NO_CON_AVAILABLE;
    }
    pCom->echoMode = mode;
    return SUCCESS;
}

unsigned char CSTBLLib::STBL_SetFlowControl(bool on) {
    if (pCom == nullptr) {
        pCom = new (std::nothrow) CRS232();
        if (pCom == nullptr)
            return NO_CON_AVAILABLE;
    }
    pCom->flowControl = on;
    return SUCCESS;
}

unsigned char CSTBLLib::STBL_SetSpeed(unsigned long /*baud*/) {
    return CMD_NOT_ALLOWED;
}

unsigned char CSTBLLib::TARGET_SetComIntType(unsigned char /*type*/) {
    return SUCCESS;
}
