// The link engine shared by the printer and the dispenser: open and close,
// the ENQ poll, the request frame with its ACK wait, and the polled reply.
#include "serial/Link.h"

#include <cstring>

#include "serial/ComPort.h"
#include "serial/ControlBytes.h"

namespace {

using ctl::ACK;
using ctl::ENQ;
using ctl::ETX;
using ctl::STX;

// A reply frame has not ended once more bytes than this are stored.
const int kMaxStored = kLinkReplySize - 2;

int Unlocked(const LinkProfile& link, int code) {
    pthread_mutex_unlock(link.mutex);
    return code;
}

bool EnqWindowPassed(const LinkProfile& link, uint64_t start) {
    if (link.enqPaced)
        return CheckTimeOut(start, link.enqWindowMs);
    // No pause of its own: each read polls with its own sleeps.
    return GetTickCount() - start > static_cast<uint64_t>(link.enqWindowMs);
}

} // namespace

int LinkOpen(const LinkProfile& link, const char* port, int baud) {
    if (*link.handle == 0)
        *link.handle = OpenComPort(port, baud, 8, 0);
    return *link.handle != 0 ? LINK_OK : LINK_PORT_FAIL;
}

void LinkClose(const LinkProfile& link) {
    if (*link.handle != 0)
        CloseComPort(*link.handle);
    *link.handle = 0;
}

int LinkPollEnq(const LinkProfile& link) {
    WritePort(*link.handle, ENQ);
    uint64_t start = GetTickCount();
    for (;;) {
        if (EnqWindowPassed(link, start))
            return -2;
        unsigned char byte = 0;
        if (ReadPort(*link.handle, &byte) != 0)
            continue;
        if (byte == ACK)
            return 0;
        if (byte == STX)
            return 1;
    }
}

int LinkSendFrame(const LinkProfile& link, unsigned char* frame, const unsigned char* payload,
                  int length) {
    pthread_mutex_lock(link.mutex);
    FlushComPort(*link.handle);

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
    WriteBlockPort(*link.handle, frame, pos);

    // Every other byte, a NAK included, is ignored; there is no resending.
    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, link.ackWindowMs))
            return Unlocked(link, -2);
        unsigned char byte = 0;
        if (ReadPort(*link.handle, &byte) == 0 && byte == ACK)
            return 0; // the lock stays held for the reply
    }
}

int LinkReceiveFrame(const LinkProfile& link, uint64_t start, int timeoutMs, unsigned char* frame,
                     int* stored) {
    for (;;) {
        if (CheckTimeOut(start, timeoutMs))
            return Unlocked(link, -2);
        int poll = LinkPollEnq(link);
        if (poll < 0)
            return Unlocked(link, -2);
        if (poll == 1)
            break;
    }

    int count = 0;
    int length = 0;
    frame[count++] = STX;
    for (;;) {
        if (CheckTimeOut(start, timeoutMs))
            return Unlocked(link, -2);
        unsigned char byte = 0;
        if (ReadPort(*link.handle, &byte) != 0)
            continue;
        if (byte == 0xFF) // line noise; never stored
            continue;
        frame[count++] = byte;
        if (count == 3)
            length = frame[1] | (frame[2] << 8);
        if (byte == ETX && count == length + 4) {
            // The check byte is stored as it comes, not compared (a read
            // that fails leaves 0).
            unsigned char check = 0;
            ReadPort(*link.handle, &check);
            frame[count++] = check;
            WritePort(*link.handle, ACK);
            *stored = count;
            return Unlocked(link, 0);
        }
        if (count > kMaxStored)
            return Unlocked(link, -3);
    }
}
