// A virtual MCU ROM bootloader served on a VirtualLine: both dialects (0x79
// and the shorter 0x75), an in-memory flash, RAM and option-byte area, a
// configurable command list, protection state, and fault injection. Written
// from the protocol, independently of the host client; it keeps a log of
// every byte it received so tests can assert exact frames.
//
// (Interface sketch: the owner of this unit may add fields and methods, but
// keeps the names below, which other tests use.)
#ifndef KV_SIM_VIRTUALBOOTLOADER_H
#define KV_SIM_VIRTUALBOOTLOADER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/VirtualLine.h"

struct BootloaderFault {
    enum Kind { Nack, Silence, Garbage };
    unsigned char cmd = 0;  // command code whose exchange is hit
    int occurrence = 0;     // 0 = the first such exchange, 1 = the second, ...; -1 = every one
    int step = 0;           // 0 = reply to the command code, 1 = the next reply, ...
    Kind kind = Nack;
};

struct BootloaderConfig {
    int dialect = 0x79;               // 0x79 or 0x75
    uint32_t flashBase = 0x08000000;
    uint32_t flashSize = 256 * 1024;  // erased to 0xFF
    uint32_t pageSize = 1024;         // for page erase
    unsigned char version = 0x22;     // bootloader version in Get / Get-version
    unsigned char option1 = 0x00, option2 = 0x00;
    std::vector<unsigned char> productId = {0x04, 0x14};
    // Command list announced by Get (default: the full 0x79 list with 0x43).
    std::vector<unsigned char> commands = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43,
                                           0x63, 0x73, 0x82, 0x92};
    bool readProtected = false;       // blocks Read while set
    bool writeProtected = false;      // blocks Write (and erase) while set
    bool leadingZero = false;         // send 0x00 before the sync reply
    int syncReply = -1;               // -1: the dialect's ACK; else this byte (garbage)
    bool silent = false;              // never answer anything
    int replyDelayMs = 0;             // slow answers: delay before each reply byte
    int eraseDelayMs = 0;             // erase that takes this long before its ACK
    int baudOnly = 0;                 // 0: answer at any speed; else only at this rate
    bool echoLine = false;            // the line echoes every host byte back (echo modes)
    int corruptReadPacket = -1;       // Read exchange (0-based) whose data has one byte flipped
    int refuseWritePacket = -1;       // Write exchange (0-based) NACKed after its data
    int refusePage = -1;              // a page whose erase is NACKed
    std::vector<BootloaderFault> faults;
};

class VirtualBootloader {
  public:
    VirtualBootloader(VirtualLine& line, const BootloaderConfig& config);
    ~VirtualBootloader(); // stops the device thread
    VirtualBootloader(const VirtualBootloader&) = delete;
    VirtualBootloader& operator=(const VirtualBootloader&) = delete;

    void start();
    void stop();

    std::vector<unsigned char> received() const; // every byte received since start/clearLog
    void clearLog();
    std::vector<unsigned char> flash() const;    // copy of the whole flash
    std::vector<unsigned char> memory(uint32_t address, uint32_t length) const;
    bool saveFlash(const std::string& path, uint32_t length) const;
    bool readProtected() const;
    bool writeProtected() const;
    int syncCount() const;                       // synchronisations answered

  private:
    struct Impl;
    Impl* impl_;
};

#endif
