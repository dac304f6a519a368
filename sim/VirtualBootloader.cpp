// The virtual bootloader's device thread and byte I/O, and its public face.
#include "sim/BootDevice.h"

#include <algorithm>
#include <cstdio>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

VirtualBootloader::Impl::Impl(VirtualLine& l, const BootloaderConfig& c)
    : line(l), cfg(c), ack(c.dialect == 0x75 ? 0x75 : 0x79), nack(c.dialect == 0x75 ? 0x3F : 0x1F),
      mem(c.flashBase, c.flashSize, c.pageSize, c.ramBase, c.ramSize, c.flashClearsBits),
      readProt(c.readProtected), writeProt(c.writeProtected) {}

void VirtualBootloader::Impl::run() {
    // Line-rate emulation sleeps to the microsecond; the default timer slack
    // (50 us) would add up over thousands of replies.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    while (!stopping) {
        unsigned char byte = 0;
        if (!next(&byte, false))
            continue;
        applyPending();
        if (cfg.silent)
            continue;
        if (cfg.baudOnly != 0 && line.baud() != cfg.baudOnly)
            continue; // at another speed the device sees only noise
        if (byte == 0x7F && (!synced || cfg.lenient)) {
            sync();
        } else if (synced) {
            command(byte);
        }
        // Before the sync everything else is ignored.
    }
}

std::chrono::nanoseconds VirtualBootloader::Impl::byteTime() const {
    // 8E1: start bit, 8 data bits, parity, stop bit.
    return std::chrono::nanoseconds(11LL * 1000000000LL / cfg.lineRate);
}

bool VirtualBootloader::Impl::fill(int timeoutMs) {
    struct pollfd p = {line.masterFd(), POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r <= 0)
        return false;
    unsigned char buf[4096];
    ssize_t n = -1;
    if (p.revents & POLLIN)
        n = read(line.masterFd(), buf, sizeof(buf));
    if (n <= 0) {
        // EIO or hang-up: the host has its side closed. Whatever was under
        // way is dropped; the next bytes come from a fresh open.
        if (!hostGone) {
            hostGone = true;
            rx.clear();
            pendingEcho.clear();
        }
        usleep(2000);
        return false;
    }
    hostGone = false;
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mu);
    for (ssize_t i = 0; i < n; ++i) {
        if (!pendingEcho.empty()) {
            pendingEcho.pop_front(); // the host returning our own byte
            continue;
        }
        if (cfg.echoLine)
            line.write(&buf[i], 1);
        log.push_back(buf[i]);
        rx.emplace_back(buf[i], now);
    }
    return true;
}

bool VirtualBootloader::Impl::next(unsigned char* byte, bool inFrame) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(cfg.frameTimeoutMs);
    while (rx.empty()) {
        if (stopping)
            return false;
        fill(20);
        if (inFrame && (hostGone || Clock::now() > deadline))
            return false;
    }
    *byte = rx.front().first;
    if (cfg.lineRate > 0) {
        Clock::time_point start = std::max(rxClock, rx.front().second);
        rxClock = start + byteTime();
    }
    rx.pop_front();
    return true;
}

bool VirtualBootloader::Impl::complementOf(unsigned char* byte) {
    if (cfg.lenient)
        return next(byte, true);
    while (!next(byte, false))
        if (stopping)
            return false;
    return true;
}

void VirtualBootloader::Impl::applyPending() {
    std::lock_guard<std::mutex> lock(mu);
    if (!pendingCfg)
        return;
    BootloaderConfig next = *pendingCfg;
    pendingCfg.reset();
    if (next.readProtected != cfg.readProtected)
        readProt = next.readProtected;
    if (next.writeProtected != cfg.writeProtected)
        writeProt = next.writeProtected;
    next.dialect = cfg.dialect;
    next.flashBase = cfg.flashBase;
    next.flashSize = cfg.flashSize;
    next.pageSize = cfg.pageSize;
    next.ramBase = cfg.ramBase;
    next.ramSize = cfg.ramSize;
    cfg = next;
}

void VirtualBootloader::Impl::sleepUntil(Clock::time_point when) {
    std::unique_lock<std::mutex> lock(sleepMu);
    sleepCv.wait_until(lock, when, [this] { return stopping.load(); });
}

