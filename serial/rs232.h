// The serial port object of the bootloader client: opens a terminal device
// raw with a chosen speed and character format, moves blocks of bytes with
// every read and write bounded by a 3-second wait for the line, and copes with
// lines that echo (mode 1: every received byte is sent back; mode 2: every
// sent byte is read back).
#ifndef KV_SERIAL_RS232_H
#define KV_SERIAL_RS232_H

#include <string>

class CRS232 {
  public:
    bool isOpen;
    char portName[100];
    long baudRate;
    int dataBits;
    int parity;       // 2 = even; 0 and 1 = none
    float stopBits;   // exactly 2.0 = two, else one
    int echoMode;     // 0 plain, 1 echo back received bytes, 2 read back sent bytes
    bool flowControl; // raise DTR and RTS at open
    int fd;           // 0 when no descriptor is held

    CRS232();
    virtual ~CRS232();
    CRS232(const CRS232&) = delete;
    CRS232& operator=(const CRS232&) = delete;

    // Stores the settings without range checks. A null name, or one longer
    // than portName holds (99 characters), is refused: nothing is stored.
    void SetComSettings(char* port, long baud, int dataBits, int parity, float stopBits);
    bool openCom();
    void closeCom();
    // Returns the bytes taken, 0 for bad arguments, -1 on failure.
    int sendData(int len, unsigned char* buf);
    // Returns the bytes read, 0 for bad arguments, -1 on time-out or failure.
    int receiveData(int len, unsigned char* buf);
    int sendData(std::string* text);
    int receiveData(std::string* text);
};

#endif
