// Printer link protocol, host side: the version request over the shared link
// engine, with the printer's windows.
#include "rpu/RPUCom.h"

#include <cstring>

#include "serial/Clock.h"
#include "serial/Link.h"

int ghRpuHandle = 0;
pthread_mutex_t g_mutexRPU = PTHREAD_MUTEX_INITIALIZER;
unsigned char gBigSendData[64972];

namespace {

const LinkProfile kPrinter = {&ghRpuHandle, &g_mutexRPU, 2000, 3000, true};

const int kReplyWindowMs = 3000;
const int kFrameOverhead = kLinkFrameOverhead;
// A version reply holds the status byte, five version characters and the
// two CRC bytes.
const int kVersionReplyData = 8;

} // namespace

int RPU_PortOpen(char* szPort, int nBaud) {
    return LinkOpen(kPrinter, szPort, nBaud);
}

void RPU_PortClose() {
    LinkClose(kPrinter);
}

int SendRpuEnqAndRecv() {
    return LinkPollEnq(kPrinter);
}

int SendRpuDataFrame(unsigned char* pData, int nLen) {
    // The frame is built in gBigSendData and its length field is 16 bits:
    // a payload that does not fit is refused before anything is sent.
    if (nLen < 0 || nLen > 0xFFFF || nLen + kFrameOverhead > int(sizeof gBigSendData) ||
        (nLen > 0 && pData == nullptr))
        return -1;
    return LinkSendFrame(kPrinter, gBigSendData, pData, nLen);
}

int RecvRpuDataFrame(int nTimeOut, unsigned char* pRecv) {
    int stored = 0;
    int result = LinkReceiveFrame(kPrinter, GetTickCount(), nTimeOut, pRecv, &stored);
    if (result != 0)
        return result;
    unsigned char status = pRecv[3];
    return status == 'O' || status == 'S' ? 0 : -1;
}

int RPU_GetVersion(unsigned char* pRecv) {
    unsigned char request = 'V';
    int result = SendRpuDataFrame(&request, 1);
    if (result != 0) {
        RPU_PortClose();
        return result;
    }
    result = RecvRpuDataFrame(kReplyWindowMs, pRecv);
    if (result != 0)
        return result;
    // A reply too short to hold the version and CRC, or one with an empty
    // version, is no answer.
    int length = pRecv[1] | (pRecv[2] << 8);
    if (length < kVersionReplyData || pRecv[4] == 0)
        return -1;
    return 0;
}

int RPU_InitGetVersion(char* szPort, int nBaud, unsigned char* pVersion, unsigned char* pCrc) {
    unsigned char reply[kLinkReplySize];
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
