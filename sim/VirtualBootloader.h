// A virtual MCU ROM bootloader served on a VirtualLine: both dialects (0x79
// and the shorter 0x75), an in-memory flash, RAM and option-byte areas, a
// configurable command list, protection state, and fault injection. Written
// from the protocol, independently of the host client; it keeps a log of
// every byte it received so tests can assert exact frames.
//
// The device model:
// - After start() and after every reset the device waits for the sync byte
//   0x7F and answers it with the dialect's ACK (optionally after 0x00). It
//   synchronises once per reset: a later 0x7F is a command byte (in the 0x79
//   dialect it waits for the complement, with no time-out, and NACKs a wrong
//   one; in the 0x75 dialect it is an unknown command, NACKed at once). With
//   `lenient` a 0x7F where a command is expected is answered as a fresh sync.
// - 0x79 dialect: ACK 0x79, NACK 0x1F; a command is its code and the code's
//   complement; addresses carry an XOR checksum, the Read count its
//   complement, Write data and erase lists an XOR checksum.
// - 0x75 dialect: ACK 0x75, NACK 0x3F; no complement after a command, no
//   checksum after an address, a Read count or Write data; no ACK after the
//   Get-version command code nor after a Read count; Go answers the address
//   with one byte (the ACK); Extended erase is refused.
// - A command not in `commands` is NACKed (Get is always answered). While read-protected, Read is
//   NACKed and Get leaves 0x11 out of its list; while write-protected, Write,
//   Erase and Extended erase are NACKed and left out of the list.
// - Protect and unprotect commands answer ACK, ACK, change the protection
//   state and reset the device (it then waits for a fresh sync). Lifting
//   read-out protection erases the whole flash. Go to a valid address also
//   resets the device.
// - Flash programming clears bits only (flashClearsBits), so a write over
//   unerased flash shows in a read-back; RAM and option bytes are overwritten.
// - Bad complements, checksums and addresses are NACKed.
// - Every byte is answered only after the host opened the line: when the
//   host closes its side, a half-received exchange is dropped.
#ifndef KV_SIM_VIRTUALBOOTLOADER_H
#define KV_SIM_VIRTUALBOOTLOADER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/VirtualLine.h"

// A fault at one reply point of one exchange. Reply points, counted from 0 in
// every exchange: 0 the reply to the command code (in the 0x75 dialect
// Get-version has none and starts at 1), then each later reply in order:
//   sync (cmd 0x7F): 0 the sync reply
//   Get, Get-version, Get-ID: 1 the data (count, version, codes / options /
//     ID bytes), 2 the final ACK
//   Read: 1 ACK after the address, 2 ACK after the count (0x79 only), 3 data
//   Go: 1 the reply after the address
//   Write: 1 ACK after the address, 2 the final ACK
//   Erase, Extended erase, Write-protect, protect / unprotect: 1 the final ACK
struct BootloaderFault {
    // Nack: the dialect's NACK instead of the reply; Silence: nothing;
    // Garbage: the one byte 0xA5; Truncate: the reply without its last byte.
    // Each ends the exchange; the device then waits for the next command.
    enum Kind { Nack, Silence, Garbage, Truncate };
    unsigned char cmd = 0; // command code whose exchange is hit (0x7F: the sync)
    int occurrence = 0;    // 0 = the first such exchange, 1 = the second, ...; -1 = every one
    int step = 0;          // reply point, as listed above
    Kind kind = Nack;
};

struct BootloaderConfig {
    int dialect = 0x79; // 0x79 or 0x75
    uint32_t flashBase = 0x08000000;
    uint32_t flashSize = 256 * 1024; // erased to 0xFF
    uint32_t pageSize = 1024;        // for page erase
    uint32_t ramBase = 0x20000000;
    uint32_t ramSize = 20 * 1024;
    bool flashClearsBits = true;  // programming ANDs into flash (false: overwrite)
    unsigned char version = 0x22; // bootloader version in Get / Get-version
    unsigned char option1 = 0x00, option2 = 0x00;
    std::vector<unsigned char> productId = {0x04, 0x14};
    // Command list announced by Get (default: the full 0x79 list with 0x43).
    std::vector<unsigned char> commands = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31,
                                           0x43, 0x63, 0x73, 0x82, 0x92};
    int getCountOverride = -1;   // >= 0: Get announces this many codes
    bool readProtected = false;  // blocks Read while set
    bool writeProtected = false; // blocks Write (and erase) while set
    bool leadingZero = false;    // send 0x00 before the sync reply
    int syncReply = -1;          // -1: the dialect's ACK; else this byte (garbage)
    bool silent = false;         // never answer anything
    int replyDelayMs = 0;        // slow answers: delay before each reply
    int eraseDelayMs = 0;        // erase that takes this long before its ACK
    int baudOnly = 0;            // 0: answer at any speed; else only at this rate
    bool echoLine = false;       // the line returns every host byte (host echo mode 2)
    bool hostEchoes = false;     // the host returns every device byte (host echo mode 1)
    int corruptReadPacket = -1;  // Read exchange (0-based) whose data has one byte flipped
    int corruptReadOffset = 0;   // which byte of that packet (modulo its length)
    int refuseWritePacket = -1;  // Write exchange (0-based) NACKed after its data
    int refusePage = -1;         // a page whose erase is NACKed (nothing of that request erased)
    int lineRate = 0;            // non-zero: each byte sent or received costs 11/lineRate s
    int frameTimeoutMs = 2000;   // a frame silent this long inside an exchange is dropped
    bool lenient = false;        // a 0x7F always synchronises; complements time out too
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
    // The reset button: the part waits for a fresh sync, its packet faults
    // count afresh; memory and protection keep their state.
    void reset();
    // Takes the faults and the protection of `config` (its dialect and
    // memory layout are kept) between two exchanges, without a reset.
    void reconfigure(const BootloaderConfig& config);

    std::vector<unsigned char> received() const; // every byte received since start/clearLog
    void clearLog();
    std::vector<unsigned char> flash() const; // copy of the whole flash
    // The bytes of one area at address; empty when the range is outside the areas.
    std::vector<unsigned char> memory(uint32_t address, uint32_t length) const;
    // Presets memory (flash included, overwriting); false outside the areas.
    bool setMemory(uint32_t address, const std::vector<unsigned char>& bytes);
    bool saveFlash(const std::string& path, uint32_t length) const;
    bool readProtected() const;
    bool writeProtected() const;
    int syncCount() const;                      // synchronisations answered
    int exchangeCount(unsigned char cmd) const; // command bytes received with this code
    int bytesSent() const;                      // bytes the device put on the line

  private:
    struct Impl;
    Impl* impl_;
};

#endif
