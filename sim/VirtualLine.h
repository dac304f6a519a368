// A virtual serial line: a pseudo-terminal pair. The code under test opens
// slavePath() like any serial device; a test or a virtual device plays the
// far end on the master side.
//
// Facts of pseudo-terminals that the device side must live with:
// - While no one has the slave open, reads on the master fail (EIO); the
//   line keeps the master open and readByte() simply waits.
// - The host's open sequence flushes both queues, so a device must answer
//   only after the host has opened the line.
// - The slave's line speed, as the host set it, is visible through
//   tcgetattr on the master (baud()).
#ifndef KV_SIM_VIRTUALLINE_H
#define KV_SIM_VIRTUALLINE_H

#include <cstddef>
#include <string>
#include <vector>

class VirtualLine {
  public:
    VirtualLine();
    ~VirtualLine();
    VirtualLine(const VirtualLine&) = delete;
    VirtualLine& operator=(const VirtualLine&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Reads one byte within timeoutMs: true with the byte stored, false on
    // time-out. Waits through periods in which the slave is closed.
    bool readByte(unsigned char* byte, int timeoutMs);
    // Reads up to `max` bytes that arrive within timeoutMs of each other,
    // returning as soon as the line has been idle that long.
    std::vector<unsigned char> readIdle(size_t max, int idleMs);
    // Writes all bytes to the host; false when the line refused them.
    bool write(const unsigned char* data, size_t length);
    bool write(const std::vector<unsigned char>& data) { return write(data.data(), data.size()); }
    // Line speed in bit/s that the host last set on the slave (0 if unknown).
    int baud() const;
    // True while some process holds the slave side open.
    bool slaveOpen() const;
    // Discards whatever the host sent that has not been read yet.
    void drain();

  private:
    int master_ = -1;
    std::string slavePath_;
};

#endif
