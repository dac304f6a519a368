// Dispenser link protocol against the virtual dispenser on a pseudo-terminal:
// wire bytes of plain and scrambled requests, polling, reply codes, frame
// limits, the retry with the other frame kind, and the lock after each.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cdu/CDUCom.h"
#include "sim/VirtualDispenser.h"
#include "serial/ComPort.h"
#include "support/LinkTest.h"
#include "test_cdu_link.h"

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kPlainVersionRequest = {0x02, 0x01, 0x00, 0x56, 0x03, 0x54};

class CduLink : public LinkFixture<VirtualDispenser, DispenserConfig, CDU_PortClose, &g_mutexCDU> {
  protected:
    VirtualDispenser& dispenser = device;
    int getInfo(unsigned char encrypt) {
        std::memset(reply, 0, sizeof reply);
        if (CDU_PortOpen(port(), 9600) != 0)
            return -4;
        return CDU_GetInfo(encrypt, reply);
    }
    std::string replyVersion() const {
        return std::string(reinterpret_cast<const char*>(reply + 4), 13);
    }

    unsigned char reply[1026 + 16];
};

TEST_F(CduLink, PlainVersionExchangeIsByteExact) {
    start(DispenserConfig());
    ASSERT_TRUE(dispenser.keyTableLoaded());
    ASSERT_EQ(0, getInfo(0));
    EXPECT_EQ("DSP12A0105R00", replyVersion());
    Bytes wire = kPlainVersionRequest;
    wire.insert(wire.end(), {0x05, 0x06});
    EXPECT_EQ(Hex(wire), Hex(receivedAtLeast(wire.size())));
    Bytes fromDevice = {0x06};
    Bytes answer = Frame({'O', 'D', 'S', 'P', '1', '2', 'A', '0', '1', '0', '5', 'R', '0', '0'});
    fromDevice.insert(fromDevice.end(), answer.begin(), answer.end());
    EXPECT_EQ(Hex(fromDevice), Hex(dispenser.sent()));
    std::printf("dispenser plain host->device: %s\ndispenser plain device->host: %s\n",
                Hex(dispenser.received()).c_str(), Hex(dispenser.sent()).c_str());
}

TEST_F(CduLink, ScrambledVersionRequestIsSevenBytesWithTheKeyInClear) {
    start(DispenserConfig());
    ASSERT_EQ(0, getInfo(1));
    EXPECT_EQ("DSP12A0105R00", replyVersion());
    Bytes wire = receivedAtLeast(9);
    ASSERT_EQ(9u, wire.size()) << Hex(wire);
    unsigned char k = wire[3];
    ASSERT_LT(k, 64);
    Bytes frame = Frame({k, static_cast<unsigned char>(gszEncrypTable[k] ^ 'V')});
    frame.insert(frame.end(), {0x05, 0x06});
    EXPECT_EQ(Hex(frame), Hex(wire));
    ASSERT_EQ(1u, dispenser.requestLog().size());
    EXPECT_EQ(Bytes{'V'}, dispenser.requestLog()[0]);
    EXPECT_TRUE(dispenser.scrambledLog()[0]);
    std::printf("dispenser scrambled host->device: %s\ndispenser scrambled device->host: %s\n",
                Hex(dispenser.received()).c_str(), Hex(dispenser.sent()).c_str());
}

TEST_F(CduLink, SetCassetteIsSeenByTheNextRead) {
    start(DispenserConfig());
    ASSERT_EQ(0, CDU_InitSetInformation(0, port(), 9600, 3));
    Bytes wire = Frame({'T', 'M', 'U', '3', '1'});
    wire.insert(wire.end(), {0x05, 0x06});
    EXPECT_EQ(Hex(wire), Hex(receivedAtLeast(wire.size())));
    EXPECT_EQ(3, dispenser.cassette());

    ASSERT_EQ(0, CDU_InitSetInformation(1, port(), 9600, 5));
    ASSERT_EQ(2u, dispenser.requestLog().size());
    EXPECT_EQ((Bytes{'T', 'M', 'U', '5', '1'}), dispenser.requestLog()[1]);
    EXPECT_TRUE(dispenser.scrambledLog()[1]);

    unsigned char version[14] = {0};
    ASSERT_EQ(0, CDU_InitGetVersion(1, port(), 9600, version));
    EXPECT_STREQ("DSP15A0105R00", reinterpret_cast<char*>(version));
}

