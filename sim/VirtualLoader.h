// The dispenser in boot mode on the loader road, served on a VirtualLine:
// it takes the 4096-byte loader push (only at 57600 or 38400 baud, every
// byte checked against the loader file) and starts the loader right after
// the last byte. The loader sends '~' at 115200 a moment later whether or
// not the host listens again by then (a '~' sent before the host's reopen
// is lost, as on a real line), then answers 'x' with '~', 'p' with 'C',
// XMODEM-1K blocks (STX, number, complement, 1024 data bytes, CRC-16 high,
// low) with ACK when good, EOT with '~'. Written from the protocol with its
// own block receiver and CRC routine. It records every open of the line
// with its speed, the push, the blocks and the image.
#ifndef KV_SIM_VIRTUALLOADER_H
#define KV_SIM_VIRTUALLOADER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimKeyTable.h"
#include "sim/VirtualLine.h"

struct LoaderConfig {
    bool running = false;    // the loader runs already: no push, answers at once
    bool neverReady = false; // fault: takes the push but never sends its first '~'
    int startDelayMs = 20;   // from the last pushed byte to the loader's first '~'
    int silentBlock = 0;     // fault: this block (1 = first received) gets no answer
    int badReplyBlock = 0;   // fault: this block is answered with badReplyByte
    unsigned char badReplyByte = 0x15;
    unsigned char eotReplyByte = 0; // fault: EOT answered with this byte (0: none)
    bool linkTwin = false;          // EOT answered by ACK, as on the dispenser's link port
    // Leave the line alone while it is set to this speed (0: never), as
    // another device of the same port takes it then.
    int idleAtBaud = 0;
    // The 2472-byte loader image the push must carry (nullptr: none known).
    const unsigned char* loaderImage = gSimLoaderImage;
};

class VirtualLoader {
  public:
    enum Push { PushNone, PushAccepted, PushWrongBytes, PushNoLoaderFile };

    VirtualLoader(VirtualLine& line, const LoaderConfig& config);
    ~VirtualLoader(); // stops the device thread
    VirtualLoader(const VirtualLoader&) = delete;
    VirtualLoader& operator=(const VirtualLoader&) = delete;

    void start();
    void stop();

    // Line speed of every open of the line by the host, in order (0 when
    // the open was too short to see its speed).
    std::vector<int> opens() const;
    Push pushResult() const;
    int pushBaud() const;   // speed while the push arrived
    int strayBytes() const; // bytes before the push, not at a push speed (dropped)
    std::vector<unsigned char> pushed() const; // the push bytes as received
    bool readySent() const;                    // the loader's first '~' went out
    bool readyLost() const; // it went out before the host listened at 115200 again
    std::vector<std::vector<unsigned char>> blocks() const; // every block, STX to CRC
    std::vector<unsigned char> image() const;               // data of the acknowledged blocks
    int handshakes() const;                                 // 'x' answered
    bool crcModeAsked() const;                              // 'p' answered
    bool eotSeen() const;
    bool startSeen() const; // 'g' received

    // The loader's own CRC-16 (polynomial 0x1021, start 0, no reflection).
    static unsigned short Crc16(const unsigned char* data, size_t length);

  private:
    enum State { WaitPush, Starting, Running, Dead };

    void run();
    bool nextByte(unsigned char* byte, int timeoutMs);
    bool lineIsForLoader() const;
    bool pushStarted() const;
    void trackOpens();
    void sendByte(unsigned char byte);
    void takePushByte(unsigned char byte);
    void startLoader();
    void takeBlock();
    void handleRunning(unsigned char byte);

    VirtualLine& line_;
    LoaderConfig config_;
    std::vector<unsigned char> expected_; // the push as it must arrive (unpatched)
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int inotify_ = -1;
    bool lineOpen_ = false;
    long long openSeenAt_ = 0;
    bool openSpeedSettled_ = false; // the current open's speed is known
    int idleBaud_ = 0;              // the line's speed while nobody has it open
    State state_ = WaitPush;
    size_t pushSession_ = 0;
    long long pushEndAt_ = 0; // when the last pushed byte arrived
    unsigned char in_[4096];  // bytes read from the line, not yet taken
    size_t inPos_ = 0, inLen_ = 0;

    mutable std::mutex mutex_; // guards everything below
    std::vector<int> opens_;
    Push push_ = PushNone;
    int stray_ = 0;
    int pushBaud_ = 0;
    std::vector<unsigned char> pushed_;
    bool ready_ = false;
    bool readyLost_ = false;
    std::vector<std::vector<unsigned char>> blocks_;
    std::vector<unsigned char> image_;
    int handshakes_ = 0;
    bool crcMode_ = false;
    bool eot_ = false;
    bool start_ = false;
};

#endif
