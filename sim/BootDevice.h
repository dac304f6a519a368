// The device side of the virtual bootloader: its state, the byte I/O on the
// pseudo-terminal master (echo, line-rate emulation, fault points) and the
// command handlers. Private to sim/VirtualBootloader*.cpp and sim/Boot*.cpp.
#ifndef KV_SIM_BOOTDEVICE_H
#define KV_SIM_BOOTDEVICE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <utility>

#include "sim/BootMemory.h"
#include "sim/VirtualBootloader.h"

struct VirtualBootloader::Impl {
    using Clock = std::chrono::steady_clock;

    Impl(VirtualLine& l, const BootloaderConfig& c);

    VirtualLine& line;
    BootloaderConfig cfg; // device thread only; changed through pendingCfg
    const unsigned char ack;
    const unsigned char nack;

    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex sleepMu;
    std::condition_variable sleepCv;

    // Shared with the test thread, under mu.
    mutable std::mutex mu;
    std::vector<unsigned char> log;
    BootMemory mem;
    bool readProt;
    bool writeProt;
    int syncs = 0;
    int exchanges[256] = {};
    int sent = 0;
    std::unique_ptr<BootloaderConfig> pendingCfg; // from reconfigure()

    // Device thread only.
    std::deque<std::pair<unsigned char, Clock::time_point>> rx;
    std::deque<unsigned char> pendingEcho; // own bytes the host will return
    bool hostGone = false;                 // the host closed its side
    bool synced = false;
    unsigned char curCmd = 0;
    int curOccurrence = 0;
    int step = 0;
    int readPackets = 0;  // Read exchanges that reached their data
    int writePackets = 0; // Write exchanges that reached their data
    Clock::time_point rxClock{}, txClock{};

    void run();
    // Waits for the host's bytes; false on stop, when the host closed its
    // side, or (inFrame) after frameTimeoutMs of silence.
    bool next(unsigned char* byte, bool inFrame);
    // A command's complement: a strict part waits for it as long as it takes,
    // whoever holds the line.
    bool complementOf(unsigned char* byte);
    void applyPending();
    bool fill(int timeoutMs);
    // A reply point: applies the fault planned for it, else sends `bytes`.
    // False when the exchange ends here.
    bool reply(const std::vector<unsigned char>& bytes);
    bool replyAck() { return reply({ack}); }
    // The fault planned for the next reply point, if any. Effects that the
    // reply acknowledges are made before it goes out (a host that has the
    // ACK finds them done), and not at all when a fault replaces it.
    const BootloaderFault* faultAhead() const;
    void replyNack() { reply({nack}); }
    void send(const std::vector<unsigned char>& bytes);
    void sleepFor(int ms);
    void sleepUntil(Clock::time_point when);
    std::chrono::nanoseconds byteTime() const;

    // Command handlers (sim/VirtualBootloaderCommands.cpp).
    void sync();
    void command(unsigned char code);
    bool allowed(unsigned char code) const;
    void doGet();
    void doGetVersion();
    void doGetId();
    void doRead();
    void doGo();
    void doWrite();
    void doErase();
    void doEraseExt();
    void doWriteProtect();
    void doProtection(unsigned char code);
    // 4 address bytes (+ XOR in the 0x79 dialect); false when cut off.
    bool address(uint32_t* value, bool* checksumOk);
    // The opening of Read, Go and Write: ACK the code, take the address and
    // NACK a bad one; true once a good address has been ACKed.
    bool addressAcked(uint32_t* at);
    // The opening of Read and Write: an acknowledged address and the byte
    // count N - 1 after it; false when the exchange ended on the way.
    struct Span {
        uint32_t at = 0;
        unsigned char n = 0; // as sent: N - 1
        uint32_t length = 0; // N
    };
    bool addressAndCount(Span* span);
    // The opening of Erase and Write Protect: ACK the code, take the count
    // byte; false when the exchange ended on the way.
    bool ackedCount(unsigned char* n);
    // The 0x79 dialect's checksum after a list: `good` is whether it matches
    // `sum` (always true in the other dialect); false when cut off.
    bool listChecksum(unsigned char sum, bool* good);
    // The end of a page erase: the pages are checked, erased (all of the
    // flash for `all`) unless a fault is ahead, and answered after the
    // erase time.
    void erasePages(const std::vector<uint32_t>& pages, bool good, bool all);
    void replyAckIf(bool good) {
        if (good)
            replyAck();
        else
            replyNack();
    }
};

#endif
