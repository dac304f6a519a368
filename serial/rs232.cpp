// CRS232: a raw terminal port on which every read and write waits at most
// 3 seconds for the line.
#include "serial/rs232.h"

#include <cstring>

#include "serial/SerialLine.h"

namespace {

// Every read and write waits at most this long for the line.
const int kLineWindowMs = 3000;

// One byte each way, for the echo modes.
bool PutByte(int fd, unsigned char* byte) {
    return SerialWrite(fd, byte, 1, kLineWindowMs) == 1;
}

bool GetByte(int fd, unsigned char* byte) {
    return SerialRead(fd, byte, 1, kLineWindowMs) == 1;
}

} // namespace

CRS232::CRS232()
    : isOpen(false), baudRate(115200), dataBits(8), parity(2), stopBits(1.0f), echoMode(0),
      flowControl(false), fd(0) {
    memset(portName, 0, sizeof(portName));
}

CRS232::~CRS232() {
    if (fd != 0)
        closeCom();
}

void CRS232::SetComSettings(char* port, long baud, int bits, int par, float stop) {
    if (port == nullptr || strnlen(port, sizeof(portName)) >= sizeof(portName))
        return;
    strcpy(portName, port);
    baudRate = baud;
    dataBits = bits;
    parity = par;
    stopBits = stop;
}

bool CRS232::openCom() {
    if (baudRate <= 0 || dataBits < 5 || dataBits > 9 || parity < 0 || parity > 2 ||
        stopBits < 1.0f || stopBits > 2.0f)
        return false;
    if (LineSpeed(baudRate) == 0)
        return false;
    // A descriptor still held from an earlier open that failed half-way is
    // released first, or it would be lost when fd is overwritten.
    if (fd != 0)
        closeCom();
    fd = OpenSerialLine(portName, baudRate);
    if (fd == 0)
        return false;
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    // 9 data bits pass the range check but no terminal offers them; the
    // descriptor stays held until closeCom or the destructor.
    if (dataBits > 8)
        return false;
    LineFormat format = {
        LineSpeed(baudRate), sizes[dataBits - 5], parity == 2, stopBits == 2.0f, 30, flowControl};
    ConfigureSerialLine(fd, format);
    isOpen = true;
    return true;
}

void CRS232::closeCom() {
    if (fd != 0) {
        CloseSerialLine(fd);
        fd = 0;
    }
    isOpen = false;
}

int CRS232::sendData(int len, unsigned char* buf) {
    if (len < 0 || buf == nullptr)
        return 0;
    if (fd == 0) // no port held: never the process's standard input
        return -1;
    if (echoMode == 2) {
        // The line returns every byte sent: wait for each echo before the
        // next byte; the echo replaces the byte in the caller's buffer.
        for (int i = 0; i < len; ++i)
            if (!PutByte(fd, &buf[i]) || !GetByte(fd, &buf[i]))
                return -1;
        return len;
    }
    if (len == 0)
        return 0;
    return static_cast<int>(SerialWrite(fd, buf, static_cast<size_t>(len), kLineWindowMs));
}

int CRS232::receiveData(int len, unsigned char* buf) {
    if (len < 0 || buf == nullptr)
        return 0;
    if (fd == 0) // no port held: never the process's standard input
        return -1;
    if (echoMode == 0 || echoMode == 2) {
        ssize_t n = SerialRead(fd, buf, static_cast<size_t>(len), kLineWindowMs);
        return n > 0 ? static_cast<int>(n) : -1;
    }
    if (echoMode == 1) {
        // The far end expects every byte it sends to come back.
        for (int i = 0; i < len; ++i)
            if (!GetByte(fd, &buf[i]) || !PutByte(fd, &buf[i]))
                return -1;
        return len;
    }
    return -1;
}

int CRS232::sendData(std::string* text) {
    if (text == nullptr)
        return 0;
    return sendData(static_cast<int>(text->size()), reinterpret_cast<unsigned char*>(&(*text)[0]));
}

int CRS232::receiveData(std::string* text) {
    if (text == nullptr)
        return 0;
    unsigned char local[1024 + 1];
    int n = receiveData(1024, local);
    if (n > 0) {
        local[n] = 0;
        text->assign(reinterpret_cast<char*>(local));
    }
    return n;
}
