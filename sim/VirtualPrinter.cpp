#include "sim/VirtualPrinter.h"

VirtualPrinter::VirtualPrinter(VirtualLine& line, const PrinterConfig& config)
    : config_(config),
      device_(line, [this](const std::vector<unsigned char>& payload) { return handle(payload); }) {
    device_.setLineOptions(config.line);
}

VirtualPrinter::~VirtualPrinter() {
    device_.stop();
}

void VirtualPrinter::start() {
    device_.start();
}
void VirtualPrinter::stop() {
    device_.stop();
}

void VirtualPrinter::setConfig(const PrinterConfig& config) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = config;
    }
    device_.setLineOptions(config.line);
}

PrinterConfig VirtualPrinter::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void VirtualPrinter::setVersion(const std::string& version, unsigned char crcHigh,
                                unsigned char crcLow) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.version = version;
    config_.crc[0] = crcHigh;
    config_.crc[1] = crcLow;
}

std::vector<unsigned char> VirtualPrinter::received() const {
    return device_.received();
}
std::vector<unsigned char> VirtualPrinter::sent() const {
    return device_.sent();
}
void VirtualPrinter::clearLog() {
    device_.clearLog();
}
int VirtualPrinter::requests() const {
    return device_.requests();
}
int VirtualPrinter::badFrames() const {
    return device_.badFrames();
}
int VirtualPrinter::polls() const {
    return device_.polls();
}

SimLinkDevice::Answer VirtualPrinter::handle(const std::vector<unsigned char>& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    SimLinkDevice::Answer answer;
    if (!config_.rawReply.empty()) {
        answer.reply = config_.rawReply;
        return answer;
    }
    std::vector<unsigned char> data;
    data.push_back(config_.status);
    if (payload.size() == 1 && payload[0] == 'V') {
        data.insert(data.end(), config_.version.begin(), config_.version.end());
        data.push_back(config_.crc[0]);
        data.push_back(config_.crc[1]);
        data.insert(data.end(), size_t(config_.padData > 0 ? config_.padData : 0), config_.padByte);
    }
    answer.reply = SimBuildFrame(data, config_.frame);
    return answer;
}
