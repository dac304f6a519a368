// The device side of the ENQ-polled frame link that the printer and the
// dispenser speak in online mode, shared by the two virtual devices: a thread
// on a VirtualLine that takes request frames, acknowledges them, answers ENQ
// polls with ACK or with the pending reply frame, and logs every byte in
// both directions.
//
// Frame on the line: STX, length (16 bits, low byte first), payload, ETX,
// check byte (XOR of the length bytes, the payload and the ETX).
#ifndef KV_SIM_SIMLINKDEVICE_H
#define KV_SIM_SIMLINKDEVICE_H

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/VirtualLine.h"

// How the line side of a virtual device behaves, whatever it is asked.
struct LinkLineOptions {
    int baudOnly = 0; // 0: answer at any speed; else only while the host's line runs at this rate
    bool silent = false;    // never send anything (no ACK, no reply)
    bool ackRequest = true; // false: request frames are taken but never acknowledged
    int ackPolls = 0;       // ENQ polls answered with ACK before the reply frame; -1: for ever
};

// Options for building a reply frame around a payload.
struct LinkFrameOptions {
    int lengthField = -1;  // -1: the payload's true length; else this value in the length field
    bool insertFF = false; // 0xFF bytes after STX, after the length, inside the payload, before ETX
    bool badCheck = false; // send a check byte that does not match the frame
};

// Builds STX, length, payload, ETX, check byte, as the options ask.
std::vector<unsigned char> SimBuildFrame(const std::vector<unsigned char>& payload,
                                         const LinkFrameOptions& options);

class SimLinkDevice {
  public:
    // What to do with one request frame.
    struct Answer {
        bool ack = true; // acknowledge the request
        // Whole reply frame to send on the next polls; empty: none.
        std::vector<unsigned char> reply;
        // Second reply frame, offered once the host has acknowledged the first.
        std::vector<unsigned char> followUp;
    };
    // Called on the device thread with the payload of every well-formed
    // request frame.
    using Handler = std::function<Answer(const std::vector<unsigned char>& payload)>;

    SimLinkDevice(VirtualLine& line, Handler handler);
    ~SimLinkDevice();
    SimLinkDevice(const SimLinkDevice&) = delete;
    SimLinkDevice& operator=(const SimLinkDevice&) = delete;

    void start();
    void stop();
    void setLineOptions(const LinkLineOptions& options);

    std::vector<unsigned char> received() const; // host bytes since start/clearLog
    std::vector<unsigned char> sent() const;     // device bytes since start/clearLog
    void clearLog();
    int requests() const;  // well-formed request frames taken
    int badFrames() const; // frames refused for a wrong ETX or check byte, or cut short
    int polls() const;     // ENQ polls answered

  private:
    void run();
    bool next(unsigned char* byte, int timeoutMs);
    void send(const std::vector<unsigned char>& bytes);
    void takeFrame();
    void answerPoll(const LinkLineOptions& options);

    VirtualLine& line_;
    Handler handler_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    LinkLineOptions options_;
    std::vector<unsigned char> received_, sent_;
    int requests_ = 0, badFrames_ = 0, polls_ = 0;
    // Device-thread state.
    std::vector<unsigned char> pending_;  // reply frame waiting for polls
    std::vector<unsigned char> followUp_; // reply frame offered after pending_ is acknowledged
    bool replySent_ = false;
    int ackedPolls_ = 0;
};

#endif
