// CRS232: a blocking raw terminal port with a 3-second read time-out.
#include "serial/rs232.h"

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal speed for a rate in bit/s; false for a rate the port lacks.
bool SpeedOf(long baud, speed_t* speed) {
    switch (baud) {
    case 1200:
        *speed = B1200;
        return true;
    case 2400:
        *speed = B2400;
        return true;
    case 4800:
        *speed = B4800;
        return true;
    case 9600:
        *speed = B9600;
        return true;
    case 19200:
        *speed = B19200;
        return true;
    case 38400:
        *speed = B38400;
        return true;
    case 57600:
        *speed = B57600;
        return true;
    case 115200:
        *speed = B115200;
        return true;
    case 230400:
        *speed = B230400;
        return true;
    case 460800:
        *speed = B460800;
        return true;
    default:
        return false;
    }
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
    speed_t speed;
    if (!SpeedOf(baudRate, &speed))
        return false;
    // A descriptor still held from an earlier open that failed half-way is
    // released first, or it would be lost when fd is overwritten.
    if (fd != 0)
        closeCom();
    int handle = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (handle < 0)
        return false;
    fd = handle;
    // Only a terminal can be a serial port: a regular file or FIFO given as
    // the port would be overwritten with bootloader frames and read back as
    // replies. Refuse it before anything is written.
    struct termios tio;
    if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
        close(fd);
        fd = 0;
        return false;
    }
    // The flag word O_RDWR alone: clears O_NONBLOCK, so reads block (bounded
    // by VTIME below).
    fcntl(fd, F_SETFL, O_RDWR);

    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= (CLOCAL | CREAD);
    if (parity == 2)
        tio.c_cflag |= PARENB;
    else
        tio.c_cflag &= ~PARENB;
    if (stopBits == 2.0f)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~CSTOPB;
    tio.c_cflag &= ~CSIZE;
    switch (dataBits) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    case 8:
        tio.c_cflag |= CS8;
        break;
    default:
        // 9 data bits pass the range check but no terminal offers them; the
        // descriptor stays held until closeCom or the destructor.
        return false;
    }
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_oflag &= ~OPOST;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 30;
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSAFLUSH, &tio);

    int lines = 0;
    ioctl(fd, TIOCMGET, &lines);
    if (flowControl)
        lines |= (TIOCM_DTR | TIOCM_RTS);
    else
        lines &= ~(TIOCM_DTR | TIOCM_RTS);
    ioctl(fd, TIOCMSET, &lines);

    isOpen = true;
    usleep(10 * 1000);
    return true;
}

void CRS232::closeCom() {
    if (fd != 0) {
        tcflush(fd, TCOFLUSH);
        close(fd);
        fd = 0;
    }
    isOpen = false;
}

int CRS232::sendData(int len, unsigned char* buf) {
    if (len < 0 || buf == nullptr)
        return 0;
    if (echoMode == 2) {
        // The line returns every byte sent: wait for each echo before the
        // next byte; the echo replaces the byte in the caller's buffer.
        for (int i = 0; i < len; ++i) {
            if (write(fd, &buf[i], 1) != 1)
                return -1;
            if (read(fd, &buf[i], 1) != 1)
                return -1;
        }
        return len;
    }
    ssize_t n = write(fd, buf, static_cast<size_t>(len));
    if (n < 0)
        return -1;
    return static_cast<int>(n);
}

int CRS232::receiveData(int len, unsigned char* buf) {
    if (len < 0 || buf == nullptr)
        return 0;
    if (echoMode == 0 || echoMode == 2) {
        ssize_t n = read(fd, buf, static_cast<size_t>(len));
        if (n == 0)
            return -1;
        if (n < 0)
            return -1;
        return static_cast<int>(n);
    }
    if (echoMode == 1) {
        // The far end expects every byte it sends to come back.
        for (int i = 0; i < len; ++i) {
            if (read(fd, &buf[i], 1) != 1)
                return -1;
            if (write(fd, &buf[i], 1) != 1)
                return -1;
        }
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
