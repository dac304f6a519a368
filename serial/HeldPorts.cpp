// A fixed table, written only outside signal handlers and read by
// ReleaseAllPorts, which may run inside one: no allocation, no locks.
#include "serial/HeldPorts.h"

#include "serial/LockFile.h"

#include <atomic>
#include <csignal>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct HeldPort {
    volatile sig_atomic_t fd; // 0: free slot
    bool hasBefore;
    bool hasSerialFlags;
    bool flushAtClose;
    int serialFlags;
    struct termios before;
};

HeldPort gHeld[kMaxHeldPorts];

HeldPort* Find(int fd) {
    for (HeldPort& slot : gHeld)
        if (fd > 0 && slot.fd == fd)
            return &slot;
    return nullptr;
}

// Only system calls: this runs inside the interrupt handler too. The slot
// is freed just before the close, so an interrupt in between finds the
// line already restored, and one earlier restores it again harmlessly.
void Release(HeldPort& slot) {
    int fd = slot.fd;
    if (slot.flushAtClose)
        tcflush(fd, TCOFLUSH);
    if (slot.hasSerialFlags) {
        struct serial_struct serial;
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = slot.serialFlags;
            ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    if (slot.hasBefore)
        tcsetattr(fd, TCSANOW, &slot.before);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    slot.fd = 0;
    close(fd);
}

} // namespace

bool IsPseudoTerminalSlave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    unsigned major = major(st.st_rdev);
    return major >= 136 && major <= 143;
}

bool HoldPort(int fd, const struct termios* before) {
    if (fd <= 0)
        return false;
    for (HeldPort& slot : gHeld) {
        if (slot.fd != 0)
            continue;
        slot.hasBefore = before != nullptr;
        if (before != nullptr)
            slot.before = *before;
        slot.hasSerialFlags = false;
        slot.flushAtClose = !IsPseudoTerminalSlave(fd);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        slot.fd = fd; // last, so a handler never sees a half-written slot
        return true;
    }
    return false;
}

void HoldSerialFlags(int fd, int before) {
    HeldPort* slot = Find(fd);
    if (slot == nullptr)
        return;
    slot->serialFlags = before;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot->hasSerialFlags = true;
}

void UnholdPort(int fd) {
    HeldPort* slot = Find(fd);
    if (slot != nullptr)
        slot->fd = 0;
}

bool ReleasePort(int fd) {
    HeldPort* slot = Find(fd);
    if (slot == nullptr)
        return false;
    Release(*slot);
    return true;
}

void ReleaseAllPorts() {
    for (HeldPort& slot : gHeld)
        if (slot.fd != 0)
            Release(slot);
    ReleaseLockFiles();
}

bool AnyPortHeld() {
    for (const HeldPort& slot : gHeld)
        if (slot.fd != 0)
            return true;
    return false;
}
