// Small pieces shared by the printer and dispenser link tests: frames and
// frames as text, the link lock check, elapsed time, and a host end on a
// virtual line that closes its port when the test ends.
#ifndef KV_TESTS_LINKTEST_H
#define KV_TESTS_LINKTEST_H

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/VirtualLine.h"

// Bytes as text "02 01 00 ", each followed by a blank.
inline std::string Hex(const std::vector<unsigned char>& bytes) {
    std::string out;
    char cell[4];
    for (unsigned char b : bytes) {
        snprintf(cell, sizeof cell, "%02X ", b);
        out += cell;
    }
    return out;
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

// The host end of a virtual line; `Close` closes the device's port.
template <void (*Close)()> struct LinkHost {
    VirtualLine line;
    char* port() { return const_cast<char*>(line.slavePath().c_str()); }
    ~LinkHost() { Close(); }
};

#endif