TEST_F(CduLink, AckedPollsDrawNewEnqsUntilTheFrameStarts) {
    DispenserConfig config;
    config.line.ackPolls = 2;
    start(config);
    ASSERT_EQ(0, getInfo(0));
    Bytes wire = kPlainVersionRequest;
    wire.insert(wire.end(), {0x05, 0x05, 0x05, 0x06});
    EXPECT_EQ(Hex(wire), Hex(receivedAtLeast(wire.size())));
}

TEST_F(CduLink, ReplyCodesMapToResultsAndReleaseTheLock) {
    struct Case {
        unsigned char code;
        int result;
    } cases[] = {{'O', 0}, {'P', 2}, {'S', -1}, {'N', -1}};
    start(DispenserConfig());
    for (const Case& c : cases) {
        for (unsigned char encrypt : {0, 1}) {
            SCOPED_TRACE(std::string(1, char(c.code)) + (encrypt ? " scrambled" : " plain"));
            DispenserConfig config;
            config.replyCode = c.code;
            dispenser.setConfig(config);
            EXPECT_EQ(c.result, getInfo(encrypt));
            EXPECT_EQ(c.code, reply[3]);
            EXPECT_TRUE(MutexFree(g_mutexCDU));
            // Request, ENQ and the ACK of the reply, whatever the code.
            EXPECT_EQ(0x06, receivedAtLeast(encrypt ? 9 : 8).back());
            dispenser.clearLog();
        }
    }
}

TEST_F(CduLink, PReplyThenTheRetryAnswersWithoutHanging) {
    DispenserConfig config;
    config.replyCode = 'P';
    config.replyCodeCount = 1; // 'P' once, then 'O'
    start(config);
    unsigned char version[14] = {0};
    ASSERT_EQ(0, CDU_InitGetVersion(1, port(), 9600, version));
    EXPECT_STREQ("DSP12A0105R00", reinterpret_cast<char*>(version));
    std::vector<bool> scrambled = dispenser.scrambledLog();
    ASSERT_EQ(2u, scrambled.size());
    EXPECT_TRUE(scrambled[0]);
    EXPECT_FALSE(scrambled[1]);

    // The same for a set: 'P' on the scrambled attempt, done on the plain one.
    dispenser.setConfig(config);
    EXPECT_EQ(0, CDU_InitSetInformation(1, port(), 9600, 4));
    EXPECT_EQ(4, dispenser.cassette());
}

TEST_F(CduLink, ContinuedReceiveAfterPTakesItsOwnLock) {
    DispenserConfig config;
    config.replyCode = 'P';
    config.replyCodeCount = 1;
    config.finalAfterP = true;
    start(config);
    ASSERT_EQ(2, getInfo(1));
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    unsigned long started = dwStartT;
    std::memset(reply, 0, sizeof reply);
    EXPECT_EQ(0, RecvCduDataFrame(1, 3000, 1, reply));
    EXPECT_EQ(started, dwStartT); // still the first wait's start
    EXPECT_EQ("DSP12A0105R00", replyVersion());
}

TEST_F(CduLink, NoiseEtxInPayloadAndWrongCheckByteAreTolerated) {
    DispenserConfig config;
    config.frame.insertFF = true;
    config.frame.badCheck = true;
    config.version = std::string("AB\x03"
                                 "DE\x03"
                                 "GHIJKLM");
    start(config);
    for (unsigned char encrypt : {0, 1}) {
        ASSERT_EQ(0, getInfo(encrypt));
        EXPECT_EQ(config.version, replyVersion());
        EXPECT_EQ(0x06, receivedAtLeast(encrypt ? 9 : 8).back());
        dispenser.clearLog();
    }
}

