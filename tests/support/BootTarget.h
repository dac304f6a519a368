// A bootloader client on a virtual line with a virtual ROM bootloader at the
// far end: the fixture of the bootloader tests.
//
//   BootloaderConfig cfg;            // dialect, command list, faults ...
//   BootTarget t(cfg);               // line + device thread started
//   ASSERT_EQ(SUCCESS, t.connect()); // open, packet size 128, sync, Get
//   t.boot.clearLog();
//   ... t.lib.STBL_WRITE(...) ...
//   EXPECT_EQ(expectedBytes, t.boot.received());
//
// The constructor puts the process-wide dialect and packet size back to
// their program-start values, so tests in one process do not see each
// other's state.
#ifndef KV_TESTS_BOOTTARGET_H
#define KV_TESTS_BOOTTARGET_H

#include <string>
#include <vector>

#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "stbl/STBLLib.h"

class BootTarget {
  public:
    explicit BootTarget(const BootloaderConfig& config = BootloaderConfig());
    BootTarget(const BootTarget&) = delete;
    BootTarget& operator=(const BootTarget&) = delete;

    // SetCOMSettings(slave, 115200, 8, 2, 1.0) and COM_Open; then the packet
    // size 128. Returns the first status that is not SUCCESS.
    unsigned char open();
    // open(), STBL_Init_BL and STBL_GET (results in `version`, `commands`).
    unsigned char connect();

    VirtualLine line;
    VirtualBootloader boot;
    CSTBLLib lib; // destroyed first: the host closes before the device stops
    unsigned char version = 0;
    Commands commands{};
};

// A fault at reply point `step` of the exchanges of command `cmd`: the
// `occurrence`-th one (0 = the first, -1 = every one).
inline BootloaderFault MakeFault(unsigned char cmd, int occurrence, int step,
                                 BootloaderFault::Kind kind = BootloaderFault::Nack) {
    BootloaderFault fault;
    fault.cmd = cmd;
    fault.occurrence = occurrence;
    fault.step = step;
    fault.kind = kind;
    return fault;
}

// Bytes as text "00 FF 79", for readable frame comparisons.
std::string HexBytes(const std::vector<unsigned char>& bytes);

// Collects what the process writes to standard output (or to the descriptor
// given, such as 2 for standard error) between the constructor (or start())
// and stop(). It installs the tool's console renderer, so that the
// libraries' events are worded and drawn as the tool shows them.
class StdoutGrab {
  public:
    explicit StdoutGrab(int fd = 1) : fd_(fd) { start(); }
    ~StdoutGrab();
    StdoutGrab(const StdoutGrab&) = delete;
    StdoutGrab& operator=(const StdoutGrab&) = delete;
    void start();
    std::string stop();

  private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

#endif
