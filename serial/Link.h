// The framed, ENQ-polled exchange that the printer and the dispenser both
// speak in online mode: a request frame answered by ACK, then ENQ polls
// until the device starts its reply frame, which is acknowledged in turn.
//
// Frame: STX, L (16 bits, low byte first), L payload bytes, ETX, check byte
// (XOR of everything from the length up to and including the ETX). The
// payload is passed as it goes on the wire; any scrambling is the caller's.
#ifndef KV_SERIAL_LINK_H
#define KV_SERIAL_LINK_H

#include <pthread.h>

#include <cstdint>

// What differs between the devices: their port, their lock and their windows.
struct LinkProfile {
    int* handle;            // the device's open port (0: none)
    pthread_mutex_t* mutex; // held from a request frame to the end of its reply
    int ackWindowMs;        // for the ACK of a request frame
    int enqWindowMs;        // for the answer to one ENQ
    bool enqPaced;          // ENQ window tested with the 1 ms pause of CheckTimeOut,
                            // else on the bare tick (strictly more than the window)
};

// The results of the link functions, and of the device queries built on
// them (version, cassette number), as the callers compare them.
enum LinkResult {
    LINK_OK = 0,
    LINK_BAD_REPLY = -1, // an answer, but not the one asked for
    LINK_TIMEOUT = -2,   // no ACK or no reply within the window
    LINK_OVERFLOW = -3,  // the reply frame does not end within the buffer
    LINK_PORT_FAIL = -4, // the port cannot be opened
};

// Longest reply frame the receiver stores, check byte included.
const int kLinkReplySize = 1026;

// Opens the profile's port with 8 data bits and no parity unless one is
// already open: LINK_OK when a port is open afterwards, LINK_PORT_FAIL
// otherwise.
int LinkOpen(const LinkProfile& link, const char* port, int baud);
// Closes the profile's port if one is open; the handle is 0 afterwards.
void LinkClose(const LinkProfile& link);
// One ENQ poll: 0 = ACK (nothing to send yet), 1 = STX (a frame begins),
// -2 = neither within the window.
int LinkPollEnq(const LinkProfile& link);
// Takes the lock, discards both queues, builds the frame around `payload`
// in `frame` (room for `length` + 5 bytes, checked by the caller), writes it
// and waits for the ACK: 0 with the lock still held for the reply, -2 with
// the lock released.
int LinkSendFrame(const LinkProfile& link, unsigned char* frame, const unsigned char* payload,
                  int length);
// Polls for the reply frame and stores it, STX to check byte, in `frame`
// (kLinkReplySize bytes) within `timeoutMs` of `start`; acknowledges it and
// releases the lock on every return. 0 with *stored set to the bytes stored,
// -2 on time-out, -3 when the frame does not end within the buffer.
// 0xFF bytes are dropped; the check byte is stored as it comes.
int LinkReceiveFrame(const LinkProfile& link, uint64_t start, int timeoutMs, unsigned char* frame,
                     int* stored);

#endif
