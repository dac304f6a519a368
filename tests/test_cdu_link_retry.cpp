// The retry of the dispenser version request with the other frame kind must
// not hand back bytes of the failed first reply: a second reply too short
// for the version is a failure, and nothing of either frame is handed back.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "cdu/CDUCom.h"
#include "serial/ComPort.h"
#include "sim/VirtualLine.h"
#include "support/LinkTest.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Reads `count` bytes the host sent, or fewer on a 4 s silence.
Bytes Take(VirtualLine& line, size_t count) {
    Bytes got;
    unsigned char b = 0;
    while (got.size() < count && line.readByte(&b, 4000))
        got.push_back(b);
    return got;
}

// Answers one request frame of `requestLength` bytes with ACK, then the
// host's ENQ poll with `reply`. The host's ACK of the reply is taken by the
// next request's read (the last one may be discarded by the host's close).
void Exchange(VirtualLine& line, size_t requestLength, const Bytes& reply) {
    Take(line, requestLength);
    line.write(Bytes{0x06});
    Take(line, 1); // ENQ
    line.write(reply);
}

TEST(CduLinkRetry, ShortRetryReplyLeavesNoBytesOfTheFailedFirstReply) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    std::thread device([&line] {
        // First attempt, plain: the dispenser is busy ('P') but sends data.
        Bytes busy = {'P'};
        const char* stale = "STALESTALESTA";
        busy.insert(busy.end(), stale, stale + 13);
        Exchange(line, 6, Frame(busy));
        Take(line, 1); // ACK of the busy reply
        // Retry, scrambled: done ('O') with only two data bytes, key index 0.
        Bytes done = {0x00, static_cast<unsigned char>('O' ^ gszEncrypTable[0]),
                      static_cast<unsigned char>('A' ^ gszEncrypTable[1]),
                      static_cast<unsigned char>('B' ^ gszEncrypTable[2])};
        Exchange(line, 7, Frame(done));
    });
    unsigned char version[14];
    std::memset(version, '#', sizeof version);
    std::string port = line.slavePath();
    int result = CDU_InitGetVersion(0, &port[0], 9600, version);
    CDU_PortClose();
    device.join();
    EXPECT_EQ(-1, result);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ('#', version[i]) << "byte " << i;
}

} // namespace
