// The ASCII control bytes of the framed link protocols and the loader's
// block transfer, defined once.
#ifndef KV_SERIAL_CONTROLBYTES_H
#define KV_SERIAL_CONTROLBYTES_H

const unsigned char STX = 0x02;
const unsigned char ETX = 0x03;
const unsigned char EOT = 0x04;
const unsigned char ENQ = 0x05;
const unsigned char ACK = 0x06;
const unsigned char NAK = 0x15;
const unsigned char CAN = 0x18;

#endif
