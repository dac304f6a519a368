// Printer link protocol, host side: the version request frame, the ENQ/ACK
// handshake and the polled reception of the reply frame.
//
// Frame: STX, N (16 bits, low byte first), N data bytes, ETX, check byte
// (XOR of everything from the length up to and including the ETX).
#include "rpu/RPUCom.h"

#include <cstring>

#include "serial/ComPort.h"

int ghRpuHandle = 0;
pthread_mutex_t g_mutexRPU = PTHREAD_MUTEX_INITIALIZER;
unsigned char gBigSendData[64972];

namespace {

const unsigned char ENQ = 0x05;
const unsigned char ACK = 0x06;
const unsigned char STX = 0x02;
const unsigned char ETX = 0x03;

const int kEnqWindowMs = 3000;
const int kAckWindowMs = 2000;
const int kReplyWindowMs = 3000;
// A reply is stored in a 1026-byte buffer: at most 1025 bytes up to the ETX
// and the check byte.
const int kMaxStored = 1024;
const int kFrameOverhead = 5;

int Unlocked(int code) {
    pthread_mutex_unlock(&g_mutexRPU);
    return code;
}

} // namespace

int RPU_PortOpen(char* szPort, int nBaud) {
    if (ghRpuHandle == 0)
        ghRpuHandle = OpenComPort(szPort, nBaud, 8, 0);
    return ghRpuHandle != 0 ? 0 : -4;
}

void RPU_PortClose() {
    if (ghRpuHandle != 0)
        CloseComPort(ghRpuHandle);
    ghRpuHandle = 0;
}

int SendRpuEnqAndRecv() {
    WritePort(ghRpuHandle, ENQ);
    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, kEnqWindowMs))
            return -2;
        unsigned char byte = 0;
        if (ReadPort(ghRpuHandle, &byte) != 0)
            continue;
        if (byte == ACK)
            return 0;
        if (byte == STX)
            return 1;
    }
}

int SendRpuDataFrame(unsigned char* pData, int nLen) {
    // The frame is built in gBigSendData and its length field is 16 bits:
    // a payload that does not fit is refused before anything is sent.
    if (nLen < 0 || nLen > 0xFFFF || nLen + kFrameOverhead > int(sizeof gBigSendData) ||
        (nLen > 0 && pData == nullptr))
        return -1;
    pthread_mutex_lock(&g_mutexRPU);
    FlushComPort(ghRpuHandle);

    int pos = 0;
    gBigSendData[pos++] = STX;
    gBigSendData[pos++] = static_cast<unsigned char>(nLen & 0xFF);
    gBigSendData[pos++] = static_cast<unsigned char>((nLen >> 8) & 0xFF);
    if (nLen > 0)
        std::memcpy(gBigSendData + pos, pData, size_t(nLen));
    pos += nLen;
    gBigSendData[pos++] = ETX;
    unsigned char check = 0;
    for (int i = 1; i < pos; ++i)
        check ^= gBigSendData[i];
    gBigSendData[pos++] = check;
    WriteBlockPort(ghRpuHandle, gBigSendData, pos);

    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, kAckWindowMs))
            return Unlocked(-2);
        unsigned char byte = 0;
        if (ReadPort(ghRpuHandle, &byte) == 0 && byte == ACK)
            return 0; // the lock stays held for the reply
    }
}

int RecvRpuDataFrame(int nTimeOut, unsigned char* pRecv) {
    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, nTimeOut))
            return Unlocked(-2);
        int poll = SendRpuEnqAndRecv();
        if (poll < 0)
            return Unlocked(-2);
        if (poll == 1)
            break;
    }

    int count = 0;
    int length = 0;
    pRecv[count++] = STX;
    for (;;) {
        if (CheckTimeOut(start, nTimeOut))
            return Unlocked(-2);
        unsigned char byte = 0;
        if (ReadPort(ghRpuHandle, &byte) != 0)
            continue;
        if (byte == 0xFF) // line noise; never stored
            continue;
        pRecv[count++] = byte;
        if (count == 3)
            length = pRecv[1] | (pRecv[2] << 8);
        if (byte == ETX && count == length + 4) {
            // The check byte is stored as it comes, not compared.
            unsigned char check = 0;
            ReadPort(ghRpuHandle, &check);
            pRecv[count++] = check;
            WritePort(ghRpuHandle, ACK);
            unsigned char status = pRecv[3];
            return Unlocked(status == 'O' || status == 'S' ? 0 : -1);
        }
        if (count > kMaxStored)
            return Unlocked(-3);
    }
}

int RPU_GetVersion(unsigned char* pRecv) {
    unsigned char request = 'V';
    int result = SendRpuDataFrame(&request, 1);
    if (result != 0) {
        RPU_PortClose();
        return result;
    }
    return RecvRpuDataFrame(kReplyWindowMs, pRecv);
}

int RPU_InitGetVersion(char* szPort, int nBaud, unsigned char* pVersion, unsigned char* pCrc) {
    unsigned char reply[1026];
    std::memset(reply, 0, sizeof reply);
    int result = RPU_PortOpen(szPort, nBaud);
    if (result != 0)
        return result;
    result = RPU_GetVersion(reply);
    if (result != 0)
        return result;
    std::memcpy(pVersion, reply + 4, 5);
    pCrc[0] = reply[9];
    pCrc[1] = reply[10];
    pCrc[2] = 0;
    return 0;
}
