// One device port of kvsim: a pseudo-terminal that the tool opens through a
// stable link (e.g. /tmp/kvsim/rpu), relayed to one of several inner virtual
// lines, each with a virtual device on it (e.g. the printer's online mode and
// its ROM bootloader). Which inner line gets the host's bytes is the port's
// mode: a fixed one, chosen like a DIP switch, or "auto", where a chooser
// looks at what the host sends (and at the line speed it set).
//
// The relay behaves towards the inner device like a host: it opens the inner
// line when the host starts talking, copies the host's speed and character
// format onto it before every byte it passes on, and closes it when the host
// closes the port or the mode changes (so the inner device sees a fresh
// conversation, as after a reset).
#ifndef KV_KVSIM_KVSIMPORT_H
#define KV_KVSIM_KVSIMPORT_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

#include "sim/VirtualLine.h"

class KvsimPort {
  public:
    // Picks the inner mode in auto mode, for each block of host bytes: the
    // host's line settings, the bytes, and the mode the host is talking to
    // ("" at the start of a conversation). Note that a pseudo-terminal keeps
    // the speed the host set but not its parity.
    using Chooser =
        std::function<std::string(const struct termios& settings, const unsigned char* data,
                                  size_t length, const std::string& current)>;
    // Called on the relay thread after the host closed the port; the
    // argument is the mode the host was talking to ("" if none).
    using ClosedHandler = std::function<void(const std::string& mode)>;

    explicit KvsimPort(const std::string& linkPath);
    ~KvsimPort(); // stops the relay, removes the link
    KvsimPort(const KvsimPort&) = delete;
    KvsimPort& operator=(const KvsimPort&) = delete;

    // Before start(): the inner lines and how auto mode chooses among them.
    void addMode(const std::string& name, VirtualLine* inner);
    void setChooser(Chooser chooser);
    void setClosedHandler(ClosedHandler handler);

    // Creates the link and starts the relay; false with error() set if the
    // pseudo-terminal or the link cannot be made.
    bool start();
    void stop();
    const std::string& error() const { return error_; }

    const std::string& linkPath() const { return linkPath_; }
    const std::string& ptyPath() const { return outer_.slavePath(); }

    // "auto" or one of the added mode names; false for an unknown name.
    bool setMode(const std::string& mode);
    std::string mode() const;
    bool hasMode(const std::string& name) const;

  private:
    struct Inner {
        std::string name;
        VirtualLine* line;
    };

    void run();
    std::string choose(const struct termios& settings, const unsigned char* data, size_t length);
    bool openInner(const std::string& name, const struct termios& settings);
    void closeInner();
    void hostClosed();
    void forwardToInner(const unsigned char* data, size_t length);
    void forwardToHost();

    std::string linkPath_;
    std::string error_;
    VirtualLine outer_;
    std::vector<Inner> inners_;
    Chooser chooser_;
    ClosedHandler closedHandler_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string mode_ = "auto";
    // Relay-thread state.
    int innerFd_ = -1;
    std::string innerName_;
    bool hostTalking_ = false;
};

#endif
