#include "sim/VirtualLine.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include "sim/SimClock.h"

namespace {

int RateOf(speed_t code) {
    switch (code) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    default:
        return 0;
    }
}

} // namespace

VirtualLine::VirtualLine() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0)
        return;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        close(fd);
        return;
    }
    slavePath_ = ptsname(fd);
    // Make the line raw from the start, so that nothing the device sends is
    // echoed or translated before the host has configured it. The settings
    // stay with the pair while the master is open.
    int slave = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        struct termios tio;
        if (tcgetattr(slave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(slave, TCSANOW, &tio);
        }
        close(slave);
    }
    master_ = fd;
}

VirtualLine::~VirtualLine() {
    if (master_ >= 0)
        close(master_);
}

bool VirtualLine::readByte(unsigned char* byte, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        long long left = deadline - NowMs();
        if (left < 0)
            return false;
        struct pollfd p = {master_, POLLIN, 0};
        int wait = static_cast<int>(left < 20 ? left : 20);
        int r = poll(&p, 1, wait);
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t n = ::read(master_, byte, 1);
            if (n == 1)
                return true;
            // EIO: the host has the slave closed; wait for it to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else if (r > 0) {
            // POLLHUP without data: slave closed.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

std::vector<unsigned char> VirtualLine::readIdle(size_t max, int idleMs) {
    std::vector<unsigned char> out;
    unsigned char b = 0;
    while (out.size() < max && readByte(&b, idleMs))
        out.push_back(b);
    return out;
}

bool VirtualLine::write(const unsigned char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(master_, data + done, length - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int VirtualLine::baud() const {
    struct termios tio;
    if (tcgetattr(master_, &tio) != 0)
        return 0;
    return RateOf(cfgetospeed(&tio));
}

bool VirtualLine::slaveOpen() const {
    struct pollfd p = {master_, 0, 0};
    if (poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & POLLHUP) == 0;
}

void VirtualLine::drain() {
    unsigned char b = 0;
    while (readByte(&b, 0)) {
    }
}
