// Small pieces shared by the printer and dispenser link tests: frames and
// frames as text, the link lock check, elapsed time, and the fixture that
// serves a virtual device on a virtual line.
#ifndef KV_TESTS_LINKTEST_H
#define KV_TESTS_LINKTEST_H

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sim/VirtualLine.h"
#include "support/HexText.h"

// Bytes as text "02 01 00 ", each followed by a blank.
inline std::string Hex(const std::vector<unsigned char>& bytes) {
    return bytes.empty() ? std::string() : HexDigits(bytes.data(), bytes.size(), true, " ") + " ";
}

// A frame around `payload`: STX, length, 0, payload, ETX, then the XOR of
// everything after the STX.
inline std::vector<unsigned char> Frame(const std::vector<unsigned char>& payload) {
    // Built byte by byte: an insert after a three-byte start makes GCC 12
    // warn falsely about the copy (-Warray-bounds).
    std::vector<unsigned char> f;
    f.reserve(payload.size() + 5);
    f.push_back(0x02);
    f.push_back(static_cast<unsigned char>(payload.size()));
    f.push_back(0x00);
    for (unsigned char b : payload)
        f.push_back(b);
    f.push_back(0x03);
    unsigned char check = 0;
    for (size_t i = 1; i < f.size(); ++i)
        check ^= f[i];
    f.push_back(check);
    return f;
}

// True when no one holds `mutex` (the link lock of a device).
inline bool MutexFree(pthread_mutex_t& mutex) {
    if (pthread_mutex_trylock(&mutex) != 0)
        return false;
    pthread_mutex_unlock(&mutex);
    return true;
}

inline long long MsSince(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin)
        .count();
}

// The fixture of the link tests: a virtual device of type Device on a
// virtual line, started with a config by start(). At the end the port is
// closed (Close), the device stopped, the link lock (Lock) free and every
// request frame the device took well-formed.
template <class Device, class Config, void (*Close)(), pthread_mutex_t* Lock>
class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line.ok()); }
    void TearDown() override {
        Close();
        device.stop();
        EXPECT_TRUE(MutexFree(*Lock));
        EXPECT_EQ(0, device.badFrames());
    }
    void start(const Config& config) {
        device.setConfig(config);
        device.start();
    }
    char* port() { return const_cast<char*>(line.slavePath().c_str()); }
    // The host's last byte may still be on its way to the device thread.
    std::vector<unsigned char> receivedAtLeast(size_t count) {
        for (int i = 0; i < 200 && device.received().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return device.received();
    }

    VirtualLine line;
    Device device{line};
};

#endif
