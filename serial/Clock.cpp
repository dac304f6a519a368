// The clock behind every wait of the serial layers, with its test seam.
#include "serial/Clock.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace {

// Milliseconds of a clock that never jumps: setting the system time must
// neither end a wait early nor stretch it.
uint64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void RealSleepUs(unsigned us) {
    usleep(us);
}

uint64_t (*gpfnTick)() = MonotonicMs;
void (*gpfnSleepUs)(unsigned) = RealSleepUs;

} // namespace

void SetComClock(uint64_t (*tick)(), void (*sleepUs)(unsigned)) {
    gpfnTick = tick != nullptr ? tick : MonotonicMs;
    gpfnSleepUs = sleepUs != nullptr ? sleepUs : RealSleepUs;
}

void ComSleepUs(unsigned us) {
    gpfnSleepUs(us);
}

int ComPollFd(int fd, short events, int timeoutMs) {
    struct pollfd p = {fd, events, 0};
    if (gpfnSleepUs == RealSleepUs)
        return poll(&p, 1, timeoutMs);
    // On a virtual clock the wait passes at once: look, let the time go by,
    // look again.
    int r = poll(&p, 1, 0);
    if (r != 0 || timeoutMs <= 0)
        return r;
    ComSleepUs(static_cast<unsigned>(timeoutMs) * 1000u);
    return poll(&p, 1, 0);
}

uint64_t GetTickCount() {
    return gpfnTick();
}

bool TimeOutPassed(uint64_t start, uint64_t now, int timeout) {
    // Elapsed time on the low 32 bits, as a 32-bit tick counter would give
    // it. A clock that stands still or goes back is taken as a wrap-around,
    // so the wait is extended rather than cut short. All arithmetic is done
    // unsigned so that it wraps instead of overflowing.
    uint32_t start32 = static_cast<uint32_t>(start);
    uint32_t now32 = static_cast<uint32_t>(now);
    uint32_t elapsed = (start < now) ? now32 - start32 : 0xFFFFFFFFu - start32 + now32;
    int32_t remaining = static_cast<int32_t>(static_cast<uint32_t>(timeout) - elapsed);
    return remaining <= 0;
}

bool CheckTimeOut(uint64_t start, int timeout) {
    ComSleepUs(1000);
    return TimeOutPassed(start, GetTickCount(), timeout);
}
