// A virtual cash dispenser in online mode, served on a VirtualLine. It
// speaks the dispenser link protocol from the device side, with its own
// frame codec and its own walk of the 64-byte key table (its own embedded
// copy of the data file named by KV_KEY_TABLE_FILE).
//
// A request payload whose first byte is 0..63 is taken as scrambled (that
// byte is the key index); otherwise it is plain. The reply is scrambled when
// the request was. Requests:
//   'V'                        -> reply code + the 13 version bytes
//   'T' 'M' 'U' <digit> '1'    -> reply code; the digit becomes the cassette
//                                 number, the fifth version byte, seen by the
//                                 next 'V'
//   anything else              -> reply code 'N'
// Every byte the host sends is logged, so tests can assert exact wire bytes.
//
// Usage:
//   VirtualLine line;
//   DispenserConfig cfg;                 // answers at any speed, cassette 2
//   cfg.refuseScrambled = DispenserConfig::ScrambledNoAck;  // only plain works
//   VirtualDispenser dispenser(line, cfg);
//   dispenser.start();
#ifndef KV_SIM_VIRTUALDISPENSER_H
#define KV_SIM_VIRTUALDISPENSER_H

#include <mutex>
#include <string>
#include <vector>

#include "sim/SimLinkDevice.h"
#include "sim/VirtualLine.h"

struct DispenserConfig {
    enum Refuse {
        ScrambledAccepted,   // scrambled and plain requests are both served
        ScrambledNoAck,      // a scrambled request is never acknowledged
        ScrambledErrorReply, // a scrambled request is acknowledged and answered with code 'N'
    };
    // State (changeable while running): 13 version bytes; the fifth is the
    // cassette number as an ASCII digit.
    std::string version = "DSP12A0105R00";
    // Line behaviour: baudOnly, silent, ackRequest, ackPolls.
    LinkLineOptions line;
    // Reply frame shape: lengthField, insertFF, badCheck (applied to the
    // frame as sent, after scrambling).
    LinkFrameOptions frame;
    Refuse refuseScrambled = ScrambledAccepted;
    unsigned char replyCode = 'O'; // 'O' = done, 'P' and anything else = not done
    int replyCodeCount = -1;       // -1: every reply; n: the first n replies, 'O' afterwards
    bool finalAfterP = false;      // after a 'P' reply is acknowledged, offer a second reply
                                   // with code 'O' (a device that was still busy, then done)
    int replyKeyIndex = -1; // -1: the device picks 0..63 per reply; else this byte (may be > 63)
    int padData = 0;        // filler bytes appended to every reply payload
    unsigned char padByte = 'x';
    // Non-empty: sent as the whole reply frame instead of the built one.
    std::vector<unsigned char> rawReply;
};

class VirtualDispenser {
  public:
    VirtualDispenser(VirtualLine& line, const DispenserConfig& config = DispenserConfig());
    ~VirtualDispenser(); // stops the device thread
    VirtualDispenser(const VirtualDispenser&) = delete;
    VirtualDispenser& operator=(const VirtualDispenser&) = delete;

    void start();
    void stop(); // may be called at any time, also while the host has the line closed

    // Takes effect with the next byte; restarts the count of replyCodeCount.
    void setConfig(const DispenserConfig& config);
    DispenserConfig config() const;
    std::string version() const; // the 13 version bytes now held
    int cassette() const;        // the fifth version byte as a number ('3' -> 3)
    bool keyTableLoaded() const; // false when the key table file could not be read

    std::vector<unsigned char> received() const; // every host byte since start/clearLog
    std::vector<unsigned char> sent() const;     // every device byte since start/clearLog
    void clearLog();
    int requests() const;  // well-formed request frames taken
    int badFrames() const; // request frames with a wrong ETX or check byte
    int polls() const;     // ENQ polls answered
    // Plain payloads of the requests taken (scrambled ones unscrambled), in order.
    std::vector<std::vector<unsigned char>> requestLog() const;
    // Whether each logged request came scrambled.
    std::vector<bool> scrambledLog() const;

  private:
    SimLinkDevice::Answer handle(const std::vector<unsigned char>& payload);
    std::vector<unsigned char> reply(const std::vector<unsigned char>& request, unsigned char code,
                                     bool scrambled);

    mutable std::mutex mutex_;
    DispenserConfig config_;
    unsigned char table_[64];
    bool tableLoaded_ = false;
    int replies_ = 0;
    unsigned char nextKey_ = 5;
    std::vector<std::vector<unsigned char>> requestLog_;
    std::vector<bool> scrambledLog_;
    SimLinkDevice device_;
};

#endif
