#include "sim/VirtualLoader.h"

#include <chrono>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>
#include "sim/SimClock.h"

namespace {

const size_t kPushSize = 4096;
const size_t kLoaderSize = 2472;
const size_t kPatchedByte = 21;
const size_t kBlockData = 1024;
const unsigned char kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15;
const unsigned char kReady = '~', kHello = 'x', kCrcMode = 'p', kWantCrc = 'C', kGo = 'g';

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

unsigned short VirtualLoader::Crc16(const unsigned char* data, size_t length) {
    unsigned short crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<unsigned short>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            if (crc & 0x8000)
                crc = static_cast<unsigned short>((crc << 1) ^ 0x1021);
            else
                crc = static_cast<unsigned short>(crc << 1);
        }
    }
    return crc;
}

VirtualLoader::VirtualLoader(VirtualLine& line, const LoaderConfig& config)
    : line_(line), config_(config) {
    if (config_.loaderImage != nullptr) {
        expected_.assign(config_.loaderImage, config_.loaderImage + kLoaderSize);
        expected_.resize(kPushSize, 0);
    }
}

VirtualLoader::~VirtualLoader() {
    stop();
}

void VirtualLoader::start() {
    if (thread_.joinable())
        return;
    stop_ = false;
    // Every open of the slave side is an event here, however short it is.
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 &&
        inotify_add_watch(inotify_, line_.slavePath().c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(inotify_);
        inotify_ = -1;
    }
    idleBaud_ = line_.baud();
    state_ = config_.running ? Running : WaitPush;
    thread_ = std::thread([this] { run(); });
}

void VirtualLoader::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (inotify_ >= 0)
        close(inotify_);
    inotify_ = -1;
}

// Samples the line speed, then takes the open and close events. A sample
// is credited to the current open only when no event came in between and
// the open is a few milliseconds old (the host sets the speed right after
// opening), so a short open followed at once by the next is not mixed up.
// The speed of an open is the first one other than the idle line's.
void VirtualLoader::trackOpens() {
    int baud = line_.baud();
    if (inotify_ < 0)
        return;
    alignas(inotify_event) char buf[4096];
    ssize_t n = read(inotify_, buf, sizeof buf);
    if (n <= 0) {
        // The host puts the idle settings back just before it closes, so
        // the idle speed counts only while no other speed has been seen.
        if (lineOpen_ && !openSpeedSettled_ && NowMs() - openSeenAt_ >= 3) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!opens_.empty())
                opens_.back() = baud;
            openSpeedSettled_ = baud != idleBaud_;
        }
        return;
    }
    for (char* p = buf; p < buf + n;) {
        inotify_event* ev = reinterpret_cast<inotify_event*>(p);
        if (ev->mask & IN_OPEN) {
            std::lock_guard<std::mutex> lock(mutex_);
            opens_.push_back(0);
            lineOpen_ = true;
            openSpeedSettled_ = false;
            openSeenAt_ = NowMs();
        }
        if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
            lineOpen_ = false;
        p += sizeof(inotify_event) + ev->len;
    }
}

// What the loader's receiver can take: before the push only the push
// speeds (anything else stays on the line for whatever else listens on the
// port); afterwards no frames with a parity bit and nothing at the speed
// another device of the port uses.
bool VirtualLoader::lineIsForLoader() const {
    int baud = line_.baud();
    if (state_ == WaitPush)
        return baud == 57600 || baud == 38400 || pushStarted();
    struct termios tio;
    if (tcgetattr(line_.masterFd(), &tio) == 0 && (tio.c_cflag & PARENB))
        return false;
    return config_.idleAtBaud == 0 || baud != config_.idleAtBaud;
}

bool VirtualLoader::pushStarted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !pushed_.empty();
}

bool VirtualLoader::nextByte(unsigned char* byte, int timeoutMs) {
    if (inPos_ < inLen_) {
        *byte = in_[inPos_++];
        return true;
    }
    long long deadline = NowMs() + timeoutMs;
    while (!stop_) {
        trackOpens();
        if (!lineIsForLoader()) {
            SleepMs(1);
            if (NowMs() >= deadline)
                return false;
            continue;
        }
        struct pollfd p = {line_.masterFd(), POLLIN, 0};
        int r = poll(&p, 1, 1);
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(line_.masterFd(), in_, sizeof in_);
            if (n > 0) {
                inLen_ = static_cast<size_t>(n);
                inPos_ = 1;
                *byte = in_[0];
                return true;
            }
            SleepMs(1); // the host has the line closed
        } else if (r > 0) {
            SleepMs(1);
        }
        if (NowMs() >= deadline)
            return false;
    }
    return false;
}

void VirtualLoader::sendByte(unsigned char byte) {
    line_.write(&byte, 1);
}

