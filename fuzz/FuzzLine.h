// The device end of a pseudo-terminal for the fuzz targets. The host code
// opens the slave like any serial port; the bytes of one fuzz input are what
// the device sends. A virtual clock, set through the clock seam of the port
// primitives, lets every time-out pass without a real wait.
#ifndef KV_FUZZ_FUZZLINE_H
#define KV_FUZZ_FUZZLINE_H

#include <cstddef>
#include <cstdint>

// A terminal queue holds 4 KiB: longer inputs are cut to this.
const size_t kFuzzLineMax = 2048;

// Opens the pair on first use (once per process) and puts the port
// primitives on the virtual clock; returns the slave's path.
char* FuzzLineSlave();
// Discards what the host has sent so far.
void FuzzLineDrain();
// Puts `data` in the host's receive queue now, and returns once the host
// can read all of it.
void FuzzLineSend(const uint8_t* data, size_t size);
// The same, at the host's first wait from now on (after a request frame
// has flushed the line and gone out).
void FuzzLineSendAtFirstWait(const uint8_t* data, size_t size);
// Forgets a send that no wait has taken.
void FuzzLineCancel();

#endif
