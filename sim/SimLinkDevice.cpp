#include "sim/SimLinkDevice.h"

namespace {

const unsigned char kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06;
// Gap allowed between two bytes of one request frame before the device
// gives the frame up.
const int kByteGapMs = 500;

} // namespace

std::vector<unsigned char> SimBuildFrame(const std::vector<unsigned char>& payload,
                                         const LinkFrameOptions& options) {
    size_t length = options.lengthField < 0 ? payload.size() : size_t(options.lengthField);
    std::vector<unsigned char> body;
    body.push_back(static_cast<unsigned char>(length & 0xFF));
    body.push_back(static_cast<unsigned char>((length >> 8) & 0xFF));
    body.insert(body.end(), payload.begin(), payload.end());
    body.push_back(kEtx);
    unsigned char check = 0;
    for (unsigned char b : body)
        check ^= b;
    if (options.badCheck)
        check ^= 0x5A;

    std::vector<unsigned char> frame;
    frame.push_back(kStx);
    if (!options.insertFF) {
        frame.insert(frame.end(), body.begin(), body.end());
    } else {
        // 0xFF right after STX, after the length, in the middle of the
        // payload and before the ETX: line noise the host must drop.
        size_t middle = 2 + payload.size() / 2;
        for (size_t i = 0; i < body.size(); ++i) {
            if (i == 0 || i == 2 || i == middle || i == body.size() - 1)
                frame.push_back(0xFF);
            frame.push_back(body[i]);
        }
    }
    frame.push_back(check);
    return frame;
}

SimLinkDevice::SimLinkDevice(VirtualLine& line, Handler handler)
    : line_(line), handler_(std::move(handler)) {}

SimLinkDevice::~SimLinkDevice() {
    stop();
}

void SimLinkDevice::start() {
    if (thread_.joinable())
        return;
    stop_ = false;
    pending_.clear();
    followUp_.clear();
    thread_ = std::thread([this] { run(); });
}

void SimLinkDevice::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void SimLinkDevice::setLineOptions(const LinkLineOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
}

std::vector<unsigned char> SimLinkDevice::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<unsigned char> SimLinkDevice::sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

void SimLinkDevice::clearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
}

int SimLinkDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int SimLinkDevice::badFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return badFrames_;
}

int SimLinkDevice::polls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return polls_;
}

// Reads one host byte and logs it. Gives up early when stop() is called.
bool SimLinkDevice::next(unsigned char* byte, int timeoutMs) {
    for (int waited = 0; !stop_; waited += 20) {
        if (line_.readByte(byte, 20)) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(*byte);
            return true;
        }
        if (waited >= timeoutMs)
            break;
    }
    return false;
}

void SimLinkDevice::send(const std::vector<unsigned char>& bytes) {
    line_.write(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.insert(sent_.end(), bytes.begin(), bytes.end());
}

// Takes the rest of a request frame after its STX, checks it and hands the
// payload to the device.
void SimLinkDevice::takeFrame() {
    unsigned char lo = 0, hi = 0;
    if (!next(&lo, kByteGapMs) || !next(&hi, kByteGapMs)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++badFrames_;
        return;
    }
    size_t length = size_t(lo) | (size_t(hi) << 8);
    std::vector<unsigned char> payload;
    unsigned char check = lo ^ hi, b = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!next(&b, kByteGapMs)) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++badFrames_;
            return;
        }
        payload.push_back(b);
        check ^= b;
    }
    unsigned char etx = 0, sum = 0;
    if (!next(&etx, kByteGapMs) || !next(&sum, kByteGapMs) || etx != kEtx ||
        sum != (check ^ kEtx)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++badFrames_;
        return;
    }
    LinkLineOptions options;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
        options = options_;
    }
    Answer answer = handler_(payload);
    if (!answer.ack || !options.ackRequest)
        return;
    pending_ = answer.reply;
    followUp_ = answer.followUp;
    replySent_ = false;
    ackedPolls_ = 0;
    send({kAck});
}

void SimLinkDevice::answerPoll(const LinkLineOptions& options) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++polls_;
    }
    if (pending_.empty() || options.ackPolls < 0 || ackedPolls_ < options.ackPolls) {
        ++ackedPolls_;
        send({kAck});
        return;
    }
    send(pending_);
    replySent_ = true;
}

void SimLinkDevice::run() {
    bool wasOpen = line_.slaveOpen();
    while (!stop_) {
        unsigned char b = 0;
        if (!next(&b, 0)) {
            // A host that closes the line ends the conversation: whatever was
            // pending is not offered to the next one.
            bool open = line_.slaveOpen();
            if (wasOpen && !open) {
                pending_.clear();
                followUp_.clear();
                replySent_ = false;
            }
            wasOpen = open;
            continue;
        }
        wasOpen = true;
        LinkLineOptions options;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            options = options_;
        }
        if (options.silent)
            continue;
        // At another speed the device would see only garbage.
        if (options.baudOnly != 0 && line_.baud() != options.baudOnly)
            continue;
        if (b == kStx) {
            takeFrame();
        } else if (b == kEnq) {
            answerPoll(options);
        } else if (b == kAck && replySent_) {
            pending_.swap(followUp_);
            followUp_.clear();
            replySent_ = false;
            ackedPolls_ = 0;
        }
        // Anything else is noise and ignored.
    }
}
