#include "sim/VirtualDispenser.h"

#include "sim/SimKeyTable.h"

namespace {

// The device's walk through the key table: one entry per byte, upward,
// wrapping from 63 to 0.
unsigned char Step(unsigned char index) {
    return index >= 63 ? 0 : index + 1;
}

} // namespace

VirtualDispenser::VirtualDispenser(VirtualLine& line, const DispenserConfig& config)
    : config_(config),
      device_(line, [this](const std::vector<unsigned char>& payload) { return handle(payload); }) {
    tableLoaded_ = SimLoadKeyTable(table_);
    device_.setLineOptions(config.line);
}

VirtualDispenser::~VirtualDispenser() {
    device_.stop();
}

void VirtualDispenser::start() {
    device_.start();
}
void VirtualDispenser::stop() {
    device_.stop();
}

void VirtualDispenser::setConfig(const DispenserConfig& config) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = config;
        replies_ = 0;
    }
    device_.setLineOptions(config.line);
}

DispenserConfig VirtualDispenser::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

std::string VirtualDispenser::version() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.version;
}

int VirtualDispenser::cassette() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.version.size() > 4 ? config_.version[4] - '0' : -1;
}

bool VirtualDispenser::keyTableLoaded() const {
    return tableLoaded_;
}

std::vector<unsigned char> VirtualDispenser::received() const {
    return device_.received();
}
std::vector<unsigned char> VirtualDispenser::sent() const {
    return device_.sent();
}
void VirtualDispenser::clearLog() {
    device_.clearLog();
}
int VirtualDispenser::requests() const {
    return device_.requests();
}
int VirtualDispenser::badFrames() const {
    return device_.badFrames();
}
int VirtualDispenser::polls() const {
    return device_.polls();
}

std::vector<std::vector<unsigned char>> VirtualDispenser::requestLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestLog_;
}

std::vector<bool> VirtualDispenser::scrambledLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scrambledLog_;
}

SimLinkDevice::Answer VirtualDispenser::handle(const std::vector<unsigned char>& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    SimLinkDevice::Answer answer;

    // A first byte that can be a key index marks a scrambled payload: the
    // plain command letters all lie far above 63.
    bool scrambled = !payload.empty() && payload[0] < 64;
    std::vector<unsigned char> request;
    if (scrambled) {
        unsigned char index = payload[0];
        for (size_t i = 1; i < payload.size(); ++i) {
            request.push_back(payload[i] ^ table_[index]);
            index = Step(index);
        }
    } else {
        request = payload;
    }
    requestLog_.push_back(request);
    scrambledLog_.push_back(scrambled);

    if (scrambled && config_.refuseScrambled == DispenserConfig::ScrambledNoAck) {
        answer.ack = false;
        return answer;
    }
    if (!config_.rawReply.empty()) {
        answer.reply = config_.rawReply;
        return answer;
    }

    unsigned char code = config_.replyCode;
    if (config_.replyCodeCount >= 0 && replies_ >= config_.replyCodeCount)
        code = 'O';
    ++replies_;

    bool refused = scrambled && config_.refuseScrambled == DispenserConfig::ScrambledErrorReply;
    answer.reply = reply(request, refused ? 'N' : code, scrambled);
    if (code == 'P' && config_.finalAfterP && !refused)
        answer.followUp = reply(request, 'O', scrambled);
    return answer;
}

// Carries out one request with the given reply code and builds the reply
// frame, scrambled when the request was.
std::vector<unsigned char> VirtualDispenser::reply(const std::vector<unsigned char>& request,
                                                   unsigned char code, bool scrambled) {
    std::vector<unsigned char> plain;
    if (request.size() == 1 && request[0] == 'V') {
        plain.push_back(code);
        plain.insert(plain.end(), config_.version.begin(), config_.version.end());
    } else if (request.size() == 5 && request[0] == 'T' && request[1] == 'M' && request[2] == 'U' &&
               request[3] >= '0' && request[3] <= '9' && request[4] == '1') {
        plain.push_back(code);
        if (code == 'O' && config_.version.size() > 4)
            config_.version[4] = static_cast<char>(request[3]);
    } else {
        plain.push_back('N');
    }
    plain.insert(plain.end(), size_t(config_.padData > 0 ? config_.padData : 0), config_.padByte);
    if (!scrambled)
        return SimBuildFrame(plain, config_.frame);

    unsigned char key;
    if (config_.replyKeyIndex >= 0) {
        key = static_cast<unsigned char>(config_.replyKeyIndex);
    } else {
        key = nextKey_;
        nextKey_ = static_cast<unsigned char>((nextKey_ + 23) % 64);
    }
    std::vector<unsigned char> payload;
    payload.push_back(key);
    unsigned char index = key & 63;
    for (unsigned char b : plain) {
        payload.push_back(b ^ table_[index]);
        index = Step(index);
    }
    return SimBuildFrame(payload, config_.frame);
}
