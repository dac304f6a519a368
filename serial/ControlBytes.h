// The ASCII control bytes of the framed link protocols and the loader's
// block transfer, defined once. In a namespace of their own: the bootloader
// client keeps a global ACK of its own (the dialect's acknowledgement).
#ifndef KV_SERIAL_CONTROLBYTES_H
#define KV_SERIAL_CONTROLBYTES_H

namespace ctl {

const unsigned char STX = 0x02;
const unsigned char ETX = 0x03;
const unsigned char EOT = 0x04;
const unsigned char ENQ = 0x05;
const unsigned char ACK = 0x06;
const unsigned char NAK = 0x15;
const unsigned char CAN = 0x18;

} // namespace ctl

#endif
