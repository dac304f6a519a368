// Dispenser link protocol, host side (online mode): request frames, plain or
// scrambled, over the shared link engine with the dispenser's windows; the
// reply codes, and the version and cassette requests with their one retry.
//
// The first plain payload byte of a reply is the reply code.
#include "cdu/CDUCom.h"

#include <cstring>
#include <unistd.h>

#include "cdu/DeviceData.h"
#include "serial/ComPort.h"
#include "serial/Link.h"

int ghCduHandle = 0;
pthread_mutex_t g_mutexCDU = PTHREAD_MUTEX_INITIALIZER;
unsigned long dwStartT = 0;

namespace {

const LinkProfile kDispenser = {&ghCduHandle, &g_mutexCDU, 1000, 2000, false};

const int kBufferSize = 2048;
const int kFrameOverhead = kLinkFrameOverhead;
const int kMaxScrambledData = kCipherMaxData;
const int kMaxScrambledFrame = 255;
const int kMinScrambledFrame = 7; // key index and reply code at least
const unsigned char kKeyCount = kCipherKeyCount;
const int kVersionBytes = 13;

const int kReplyWindowMs = 3000;
const useconds_t kVersionRetryPauseUs = 500000;
const useconds_t kSetRetryPauseUs = 50000;

int ReplyResult(unsigned char code) {
    if (code == 'O')
        return 0;
    if (code == 'P')
        return 2;
    return -1;
}

// The reply wait of RecvCduDataFrame; *plain is set to the number of plain
// payload bytes handed over (reply code and data) when a frame was taken.
int ReceiveReply(unsigned char bEncrypt, int nTimeOut, int bContinue, unsigned char* pRecv,
                 int* plain) {
    // A new reply wait runs under the lock its request frame took; a
    // continued wait (after a 'P' reply, whose return released the lock)
    // takes it again for its own exchange. The engine releases it.
    if (bContinue != 0)
        pthread_mutex_lock(&g_mutexCDU);

    unsigned char buffer[kLinkReplySize];
    std::memset(buffer, 0, sizeof buffer);
    if (bContinue == 0)
        dwStartT = static_cast<unsigned long>(GetTickCount());

    int count = 0;
    int result = LinkReceiveFrame(kDispenser, dwStartT, nTimeOut, buffer, &count);
    if (result != 0)
        return result;

    if (bEncrypt) {
        // A scrambled reply must carry a key index and a reply code, fit the
        // unscrambler's one-byte length, and name an entry of the table.
        if (count < kMinScrambledFrame || count > kMaxScrambledFrame || buffer[3] >= kKeyCount)
            return -1;
        short n = DecryptReceivedData(0, buffer, pRecv, static_cast<unsigned char>(count));
        if (n < 1)
            return -1;
        *plain = n;
    } else {
        std::memcpy(pRecv, buffer, size_t(count));
        *plain = count - kFrameOverhead;
    }
    return ReplyResult(pRecv[3]);
}

} // namespace

int SendCduEnqAndRecv() {
    return LinkPollEnq(kDispenser);
}

int SendCduDataFrame(unsigned char bEncrypt, unsigned char* pData, int nLen) {
    // Refuse what the frame buffer or the scrambler's byte-wide lengths
    // cannot carry, before anything is locked or sent.
    if (nLen < 0 || (nLen > 0 && pData == nullptr))
        return -1;
    if (bEncrypt ? (nLen < 1 || nLen - 1 > kMaxScrambledData)
                 : (nLen + kFrameOverhead > kBufferSize))
        return -1;

    unsigned char payload[kBufferSize];
    int length = nLen;
    if (bEncrypt) {
        WarnIfPlaceholder(DATA_KEY_TABLE);
        length = MakeEncryptionData(static_cast<char>(pData[0]), reinterpret_cast<char*>(pData + 1),
                                    static_cast<char>(nLen - 1), reinterpret_cast<char*>(payload));
        if (length < 0)
            return -1;
    } else if (nLen > 0) {
        std::memcpy(payload, pData, size_t(nLen));
    }
    unsigned char frame[kBufferSize];
    return LinkSendFrame(kDispenser, frame, payload, length);
}

int RecvCduDataFrame(unsigned char bEncrypt, int nTimeOut, int bContinue, unsigned char* pRecv) {
    int plain = 0;
    return ReceiveReply(bEncrypt, nTimeOut, bContinue, pRecv, &plain);
}

int CDU_GetInfo(unsigned char bEncrypt, unsigned char* pRecv) {
    unsigned char request[1] = {'V'};
    int result = SendCduDataFrame(bEncrypt, request, 1);
    if (result != 0)
        return result;
    int plain = 0;
    result = ReceiveReply(bEncrypt, kReplyWindowMs, 0, pRecv, &plain);
    // A reply too short to hold the 13 version bytes after its code, or one
    // with an empty version, is no answer.
    if (result == 0 && (plain < 1 + kVersionBytes || pRecv[4] == 0))
        return -1;
    return result;
}

int CDU_SetInfo(unsigned char bEncrypt, int nCassette) {
    unsigned char request[5] = {'T', 'M', 'U', static_cast<unsigned char>('0' + nCassette), '1'};
    // Cleared, so that a reply that delivers no reply code can never be read
    // as the 'O' of an earlier exchange.
    unsigned char reply[kLinkReplySize];
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
    unsigned char reply[kLinkReplySize];
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
        std::memcpy(pVersion, reply + 4, kVersionBytes);
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

void CDU_PortClose() {
    LinkClose(kDispenser);
}

int CDU_PortOpen(char* szPort, int nBaud) {
    return LinkOpen(kDispenser, szPort, nBaud);
}
