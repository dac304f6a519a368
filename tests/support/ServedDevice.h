// A virtual device served on a virtual line of its own and started at once,
// for the end-to-end tests: `port` is the path the tool is given.
#ifndef KV_TESTS_SERVEDDEVICE_H
#define KV_TESTS_SERVEDDEVICE_H

#include <string>

#include "sim/VirtualLine.h"

template <class Device, class Config> struct ServedDevice {
    VirtualLine line;
    Device device;
    std::string port;
    explicit ServedDevice(const Config& config = Config())
        : device(line, config), port(line.slavePath()) {
        device.start();
    }
};

#endif
