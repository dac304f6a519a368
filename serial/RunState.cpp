#include "serial/RunState.h"

#include <csignal>

namespace {
volatile sig_atomic_t gProgressLineOpen = 0;
volatile sig_atomic_t gDownloadRunning = 0;
volatile sig_atomic_t gExchangeRunning = 0;
volatile sig_atomic_t gDeferredSignal = 0;
} // namespace

void SetProgressLineOpen(bool open) {
    gProgressLineOpen = open ? 1 : 0;
}

bool ProgressLineOpen() {
    return gProgressLineOpen != 0;
}

void SetDownloadRunning(bool running) {
    gDownloadRunning = running ? 1 : 0;
}

bool DownloadRunning() {
    return gDownloadRunning != 0;
}

void SetExchangeRunning(bool running) {
    gExchangeRunning = running ? 1 : 0;
}

bool ExchangeRunning() {
    return gExchangeRunning != 0;
}

void DeferSignal(int sig) {
    if (gDeferredSignal == 0)
        gDeferredSignal = sig;
}

void RaiseDeferredSignal() {
    int sig = gDeferredSignal;
    if (sig == 0)
        return;
    gDeferredSignal = 0;
    raise(sig);
}
