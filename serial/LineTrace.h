// The wire trace hook: every open, setting, write, read, time-out, flush and
// close on a serial line, told to the function the front end sets (none set:
// nothing is done). Called by SerialLine and ComPort only.
#ifndef KV_SERIAL_LINETRACE_H
#define KV_SERIAL_LINETRACE_H

#include <cstddef>

enum LineEvent {
    LINE_OPEN,        // port, baud, format: the first setting after the open
    LINE_OPEN_FAILED, // port, reason
    LINE_SET,         // baud, format: a later setting
    LINE_WRITE,       // bytes
    LINE_READ,        // bytes
    LINE_TIMEOUT,     // ms: a wait ended with nothing
    LINE_FLUSH,
    LINE_CLOSE,
};

struct LineRecord {
    LineEvent event;
    const char* port;
    long baud;
    char format[4]; // "8E1"
    const unsigned char* bytes;
    size_t length;
    int ms;
    const char* reason;
};

void SetLineTraceHook(void (*hook)(const LineRecord& record));

// The serial layer's side.
bool LineTraced();
void TraceOpened(int fd, const char* port);
void TraceOpenFailed(const char* port, const char* reason);
void TraceSetting(int fd, long baud, int dataBits, bool evenParity, bool twoStopBits);
void TraceBytes(LineEvent event, const void* bytes, size_t length);
void TraceTimeout(int ms);
void TraceFlush();
void TraceClose(int fd);

#endif
