#include "fuzz/FuzzLine.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/ComPort.h"

namespace {

int gMaster = -1;
int gSlave = -1; // kept open so that the slave side never hangs up
char gSlavePath[64];
uint64_t gNowMs = 0;
const uint8_t* gPending = nullptr;
size_t gPendingSize = 0;

uint64_t VirtualTick() {
    return gNowMs;
}

// Once the input is used up no byte can come any more: the clock then runs
// 50 times faster, which ends the remaining waits sooner without changing
// what the host can see.
void VirtualSleep(unsigned us) {
    uint64_t step = us >= 1000 ? us / 1000 : 1;
    if (gPending != nullptr) {
        const uint8_t* data = gPending;
        gPending = nullptr;
        FuzzLineSend(data, gPendingSize);
    } else {
        int queued = 0;
        if (ioctl(gSlave, FIONREAD, &queued) == 0 && queued == 0)
            step *= 50;
    }
    gNowMs += step;
}

void Open() {
    if (openpty(&gMaster, &gSlave, gSlavePath, nullptr, nullptr) != 0)
        abort();
    struct termios raw;
    tcgetattr(gSlave, &raw);
    cfmakeraw(&raw);
    tcsetattr(gSlave, TCSANOW, &raw);
    fcntl(gMaster, F_SETFL, fcntl(gMaster, F_GETFL) | O_NONBLOCK);
    SetComClock(VirtualTick, VirtualSleep);
}

} // namespace

char* FuzzLineSlave() {
    if (gMaster < 0)
        Open();
    return gSlavePath;
}

void FuzzLineDrain() {
    unsigned char sink[4096];
    while (read(gMaster, sink, sizeof sink) > 0) {
    }
}

void FuzzLineSend(const uint8_t* data, size_t size) {
    if (size > kFuzzLineMax)
        size = kFuzzLineMax;
    int queued = 0;
    ioctl(gSlave, FIONREAD, &queued);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(gMaster, data + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    // The terminal layer hands the bytes over to the slave asynchronously.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int now = 0;
    while (ioctl(gSlave, FIONREAD, &now) == 0 && static_cast<size_t>(now) < queued + size &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::microseconds(20));
}

void FuzzLineSendAtFirstWait(const uint8_t* data, size_t size) {
    gPending = data;
    gPendingSize = size;
}

void FuzzLineCancel() {
    gPending = nullptr;
}
