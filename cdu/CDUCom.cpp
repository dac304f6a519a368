// Dispenser link protocol, host side (online mode): request frames, plain or
// scrambled, the ENQ/ACK handshake, the polled reception of the reply frame,
// and the version and cassette requests with their one retry.
//
// Frame: STX, L (16 bits, low byte first), L payload bytes, ETX, check byte
// (XOR of everything from the length up to and including the ETX). The
// first plain payload byte of a reply is the reply code.
#include "cdu/CDUCom.h"

#include <cstring>
#include <unistd.h>

#include "cdu/DeviceData.h"
#include "serial/ComPort.h"

int ghCduHandle = 0;
pthread_mutex_t g_mutexCDU = PTHREAD_MUTEX_INITIALIZER;
unsigned long dwStartT = 0;

namespace {

const unsigned char STX = 0x02;
const unsigned char ETX = 0x03;
const unsigned char ENQ = 0x05;
const unsigned char ACK = 0x06;

const int kBufferSize = 2048;
const int kRecvSize = 1026;
const int kMaxStored = 1025;
const int kFrameOverhead = 5;
const int kMaxScrambledData = 125; // key index + command + 125 bytes = 127
const int kMaxScrambledFrame = 255;
const int kMinScrambledFrame = 7; // key index and reply code at least
const unsigned char kKeyCount = 64;

const int kAckWindowMs = 1000;
const unsigned long kEnqWindowMs = 2000;
const int kReplyWindowMs = 3000;
const useconds_t kVersionRetryPauseUs = 500000;
const useconds_t kSetRetryPauseUs = 50000;

int Unlocked(int code) {
    pthread_mutex_unlock(&g_mutexCDU);
    return code;
}

int ReplyResult(unsigned char code) {
    if (code == 'O')
        return 0;
    if (code == 'P')
        return 2;
    return -1;
}

} // namespace

int CDU_PortOpen(char* szPort, int nBaud) {
    if (ghCduHandle == 0)
        ghCduHandle = OpenComPort(szPort, nBaud, 8, 0);
    return ghCduHandle != 0 ? 0 : -4;
}

void CDU_PortClose() {
    if (ghCduHandle != 0)
        CloseComPort(ghCduHandle);
    ghCduHandle = 0;
}

int SendCduEnqAndRecv() {
    WritePort(ghCduHandle, ENQ);
    uint64_t start = GetTickCount();
    for (;;) {
        // Compared directly on the tick: this wait has no pacing sleep of its
        // own (each read polls with its own sleeps).
        if (GetTickCount() - start > kEnqWindowMs)
            return -2;
        unsigned char byte = 0;
        if (ReadPort(ghCduHandle, &byte) != 0)
            continue;
        if (byte == ACK)
            return 0;
        if (byte == STX)
            return 1;
    }
}

int SendCduDataFrame(unsigned char bEncrypt, unsigned char* pData, int nLen) {
    // Refuse what the frame buffer or the scrambler's byte-wide lengths
    // cannot carry, before anything is locked or sent.
    if (nLen < 0 || (nLen > 0 && pData == nullptr))
        return -1;
    if (bEncrypt ? (nLen < 1 || nLen - 1 > kMaxScrambledData)
                 : (nLen + kFrameOverhead > kBufferSize))
        return -1;

    if (bEncrypt)
        WarnIfPlaceholder(DATA_KEY_TABLE);
    pthread_mutex_lock(&g_mutexCDU);
    FlushComPort(ghCduHandle);

    unsigned char payload[kBufferSize];
    int length = nLen;
    if (bEncrypt) {
        length = MakeEncryptionData(static_cast<char>(pData[0]), reinterpret_cast<char*>(pData + 1),
                                    static_cast<char>(nLen - 1), reinterpret_cast<char*>(payload));
        if (length < 0)
            return Unlocked(-1);
    } else if (nLen > 0) {
        std::memcpy(payload, pData, size_t(nLen));
    }

    unsigned char frame[kBufferSize];
    int pos = 0;
    frame[pos++] = STX;
    frame[pos++] = static_cast<unsigned char>(length & 0xFF);
    frame[pos++] = static_cast<unsigned char>((length >> 8) & 0xFF);
    if (length > 0)
        std::memcpy(frame + pos, payload, size_t(length));
    pos += length;
    frame[pos++] = ETX;
    unsigned char check = 0;
    for (int i = 1; i < pos; ++i)
        check ^= frame[i];
    frame[pos++] = check;
    WriteBlockPort(ghCduHandle, frame, pos);

    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, kAckWindowMs))
            return Unlocked(-2);
        unsigned char byte = 0;
        if (ReadPort(ghCduHandle, &byte) == 0 && byte == ACK)
            return 0; // the lock stays held for the reply
    }
}

