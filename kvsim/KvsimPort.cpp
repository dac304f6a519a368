#include "kvsim/KvsimPort.h"
#include "kvsim/KvsimFiles.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Time the inner device gets to notice that its line was opened before the
// first byte arrives, as a real device has between open and first request.
const int SETTLE_MS = 20;
const int POLL_MS = 5;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Copies the host's speed and character format onto an inner line; raw
// otherwise, like the line the host configured.
void ApplySettings(int fd, const struct termios& host) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    const tcflag_t format = CSIZE | PARENB | PARODD | CSTOPB;
    tio.c_cflag = (tio.c_cflag & ~format) | (host.c_cflag & format);
    cfsetispeed(&tio, cfgetispeed(&host));
    cfsetospeed(&tio, cfgetospeed(&host));
    tcsetattr(fd, TCSANOW, &tio);
}

bool SameFormat(int fd, const struct termios& host) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    const tcflag_t format = CSIZE | PARENB | PARODD | CSTOPB;
    return (tio.c_cflag & format) == (host.c_cflag & format) &&
           cfgetospeed(&tio) == cfgetospeed(&host);
}

bool WriteAll(int fd, const unsigned char* data, size_t length, const std::atomic<bool>& stop) {
    size_t done = 0;
    while (done < length && !stop) {
        ssize_t n = write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            SleepMs(1);
        }
    }
    return done == length;
}

} // namespace

KvsimPort::KvsimPort(const std::string& linkPath) : linkPath_(linkPath) {}

KvsimPort::~KvsimPort() {
    stop();
}

void KvsimPort::addMode(const std::string& name, VirtualLine* inner) {
    inners_.push_back({name, inner});
}

void KvsimPort::setChooser(Chooser chooser) {
    chooser_ = std::move(chooser);
}

void KvsimPort::setClosedHandler(ClosedHandler handler) {
    closedHandler_ = std::move(handler);
}

bool KvsimPort::start() {
    if (!outer_.ok()) {
        error_ = "cannot create a pseudo-terminal";
        return false;
    }
    unlink(linkPath_.c_str());
    if (symlink(outer_.slavePath().c_str(), linkPath_.c_str()) != 0) {
        error_ = "cannot create the link " + linkPath_;
        return false;
    }
    stop_ = false;
    thread_ = std::thread(&KvsimPort::run, this);
    return true;
}

void KvsimPort::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    // A host that closed just before the stop still gets its session ended
    // (the printer saves its flash then).
    if (hostTalking_ || innerFd_ >= 0)
        hostClosed();
    KvsimRemoveLink(linkPath_, outer_.slavePath());
}

bool KvsimPort::hasMode(const std::string& name) const {
    for (const Inner& inner : inners_)
        if (inner.name == name)
            return true;
    return false;
}

bool KvsimPort::setMode(const std::string& mode) {
    if (mode != "auto" && !hasMode(mode))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
    return true;
}

std::string KvsimPort::mode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

std::string KvsimPort::choose(const struct termios& settings, const unsigned char* data,
                              size_t length) {
    std::string wanted = mode();
    if (wanted == "auto")
        wanted = chooser_ ? chooser_(settings, data, length, innerName_) : std::string();
    if (!hasMode(wanted) && !inners_.empty())
        wanted = inners_.front().name;
    return wanted;
}

bool KvsimPort::openInner(const std::string& name, const struct termios& settings) {
    for (const Inner& inner : inners_) {
        if (inner.name != name)
            continue;
        int fd = open(inner.line->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return false;
        ApplySettings(fd, settings);
        innerFd_ = fd;
        innerName_ = name;
        SleepMs(SETTLE_MS);
        return true;
    }
    return false;
}

void KvsimPort::closeInner() {
    if (innerFd_ >= 0) {
        tcflush(innerFd_, TCIOFLUSH);
        close(innerFd_);
    }
    innerFd_ = -1;
    innerName_.clear();
}

void KvsimPort::hostClosed() {
    std::string was = innerName_;
    closeInner();
    hostTalking_ = false;
    if (closedHandler_)
        closedHandler_(was);
}

void KvsimPort::forwardToInner(const unsigned char* data, size_t length) {
    struct termios settings;
    if (tcgetattr(outer_.masterFd(), &settings) != 0)
        return;
    std::string wanted = choose(settings, data, length);
    if (innerFd_ >= 0 && innerName_ != wanted)
        closeInner();
    if (innerFd_ < 0 && !openInner(wanted, settings))
        return;
    if (!SameFormat(innerFd_, settings))
        ApplySettings(innerFd_, settings);
    WriteAll(innerFd_, data, length, stop_);
}

void KvsimPort::forwardToHost() {
    unsigned char buffer[4096];
    ssize_t n = read(innerFd_, buffer, sizeof(buffer));
    if (n > 0)
        WriteAll(outer_.masterFd(), buffer, static_cast<size_t>(n), stop_);
}

void KvsimPort::run() {
    while (!stop_) {
        // A mode switched by hand takes the inner device off the line at once.
        std::string wanted = mode();
        if (innerFd_ >= 0 && wanted != "auto" && wanted != innerName_)
            closeInner();

        struct pollfd fds[2] = {{outer_.masterFd(), POLLIN, 0}, {innerFd_, POLLIN, 0}};
        int count = innerFd_ >= 0 ? 2 : 1;
        if (poll(fds, count, POLL_MS) < 0) {
            SleepMs(1);
            continue;
        }
        if (count == 2 && (fds[1].revents & POLLIN))
            forwardToHost();
        if (fds[0].revents & POLLIN) {
            unsigned char buffer[4096];
            ssize_t n = read(outer_.masterFd(), buffer, sizeof(buffer));
            if (n > 0) {
                hostTalking_ = true;
                forwardToInner(buffer, static_cast<size_t>(n));
                continue;
            }
        }
        // No one holds the port: the host has closed it (or never opened it).
        if (!outer_.slaveOpen()) {
            if (hostTalking_ || innerFd_ >= 0)
                hostClosed();
            SleepMs(POLL_MS);
        }
    }
}
