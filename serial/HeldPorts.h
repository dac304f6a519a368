// The ports the tool holds open, each with the line settings it had before
// the tool opened it, so that an interrupted run can still put every line
// back as it found it and let go of it.
#ifndef KV_SERIAL_HELDPORTS_H
#define KV_SERIAL_HELDPORTS_H

#include <termios.h>

// Records an open port and the settings to restore at release (nullptr when
// none were read). At most kMaxHeldPorts ports are recorded; returns false
// when the table is full.
bool HoldPort(int fd, const struct termios* before);
// Records the driver's serial flags of a held port, to put back at release;
// called before low-latency mode is switched on, so no interrupt can miss it.
void HoldSerialFlags(int fd, int before);
// Forgets a port that its owner has closed (restoring it is the owner's job).
void UnholdPort(int fd);
// Restores one held port (serial flags, line settings), drops its exclusive
// mode and lock, closes it and forgets it; false when `fd` is not held.
bool ReleasePort(int fd);
// Restores the recorded settings of every held port, closes it, and removes
// the lock files taken for the ports. Async-signal-safe (tcsetattr, ioctl,
// flock, close and unlink only): the interrupt path calls it from a signal
// handler.
void ReleaseAllPorts();
// True while the tool holds at least one port open.
bool AnyPortHeld();

const int kMaxHeldPorts = 8;

// True for the slave side of a pseudo-terminal. Its output flush reaches into
// the far end's input and discards bytes already written but not yet read
// there, where a UART only drops what has not gone out; so on a pty the
// tool never flushes its output, and written bytes arrive as on a wire.
bool IsPseudoTerminalSlave(int fd);

#endif