int RecvCduDataFrame(unsigned char bEncrypt, int nTimeOut, int bContinue, unsigned char* pRecv) {
    // Every return below releases the lock. A new reply wait runs under the
    // lock its request frame took; a continued wait (after a 'P' reply,
    // whose return released the lock) takes it again for its own exchange.
    if (bContinue != 0)
        pthread_mutex_lock(&g_mutexCDU);

    unsigned char buffer[kRecvSize];
    std::memset(buffer, 0, sizeof buffer);
    if (bContinue == 0)
        dwStartT = static_cast<unsigned long>(GetTickCount());

    for (;;) {
        if (CheckTimeOut(dwStartT, nTimeOut))
            return Unlocked(-2);
        int poll = SendCduEnqAndRecv();
        if (poll < 0)
            return Unlocked(poll);
        if (poll == 1)
            break;
    }

    int count = 0;
    short length = 0;
    buffer[count++] = STX;
    for (;;) {
        if (CheckTimeOut(dwStartT, nTimeOut))
            return Unlocked(-2);
        unsigned char byte = 0;
        if (ReadPort(ghCduHandle, &byte) != 0 || byte == 0xFF)
            continue;
        buffer[count++] = byte;
        if (count == 3)
            length = static_cast<short>(buffer[1] | (buffer[2] << 8));
        if (byte == ETX && count == length + 4) {
            unsigned char check = 0; // stored as read, never compared
            ReadPort(ghCduHandle, &check);
            buffer[count++] = check;
            WritePort(ghCduHandle, ACK);
            break;
        }
        if (count >= kMaxStored)
            return Unlocked(-3);
    }

    if (bEncrypt) {
        // A scrambled reply must carry a key index and a reply code, fit the
        // unscrambler's one-byte length, and name an entry of the table.
        if (count < kMinScrambledFrame || count > kMaxScrambledFrame || buffer[3] >= kKeyCount)
            return Unlocked(-1);
        if (DecryptReceivedData(0, buffer, pRecv, static_cast<unsigned char>(count)) < 1)
            return Unlocked(-1);
    } else {
        std::memcpy(pRecv, buffer, size_t(count));
    }
    return Unlocked(ReplyResult(pRecv[3]));
}

int CDU_GetInfo(unsigned char bEncrypt, unsigned char* pRecv) {
    unsigned char request[1] = {'V'};
    int result = SendCduDataFrame(bEncrypt, request, 1);
    if (result != 0)
        return result;
    return RecvCduDataFrame(bEncrypt, kReplyWindowMs, 0, pRecv);
}

int CDU_SetInfo(unsigned char bEncrypt, int nCassette) {
    unsigned char request[5] = {'T', 'M', 'U', static_cast<unsigned char>('0' + nCassette), '1'};
    // Cleared, so that a reply that delivers no reply code can never be read
    // as the 'O' of an earlier exchange.
    unsigned char reply[kRecvSize];
    std::memset(reply, 0, sizeof reply);
    int result = SendCduDataFrame(bEncrypt, request, 5);
    if (result != 0)
        return result;
    return RecvCduDataFrame(bEncrypt, kReplyWindowMs, 0, reply);
}

int CDU_ModeChange() {
    return -1;
}

int CDU_InitModeChange(char* /*szPort*/, int /*nBaud*/) {
    return -1;
}

int CDU_InitGetVersion(unsigned char bEncrypt, char* szPort, int nBaud, unsigned char* pVersion) {
    unsigned char reply[kRecvSize];
    std::memset(reply, 0, sizeof reply);
    int result = CDU_PortOpen(szPort, nBaud);
    if (result != 0)
        return result;
    result = CDU_GetInfo(bEncrypt, reply);
    if (result != 0) {
        ComSleepUs(kVersionRetryPauseUs);
        // A short second reply must not be topped up with bytes of the first.
        std::memset(reply, 0, sizeof reply);
        result = CDU_GetInfo(!bEncrypt, reply);
    }
    if (result == 0)
        std::memcpy(pVersion, reply + 4, 13);
    return result;
}

int CDU_InitSetInformation(unsigned char bEncrypt, char* szPort, int nBaud, int nCassette) {
    int result = CDU_PortOpen(szPort, nBaud);
    if (result != 0)
        return result;
    if (CDU_SetInfo(bEncrypt, nCassette) == 0)
        return 0;
    ComSleepUs(kSetRetryPauseUs);
    return CDU_SetInfo(!bEncrypt, nCassette);
}