TEST_F(CduLink, ScrambledReplyKeyIndexIsChecked) {
    DispenserConfig config;
    config.replyKeyIndex = 63; // the walk wraps to entry 0 at once
    start(config);
    EXPECT_EQ(0, getInfo(1));
    EXPECT_EQ("DSP12A0105R00", replyVersion());
    config.replyKeyIndex = 64;
    dispenser.setConfig(config);
    EXPECT_EQ(-1, getInfo(1));
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    config.replyKeyIndex = 200;
    dispenser.setConfig(config);
    unsigned char version[14] = {0};
    // The plain retry still gets through.
    EXPECT_EQ(0, CDU_InitGetVersion(1, port(), 9600, version));
}

TEST_F(CduLink, ScrambledReplyLengthLimits) {
    DispenserConfig config;
    config.padData = 250 - 15; // key index, code, 13 version bytes, filler: frame of 255
    start(config);
    EXPECT_EQ(0, getInfo(1));
    EXPECT_EQ("DSP12A0105R00", replyVersion());
    EXPECT_EQ('x', reply[4 + 13]);
    EXPECT_EQ('x', reply[3 + 249 - 1]);

    config.padData = 251 - 15; // frame of 256: too long for the unscrambler
    dispenser.setConfig(config);
    EXPECT_EQ(-1, getInfo(1));
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    config.padData = 300;
    dispenser.setConfig(config);
    EXPECT_EQ(-1, getInfo(1));
    EXPECT_EQ(0, getInfo(0)); // a plain reply of that size is fine
}

TEST_F(CduLink, ShortScrambledReplyIsAFailedSetNotAStaleSuccess) {
    start(DispenserConfig());
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    // A good set first leaves an 'O' behind on the stack, where the next
    // set's reply buffer lies.
    ASSERT_EQ(0, CDU_SetInfo(1, 2));
    DispenserConfig config;
    config.rawReply = Frame({0x05}); // key index only: nothing to unscramble
    dispenser.setConfig(config);
    EXPECT_EQ(-1, CDU_SetInfo(1, 3));
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    config.rawReply = Frame({}); // no payload at all
    dispenser.setConfig(config);
    EXPECT_EQ(-1, CDU_SetInfo(1, 3));
    EXPECT_EQ(2, dispenser.cassette());
}

TEST_F(CduLink, LongestPlainReplyIsTakenWhole) {
    DispenserConfig config;
    config.padData = 1021 - 14; // code, 13 version bytes, filler: 1021 payload bytes
    config.padByte = 0x03;
    start(config);
    std::memset(reply, 0xEE, sizeof reply);
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    ASSERT_EQ(0, CDU_GetInfo(0, reply));
    EXPECT_EQ(0xFD, reply[1]);
    EXPECT_EQ(0x03, reply[1024]);
    EXPECT_EQ(dispenser.sent().back(), reply[1025]);
    EXPECT_EQ(0xEE, reply[1026]);
}

TEST_F(CduLink, PlainReplyLongerThanTheBufferEndsTooLong) {
    DispenserConfig config;
    config.padData = 1022 - 14;
    start(config);
    std::memset(reply, 0xEE, sizeof reply);
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    EXPECT_EQ(-3, CDU_GetInfo(0, reply));
    EXPECT_EQ(0xEE, reply[0]); // nothing handed over
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Bytes wire = kPlainVersionRequest;
    wire.push_back(0x05); // never acknowledged
    EXPECT_EQ(Hex(wire), Hex(dispenser.received()));
}

TEST_F(CduLink, PlainRetryAfterARefusedScrambledRequest) {
    ExpectPlainRetryServes(dispenser, port(), DispenserConfig::ScrambledErrorReply, 6);
}

