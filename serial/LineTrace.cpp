#include "serial/LineTrace.h"

#include <cstdio>

namespace {

void (*gHook)(const LineRecord&) = nullptr;

// Ports opened and not yet set: their first setting is the open's line.
struct Pending {
    int fd;
    char port[256];
};
Pending gPending[8];

void Tell(const LineRecord& record) {
    if (gHook != nullptr)
        gHook(record);
}

} // namespace

void SetLineTraceHook(void (*hook)(const LineRecord& record)) {
    gHook = hook;
}

bool LineTraced() {
    return gHook != nullptr;
}

void TraceOpened(int fd, const char* port) {
    if (gHook == nullptr)
        return;
    for (Pending& p : gPending) {
        if (p.fd == 0 || p.fd == fd) {
            p.fd = fd;
            snprintf(p.port, sizeof p.port, "%s", port);
            return;
        }
    }
}

void TraceOpenFailed(const char* port, const char* reason) {
    Tell({LINE_OPEN_FAILED, port, 0, "", nullptr, 0, 0, reason});
}

void TraceSetting(int fd, long baud, int dataBits, bool evenParity, bool twoStopBits) {
    if (gHook == nullptr)
        return;
    LineRecord record = {LINE_SET, nullptr, baud, "", nullptr, 0, 0, nullptr};
    snprintf(record.format, sizeof record.format, "%d%c%d", dataBits, evenParity ? 'E' : 'N',
             twoStopBits ? 2 : 1);
    for (Pending& p : gPending) {
        if (p.fd == fd && fd != 0) {
            record.event = LINE_OPEN;
            record.port = p.port;
            gHook(record);
            p.fd = 0;
            return;
        }
    }
    gHook(record);
}

void TraceBytes(LineEvent event, const void* bytes, size_t length) {
    if (gHook != nullptr && length > 0)
        gHook(
            {event, nullptr, 0, "", static_cast<const unsigned char*>(bytes), length, 0, nullptr});
}

void TraceTimeout(int ms) {
    Tell({LINE_TIMEOUT, nullptr, 0, "", nullptr, 0, ms, nullptr});
}

void TraceFlush() {
    Tell({LINE_FLUSH, nullptr, 0, "", nullptr, 0, 0, nullptr});
}

void TraceClose(int fd) {
    for (Pending& p : gPending) {
        if (p.fd == fd)
            p.fd = 0;
    }
    Tell({LINE_CLOSE, nullptr, 0, "", nullptr, 0, 0, nullptr});
}