// The push comes at 57600 (or 38400 for the variant); at any other speed
// the receiver makes nothing of the line, so such bytes are dropped (such as
// what was left on the line from the online mode).
void VirtualLoader::takePushByte(unsigned char byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    int baud = line_.baud();
    // A pty carries no speed with its bytes: once the push has begun, what
    // is still waiting went out at the push speed even if the host has
    // reopened the line at 115200 by the time it is read.
    if (baud != 57600 && baud != 38400 && pushed_.empty()) {
        ++stray_;
        return;
    }
    if (pushed_.empty()) {
        pushBaud_ = baud;
        pushSession_ = opens_.size();
    }
    pushed_.push_back(byte);
    if (pushed_.size() < kPushSize)
        return;
    if (expected_.empty()) {
        push_ = PushNoLoaderFile;
    } else {
        // The "ARVO" variant of the loader is sent at 38400 with byte 21 set.
        std::vector<unsigned char> want = expected_;
        if (pushBaud_ == 38400)
            want[kPatchedByte] = 0x02;
        push_ = (pushed_ == want) ? PushAccepted : PushWrongBytes;
    }
    pushEndAt_ = NowMs();
    state_ = (push_ == PushAccepted) ? Starting : Dead;
}

// The loader starts right after the last pushed byte and sends its '~' at
// 115200 startDelayMs later. It does not wait for the host: unless the host
// has the line open again at 115200 by then, the byte is lost.
void VirtualLoader::startLoader() {
    if (config_.neverReady) {
        state_ = Dead;
        return;
    }
    while (!stop_ && NowMs() < pushEndAt_ + config_.startDelayMs) {
        trackOpens();
        SleepMs(1);
    }
    if (stop_)
        return;
    trackOpens();
    bool listening;
    if (inotify_ >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        listening = lineOpen_ && opens_.size() > pushSession_;
    } else {
        listening = line_.slaveOpen();
    }
    listening = listening && line_.baud() == 115200;
    if (listening)
        sendByte(kReady);
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
    readyLost_ = !listening;
    state_ = Running;
}

// After STX: number, complement, 1024 data bytes, CRC high and low byte.
void VirtualLoader::takeBlock() {
    std::vector<unsigned char> block(1, kStx);
    unsigned char b = 0;
    while (block.size() < kBlockData + 5) {
        if (!nextByte(&b, 1000))
            break;
        block.push_back(b);
    }
    int count;
    bool good = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_.push_back(block);
        count = static_cast<int>(blocks_.size());
        if (block.size() == kBlockData + 5) {
            unsigned char expectNo = static_cast<unsigned char>((image_.size() / kBlockData + 1));
            unsigned short crc = Crc16(&block[3], kBlockData);
            good = block[1] == expectNo &&
                   block[2] == static_cast<unsigned char>(0xFF - expectNo) &&
                   block[3 + kBlockData] == (crc >> 8) && block[4 + kBlockData] == (crc & 0xFF);
        }
        if (good && count != config_.silentBlock && count != config_.badReplyBlock)
            image_.insert(image_.end(), block.begin() + 3, block.begin() + 3 + kBlockData);
    }
    if (count == config_.silentBlock)
        return;
    if (count == config_.badReplyBlock)
        sendByte(config_.badReplyByte);
    else
        sendByte(good ? kAck : kNak);
}

void VirtualLoader::handleRunning(unsigned char byte) {
    switch (byte) {
    case kHello: {
        sendByte(kReady);
        std::lock_guard<std::mutex> lock(mutex_);
        ++handshakes_;
        break;
    }
    case kCrcMode: {
        sendByte(kWantCrc);
        std::lock_guard<std::mutex> lock(mutex_);
        crcMode_ = true;
        break;
    }
    case kStx:
        takeBlock();
        break;
    case kEot: {
        if (config_.eotReplyByte != 0)
            sendByte(config_.eotReplyByte);
        else
            sendByte(config_.linkTwin ? kAck : kReady);
        std::lock_guard<std::mutex> lock(mutex_);
        eot_ = true;
        break;
    }
    case kGo: {
        std::lock_guard<std::mutex> lock(mutex_);
        start_ = true;
        break;
    }
    default:
        break; // anything else means nothing to the loader
    }
}

void VirtualLoader::run() {
    while (!stop_) {
        if (state_ == Starting) {
            startLoader();
            continue;
        }
        unsigned char b = 0;
        if (!nextByte(&b, 20))
            continue;
        if (state_ == WaitPush)
            takePushByte(b);
        else if (state_ == Running)
            handleRunning(b);
        // Dead: a loader that did not arrive whole never runs.
    }
}

std::vector<int> VirtualLoader::opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}
VirtualLoader::Push VirtualLoader::pushResult() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return push_;
}
int VirtualLoader::strayBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stray_;
}
int VirtualLoader::pushBaud() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pushBaud_;
}
std::vector<unsigned char> VirtualLoader::pushed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pushed_;
}
bool VirtualLoader::readySent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ready_;
}
bool VirtualLoader::readyLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readyLost_;
}
std::vector<std::vector<unsigned char>> VirtualLoader::blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
}
std::vector<unsigned char> VirtualLoader::image() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
}
int VirtualLoader::handshakes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handshakes_;
}
bool VirtualLoader::crcModeAsked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return crcMode_;
}
bool VirtualLoader::eotSeen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eot_;
}
bool VirtualLoader::startSeen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return start_;
}
