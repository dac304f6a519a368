// The one clock of the serial layers: a millisecond tick that never jumps,
// the time-out test, the sleep every pause goes through, the poll wait, and
// the seam that lets fuzz targets and tests run all of it on a virtual clock.
#ifndef KV_SERIAL_CLOCK_H
#define KV_SERIAL_CLOCK_H

#include <cstdint>

// Milliseconds of the monotonic clock (never set back or forward).
uint64_t GetTickCount();
// Sleeps 1 ms, then tells whether `timeout` ms have passed since `start`.
bool CheckTimeOut(uint64_t start, int timeout);
// The elapsed-time arithmetic of CheckTimeOut, without the sleep and the
// clock, so that the 32-bit wrap-around can be checked with fixed values.
bool TimeOutPassed(uint64_t start, uint64_t now, int timeout);
// Sleeps `us` microseconds; every pause of the link and loader protocols
// goes through it so that the clock seam below covers them.
void ComSleepUs(unsigned us);
// Test seam: replaces the tick source and the sleep (fuzz targets run the
// protocol code on a virtual clock without real waits). nullptr restores
// the real one.
void SetComClock(uint64_t (*tick)(), void (*sleepUs)(unsigned));
// poll() on one descriptor for `events` within `timeoutMs`; on a virtual
// clock the time-out passes without real waiting.
int ComPollFd(int fd, short events, int timeoutMs);

#endif
