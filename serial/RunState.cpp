#include "serial/RunState.h"

#include <csignal>

namespace {
volatile sig_atomic_t gProgressLineOpen = 0;
volatile sig_atomic_t gDownloadRunning = 0;
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
