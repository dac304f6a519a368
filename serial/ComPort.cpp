// Serial port primitives over the POSIX terminal interface. Every wait is a
// poll of the driver's input count with 1 ms sleeps against a millisecond
// tick; nothing blocks inside read().
#include "serial/ComPort.h"

#include "serial/HeldPorts.h"
#include "serial/LineTrace.h"
#include "serial/SerialLine.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A write not done within this window has failed (a line held by flow
// control, a device gone).
const int kWriteWindowMs = 2000;

int WaitingBytes(int handle) {
    int count = 0;
    if (ioctl(handle, FIONREAD, &count) < 0)
        return 0;
    return count;
}

} // namespace

int OpenComPort(const char* device, int baud, int dataBits, int parity) {
    if (device == nullptr)
        return 0;
    int handle = OpenSerialLine(device, baud);
    if (handle == 0)
        return 0;
    LineFormat format = {LineSpeed(baud),
                         static_cast<tcflag_t>(dataBits == 7 ? CS7 : CS8),
                         parity == 2,
                         false,
                         100,
                         true};
    ConfigureSerialLine(handle, format);
    return handle;
}

void CloseComPort(int handle) {
    CloseSerialLine(handle);
}

void FlushComPort(int handle) {
    if (handle == 0)
        return;
    TraceFlush();
    tcflush(handle, IsPseudoTerminalSlave(handle) ? TCIFLUSH : TCIOFLUSH);
}

int IsRecvData(int handle) {
    return WaitingBytes(handle) > 0 ? 0 : -1;
}

int ReadPort(int handle, unsigned char* out) {
    uint64_t start = GetTickCount();
    *out = 0;
    for (;;) {
        if (CheckTimeOut(start, 2000)) {
            TraceTimeout(2000);
            return -1;
        }
        if (WaitingBytes(handle) > 0) {
            if (read(handle, out, 1) != 1)
                return -1;
            TraceBytes(LINE_READ, out, 1);
            return 0;
        }
        ComSleepUs(1000);
    }
}

int WritePort(int handle, unsigned char byte) {
    return WriteBlockPort(handle, &byte, 1);
}

int WriteBlockPort(int handle, unsigned char* buffer, int length) {
    if (buffer == nullptr || length < 0)
        return 0;
    // Success only when the whole block went out within the window.
    return SerialWrite(handle, buffer, static_cast<size_t>(length), kWriteWindowMs) == length ? 1
                                                                                              : 0;
}

int ReadBlockPort(int handle, unsigned char* buffer, int length, int timeout) {
    if (buffer == nullptr || length < 0)
        return -1;
    if (length == 0) // nothing to wait for, and nowhere to store a byte
        return 0;
    int count = 0;
    uint64_t start = GetTickCount();
    // The bytes of one call are traced as one read.
    for (;;) {
        if (CheckTimeOut(start, timeout)) {
            TraceBytes(LINE_READ, buffer, static_cast<size_t>(count));
            TraceTimeout(timeout);
            return -2;
        }
        if (WaitingBytes(handle) > 0) {
            if (read(handle, &buffer[count], 1) != 1) {
                TraceBytes(LINE_READ, buffer, static_cast<size_t>(count));
                return -1;
            }
            ++count;
        }
        if (count == length) {
            TraceBytes(LINE_READ, buffer, static_cast<size_t>(count));
            return 0;
        }
        ComSleepUs(1000);
    }
}

int CheckDataReadPort(int handle, unsigned char expected, int timeout) {
    uint64_t start = GetTickCount();
    for (;;) {
        if (CheckTimeOut(start, timeout))
            return -2;
        unsigned char byte = 0;
        if (ReadPort(handle, &byte) != 0)
            continue;
        if (byte == 0xFF) // line noise of a port being switched; never a match
            continue;
        if (byte == expected)
            return 0;
        ComSleepUs(1000);
    }
}
