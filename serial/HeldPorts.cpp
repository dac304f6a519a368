// A fixed table, written only outside signal handlers and read by
// ReleaseAllPorts, which may run inside one: no allocation, no locks.
#include "serial/HeldPorts.h"

#include <csignal>
#include <unistd.h>

namespace {

struct HeldPort {
    volatile sig_atomic_t fd; // 0: free slot
    bool hasBefore;
    struct termios before;
};

HeldPort gHeld[kMaxHeldPorts];

} // namespace

bool HoldPort(int fd, const struct termios* before) {
    if (fd <= 0)
        return false;
    for (HeldPort& slot : gHeld) {
        if (slot.fd != 0)
            continue;
        slot.hasBefore = before != nullptr;
        if (before != nullptr)
            slot.before = *before;
        slot.fd = fd; // last, so a handler never sees a half-written slot
        return true;
    }
    return false;
}

void UnholdPort(int fd) {
    for (HeldPort& slot : gHeld)
        if (fd > 0 && slot.fd == fd)
            slot.fd = 0;
}

void ReleaseAllPorts() {
    for (HeldPort& slot : gHeld) {
        int fd = slot.fd;
        if (fd == 0)
            continue;
        slot.fd = 0;
        tcflush(fd, TCOFLUSH);
        if (slot.hasBefore)
            tcsetattr(fd, TCSANOW, &slot.before);
        close(fd);
    }
}
