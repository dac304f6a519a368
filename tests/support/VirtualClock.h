// The tool's clock seam on a virtual clock for the life of a scope: every
// wait of the serial layers passes without real sleeping, and the time they
// took is read back in virtual milliseconds. For cases whose device stays
// silent, so that no real-time answer races the virtual time.
#ifndef KV_TESTS_VIRTUALCLOCK_H
#define KV_TESTS_VIRTUALCLOCK_H

#include <cstdint>

#include "serial/Clock.h"

class VirtualClock {
  public:
    VirtualClock() {
        us() = 0;
        SetComClock(Tick, Sleep);
    }
    ~VirtualClock() { SetComClock(nullptr, nullptr); }
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;
    // Virtual milliseconds since the scope began.
    static uint64_t nowMs() { return us() / 1000u; }

  private:
    static uint64_t& us() {
        static uint64_t value = 0;
        return value;
    }
    static uint64_t Tick() { return nowMs(); }
    static void Sleep(unsigned sleepUs) { us() += sleepUs; }
};

#endif