TEST_F(CduLink, PortHandlingAndModeChange) {
    start(DispenserConfig());
    EXPECT_EQ(-1, CDU_InitModeChange(port(), 9600));
    EXPECT_EQ(-1, CDU_ModeChange());
    EXPECT_EQ(0, ghCduHandle);
    EXPECT_FALSE(line.slaveOpen());

    ASSERT_EQ(0, CDU_PortOpen(port(), 57600));
    int first = ghCduHandle;
    EXPECT_EQ(0, CDU_PortOpen(port(), 9600));
    EXPECT_EQ(first, ghCduHandle);
    EXPECT_EQ(57600, line.baud());
    CDU_PortClose();
    EXPECT_EQ(0, ghCduHandle);
    CDU_PortClose();

    char missing[] = "/dev/kvfwdn-no-such-port";
    unsigned char version[13];
    EXPECT_EQ(-4, CDU_InitGetVersion(1, missing, 9600, version));
    EXPECT_EQ(-4, CDU_InitSetInformation(1, missing, 9600, 1));
    EXPECT_EQ(0, ghCduHandle);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(dispenser.received().empty());
}

TEST_F(CduLink, RequestTooLongIsRefusedUnsent) {
    start(DispenserConfig());
    ASSERT_EQ(0, CDU_PortOpen(port(), 9600));
    unsigned char big[2100];
    std::memset(big, 'T', sizeof big);
    EXPECT_EQ(-1, SendCduDataFrame(1, big, 127)); // 126 data bytes: too many to scramble
    EXPECT_EQ(-1, SendCduDataFrame(1, big, 0));
    EXPECT_EQ(-1, SendCduDataFrame(0, big, 2044));
    EXPECT_EQ(-1, SendCduDataFrame(0, big, -1));
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(dispenser.received().empty());

    // The largest of each kind goes out whole.
    ASSERT_EQ(0, SendCduDataFrame(1, big, 126));
    EXPECT_EQ(-1, RecvCduDataFrame(1, 3000, 0, reply)); // the device does not know it: 'N'
    ASSERT_EQ(0, SendCduDataFrame(0, big, 2043));
    EXPECT_EQ(-1, RecvCduDataFrame(0, 3000, 0, reply));
    std::vector<std::vector<unsigned char>> log = dispenser.requestLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(126u, log[0].size());
    EXPECT_EQ(2043u, log[1].size());
}

// A reply too short to hold the 13 version bytes after its code, or one
// whose version is empty, is no answer: both frame kinds fail and nothing
// reaches the caller's version.
TEST_F(CduLink, ShortOrEmptyVersionReplyIsAFailure) {
    DispenserConfig config;
    config.version = "AB";
    start(config);
    unsigned char version[14];
    std::memset(version, 0, sizeof version);
    EXPECT_EQ(-1, CDU_InitGetVersion(1, port(), 9600, version));
    EXPECT_EQ(0, version[0]);
    EXPECT_TRUE(MutexFree(g_mutexCDU));
    CDU_PortClose();
    for (unsigned char encrypt : {0, 1}) {
        config.version = "DSP12A0105R0"; // one byte short
        dispenser.setConfig(config);
        EXPECT_EQ(-1, getInfo(encrypt));
        CDU_PortClose();
        config.version = std::string(1, '\0') + "SP12A0105R00";
        dispenser.setConfig(config);
        EXPECT_EQ(-1, getInfo(encrypt));
        CDU_PortClose();
        config.version = "DSP12A0105R00";
        dispenser.setConfig(config);
        EXPECT_EQ(0, getInfo(encrypt));
        CDU_PortClose();
    }
    config.rawReply = Frame({'O', 'A', 'B'}); // ETX and check byte are no version text
    dispenser.setConfig(config);
    EXPECT_EQ(-1, CDU_InitGetVersion(1, port(), 9600, version));
    EXPECT_EQ(0, version[0]);
}

} // namespace
