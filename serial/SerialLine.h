// The steps that both serial layers share: opening a device as a serial port
// for this process alone, configuring the line, bounded reads and writes,
// and the closing twin that puts the line back as it was found.
#ifndef KV_SERIAL_SERIALLINE_H
#define KV_SERIAL_SERIALLINE_H

#include <cstddef>
#include <sys/types.h>
#include <termios.h>

// The character format and modem lines a layer wants on its line.
struct LineFormat {
    speed_t speed;        // from LineSpeed
    tcflag_t charSize;    // CS5 ... CS8
    bool evenParity;      // else no parity
    bool twoStopBits;     // else one
    cc_t readTimeout;     // VTIME, tenths of a second
    bool raiseModemLines; // DTR and RTS raised, else dropped
};

// The terminal speed code of a rate in bit/s, 0 for a rate the port lacks.
speed_t LineSpeed(long baud);

// Opens `device` for this process alone: refuses what is not a serial port
// (files, the process's own terminal or that of its session, pseudo-terminal
// masters), takes the port's lock file (LockFile.h), the advisory lock and
// exclusive mode, and holds it with its present settings.
// Returns the descriptor (> 0), or 0 with the reason told to the console
// sink (an open failure). An unsupported `baud` is refused before the open.
// A port held without its lock file is told to the sink too.
int OpenSerialLine(const char* device, long baud);
// Applies `format` raw, without flow control, discards both queues, sets the
// modem lines and asks for low-latency mode; then waits 10 ms.
void ConfigureSerialLine(int fd, const LineFormat& format);
// Discards unsent output, restores every setting held for `fd`, releases the
// lock and closes it.
void CloseSerialLine(int fd);

// Writes all `length` bytes within `timeoutMs` of the call. Returns the
// bytes written (fewer when the window closed first), or -1 when none were.
ssize_t SerialWrite(int fd, const void* data, size_t length, int timeoutMs);
// One read of up to `length` bytes once some arrive within `timeoutMs`:
// the count read, 0 on time-out, -1 on error.
ssize_t SerialRead(int fd, void* data, size_t length, int timeoutMs);

#endif