void VirtualBootloader::Impl::sleepFor(int ms) {
    if (ms > 0)
        sleepUntil(Clock::now() + std::chrono::milliseconds(ms));
}

void VirtualBootloader::Impl::send(const std::vector<unsigned char>& bytes) {
    if (bytes.empty() || stopping)
        return;
    if (cfg.lineRate > 0) {
        // The reply starts when the request has fully arrived and the line
        // is free, and reaches the host when its last bit is out.
        Clock::time_point start = std::max({Clock::now(), rxClock, txClock});
        txClock = start + byteTime() * static_cast<long>(bytes.size());
        sleepUntil(txClock);
    }
    {
        // Counted before they go out, so a host that has them sees them counted.
        std::lock_guard<std::mutex> lock(mu);
        sent += static_cast<int>(bytes.size());
        if (cfg.hostEchoes)
            pendingEcho.insert(pendingEcho.end(), bytes.begin(), bytes.end());
    }
    line.write(bytes);
}

const BootloaderFault* VirtualBootloader::Impl::faultAhead() const {
    for (const BootloaderFault& f : cfg.faults) {
        if (f.cmd == curCmd && f.step == step &&
            (f.occurrence == -1 || f.occurrence == curOccurrence))
            return &f;
    }
    return nullptr;
}

bool VirtualBootloader::Impl::reply(const std::vector<unsigned char>& bytes) {
    const BootloaderFault* fault = faultAhead();
    step++;
    sleepFor(cfg.replyDelayMs);
    if (fault != nullptr) {
        const BootloaderFault& f = *fault;
        switch (f.kind) {
        case BootloaderFault::Nack:
            send({nack});
            break;
        case BootloaderFault::Silence:
            break;
        case BootloaderFault::Garbage:
            send({0xA5});
            break;
        case BootloaderFault::Truncate:
            send(std::vector<unsigned char>(bytes.begin(), bytes.end() - (bytes.empty() ? 0 : 1)));
            break;
        }
        return false;
    }
    send(bytes);
    return true;
}

// ---- Public face -------------------------------------------------------------

VirtualBootloader::VirtualBootloader(VirtualLine& line, const BootloaderConfig& config)
    : impl_(new Impl(line, config)) {}

VirtualBootloader::~VirtualBootloader() {
    stop();
    delete impl_;
}

void VirtualBootloader::start() {
    if (impl_->thread.joinable())
        return;
    impl_->stopping = false;
    impl_->thread = std::thread([this] { impl_->run(); });
}

void VirtualBootloader::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->sleepMu);
        impl_->stopping = true;
    }
    impl_->sleepCv.notify_all();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

void VirtualBootloader::reset() {
    bool running = impl_->thread.joinable();
    stop();
    impl_->synced = false;
    impl_->readPackets = 0;
    impl_->writePackets = 0;
    impl_->rx.clear();
    if (running)
        start();
}

void VirtualBootloader::reconfigure(const BootloaderConfig& config) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->pendingCfg.reset(new BootloaderConfig(config));
}

std::vector<unsigned char> VirtualBootloader::received() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->log;
}

void VirtualBootloader::clearLog() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->log.clear();
}

std::vector<unsigned char> VirtualBootloader::flash() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->mem.flash();
}

std::vector<unsigned char> VirtualBootloader::memory(uint32_t address, uint32_t length) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<unsigned char> out(length);
    if (!impl_->mem.read(address, length, out.data()))
        out.clear();
    return out;
}

bool VirtualBootloader::setMemory(uint32_t address, const std::vector<unsigned char>& bytes) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->mem.write(address, bytes.data(), static_cast<uint32_t>(bytes.size()), true);
}

bool VirtualBootloader::saveFlash(const std::string& path, uint32_t length) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const std::vector<unsigned char>& f = impl_->mem.flash();
    if (length > f.size())
        return false;
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool ok = fwrite(f.data(), 1, length, out) == length;
    return fclose(out) == 0 && ok;
}

bool VirtualBootloader::readProtected() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->readProt;
}

bool VirtualBootloader::writeProtected() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->writeProt;
}

int VirtualBootloader::syncCount() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->syncs;
}

int VirtualBootloader::exchangeCount(unsigned char cmd) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->exchanges[cmd];
}

int VirtualBootloader::bytesSent() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->sent;
}
