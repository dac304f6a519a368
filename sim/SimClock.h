// Milliseconds of the steady clock, for the virtual devices' and the test
// helpers' waits (the tool's own tick has a seam that these must not follow).
#ifndef KV_SIM_SIMCLOCK_H
#define KV_SIM_SIMCLOCK_H

#include <chrono>

inline long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

#endif
