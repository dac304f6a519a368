// The technician's side of a terminal that a console child runs on: what
// the child has shown so far, a wait for a text, and typing.
#ifndef KV_TESTS_TTYSCREEN_H
#define KV_TESTS_TTYSCREEN_H

#include <string>

#include "sim/VirtualLine.h"

class TtyScreen {
  public:
    // Each wait gives up after `quietMs` without a byte from the child.
    TtyScreen(VirtualLine& line, int quietMs) : line_(line), quietMs_(quietMs) {}

    // Reads until `text` has been shown; false when the child fell silent.
    bool waitFor(const std::string& text) {
        unsigned char b = 0;
        while (seen.find(text) == std::string::npos && line_.readByte(&b, quietMs_))
            seen += static_cast<char>(b);
        return seen.find(text) != std::string::npos;
    }
    void type(const std::string& text) {
        line_.write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }

    std::string seen; // everything the child has shown

  private:
    VirtualLine& line_;
    int quietMs_;
};

#endif
