// Serial port primitives used by the printer and dispenser link protocols and
// by the dispenser's loader-mode download, plus the dispenser frame cipher.
//
// A port handle is the file descriptor returned by OpenComPort; 0 means "no
// port". Write operations return non-zero on success; read and wait
// operations return 0 on success and a negative code on failure.
#ifndef KV_SERIAL_COMPORT_H
#define KV_SERIAL_COMPORT_H

#include <cstdint>

#include "serial/Clock.h" // the clock the callers of these primitives wait on

// ---- Port primitives -------------------------------------------------------

// Opens and configures `device` raw at `baud` (one of 1200 ... 460800),
// 8 or 7 data bits, parity code 2 = even, anything else = none. Returns the
// handle (> 0) or 0 when the rate is not supported, the device cannot be
// opened, it is not a serial port, or another program holds it (the reason
// is told to the console sink).
int OpenComPort(const char* device, int baud, int dataBits, int parity);
// Discards unsent output, puts back the line settings the port had before
// the open and closes it; a handle of 0 is ignored.
void CloseComPort(int handle);
// Discards what is queued in both directions; a handle of 0 is ignored.
void FlushComPort(int handle);
// 0 when at least one received byte is waiting, -1 when none.
int IsRecvData(int handle);
// Reads one byte within 2000 ms: 0 with the byte stored, -1 on time-out or
// read error (the byte is then 0).
int ReadPort(int handle, unsigned char* out);
// Writes one byte: 1 on success, 0 on failure.
int WritePort(int handle, unsigned char byte);
// Writes the whole block: 1 on success, 0 when the line took not all of it
// within 2000 ms.
int WriteBlockPort(int handle, unsigned char* buffer, int length);
// Reads exactly `length` bytes within `timeout` ms: 0 when all arrived,
// -1 on a read error or bad arguments, -2 on time-out (partial bytes kept).
int ReadBlockPort(int handle, unsigned char* buffer, int length, int timeout);
// Waits up to `timeout` ms for the byte `expected`, dropping all others
// (0xFF is never matched): 0 when it arrived, -2 on time-out.
int CheckDataReadPort(int handle, unsigned char expected, int timeout);

// ---- Dispenser frame cipher ------------------------------------------------

// The cipher's limits: the keys of the table, and the data bytes one
// scrambled payload carries (its length is returned as a signed byte, so at
// most 127 bytes: the key index, the command byte and 125 data bytes).
const unsigned char kCipherKeyCount = 64;
const int kCipherMaxData = 125;

// The 64-byte key table shared with the dispenser (supplied data, embedded
// at build time).
extern const unsigned char gszEncrypTable[kCipherKeyCount];

// The key index that follows `chIndex`: chIndex + 1, or 0 past 63.
unsigned char GetNextTableOrder(char chIndex);
// Scrambles command byte `chCmd` and `chLen` data bytes into `pOut` (key
// index first); returns the scrambled payload length, 2 + chLen.
char MakeEncryptionData(char chCmd, char* pData, char chLen, char* pOut);
// Unscrambles the payload of a whole received frame of `chFrameLen` bytes
// into `pOut` at the payload's own offsets; returns the number of plain bytes.
short DecryptReceivedData(int nSeqBytes, unsigned char* pFrame, unsigned char* pOut,
                          unsigned char chFrameLen);

#endif
