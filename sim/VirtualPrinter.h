// A virtual receipt printer in online mode, served on a VirtualLine. It
// speaks the printer link protocol from the device side: it acknowledges a
// request frame, answers ENQ polls with ACK until its reply is ready and then
// with the reply frame, and takes the host's ACK of that frame.
//
// The version request (data "V") is answered with the status byte, the five
// version characters and the two CRC bytes (plus optional filler bytes); any
// other request is answered with the status byte alone. Every byte the host
// sends is logged, so tests can assert exact wire bytes.
//
// Usage:
//   VirtualLine line;
//   PrinterConfig cfg;              // answers at any speed, version "V1.23", CRC 0A B3
//   cfg.line.baudOnly = 9600;       // ... or only at 9600 baud
//   VirtualPrinter printer(line, cfg);
//   printer.start();
//   ... host opens line.slavePath() ...
//   printer.received();             // 02 01 00 56 03 54 05 06 ...
#ifndef KV_SIM_VIRTUALPRINTER_H
#define KV_SIM_VIRTUALPRINTER_H

#include <mutex>
#include <string>
#include <vector>

#include "sim/SimLinkDevice.h"
#include "sim/VirtualLine.h"

struct PrinterConfig {
    // State reported by the version reply (changeable while running).
    std::string version = "V1.23";       // normally 5 characters; sent as it stands
    unsigned char crc[2] = {0x0A, 0xB3}; // firmware CRC, first byte first
    // Line behaviour: baudOnly, silent, ackRequest, ackPolls.
    LinkLineOptions line;
    // Reply frame shape: lengthField, insertFF, badCheck.
    LinkFrameOptions frame;
    unsigned char status = 'O'; // 'O' or 'S' = success; anything else = failure
    int padData = 0;            // filler bytes after version and CRC (N = 8 + padData)
    unsigned char padByte = 'x';
    // Non-empty: sent as the whole reply frame instead of the built one.
    std::vector<unsigned char> rawReply;
};

class VirtualPrinter {
  public:
    VirtualPrinter(VirtualLine& line, const PrinterConfig& config = PrinterConfig());
    ~VirtualPrinter(); // stops the device thread
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    void start();
    void stop(); // may be called at any time, also while the host has the line closed

    void setConfig(const PrinterConfig& config); // takes effect with the next byte
    PrinterConfig config() const;
    void setVersion(const std::string& version, unsigned char crcHigh, unsigned char crcLow);

    std::vector<unsigned char> received() const; // every host byte since start/clearLog
    std::vector<unsigned char> sent() const;     // every device byte since start/clearLog
    void clearLog();
    int requests() const;  // well-formed request frames taken
    int badFrames() const; // request frames with a wrong ETX or check byte
    int polls() const;     // ENQ polls answered

  private:
    SimLinkDevice::Answer handle(const std::vector<unsigned char>& payload);

    mutable std::mutex mutex_;
    PrinterConfig config_;
    SimLinkDevice device_;
};

#endif
