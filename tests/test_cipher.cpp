// Dispenser frame cipher: the key-index walk, scrambling and unscrambling,
// and the limits of its byte-wide lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "serial/ComPort.h"
#include "sim/SimKeyTable.h"

namespace {

// Scrambles until the generator picks `key`; the generator is the process's
// own, so this only spends calls of rand().
char ScrambleWithKey(unsigned char key, char cmd, char* data, char len, char* out) {
    for (int i = 0; i < 100000; ++i) {
        char n = MakeEncryptionData(cmd, data, len, out);
        if (static_cast<unsigned char>(out[0]) == key)
            return n;
    }
    ADD_FAILURE() << "key index " << int(key) << " never picked";
    return 0;
}

TEST(Cipher, IndexWalksUpAndWrapsAfter63) {
    EXPECT_EQ(1, GetNextTableOrder(0));
    EXPECT_EQ(63, GetNextTableOrder(62));
    EXPECT_EQ(0, GetNextTableOrder(63));
    EXPECT_EQ(0, GetNextTableOrder(64));
    EXPECT_EQ(0, GetNextTableOrder(static_cast<char>(200)));
    EXPECT_EQ(0, GetNextTableOrder(static_cast<char>(0xFF)));
    EXPECT_EQ(0, GetNextTableOrder(static_cast<char>(0x80))); // negative as a char
}

TEST(Cipher, EmbeddedTableIsTheDataFileTheDeviceReads) {
    unsigned char fromFile[64];
    ASSERT_TRUE(SimLoadKeyTable(fromFile));
    EXPECT_EQ(0, std::memcmp(fromFile, gszEncrypTable, 64));
}

TEST(Cipher, CommandAloneGivesKeyIndexAndOneScrambledByte) {
    char out[4] = {0, 0, 0x55, 0x55};
    EXPECT_EQ(2, MakeEncryptionData('V', nullptr, 0, out));
    unsigned char k = static_cast<unsigned char>(out[0]);
    ASSERT_LT(k, 64);
    EXPECT_EQ(gszEncrypTable[k] ^ 'V', static_cast<unsigned char>(out[1]));
    EXPECT_EQ(0x55, out[2]);
}

TEST(Cipher, WalkFromKey62CrossesTheEndOfTheTable) {
    char data[3] = {'M', 'U', '3'};
    char out[8];
    ASSERT_EQ(5, ScrambleWithKey(62, 'T', data, 3, out));
    const unsigned char* t = gszEncrypTable;
    EXPECT_EQ(t[62] ^ 'T', static_cast<unsigned char>(out[1]));
    EXPECT_EQ(t[63] ^ 'M', static_cast<unsigned char>(out[2]));
    EXPECT_EQ(t[0] ^ 'U', static_cast<unsigned char>(out[3]));
    EXPECT_EQ(t[1] ^ '3', static_cast<unsigned char>(out[4]));

    ASSERT_EQ(3, ScrambleWithKey(63, 'V', data, 1, out));
    EXPECT_EQ(t[63] ^ 'V', static_cast<unsigned char>(out[1]));
    EXPECT_EQ(t[0] ^ 'M', static_cast<unsigned char>(out[2]));
}

// Builds a whole frame around a payload, with `seq` sequence bytes between
// the start byte and the length.
std::vector<unsigned char> Frame(const char* payload, int length, int seq) {
    std::vector<unsigned char> f(1, 0x02);
    f.insert(f.end(), size_t(seq), 0x11);
    f.push_back(static_cast<unsigned char>(length));
    f.push_back(0);
    f.insert(f.end(), payload, payload + length);
    f.push_back(0x03);
    f.push_back(0x99); // check byte, never looked at
    return f;
}

TEST(Cipher, RoundTripRestoresCommandAndDataAtTheirOffsets) {
    for (int seq : {0, 2}) {
        for (int len : {0, 4, 125}) {
            std::vector<char> data(size_t(len) + 1);
            for (int i = 0; i < len; ++i)
                data[size_t(i)] = static_cast<char>(i * 37 + 1);
            char scrambled[128];
            char n = MakeEncryptionData('T', data.data(), static_cast<char>(len), scrambled);
            ASSERT_EQ(len + 2, n);
            std::vector<unsigned char> frame = Frame(scrambled, n, seq);
            std::vector<unsigned char> plain(frame.size() + 4, 0xAA);
            short got = DecryptReceivedData(seq, frame.data(), plain.data(),
                                            static_cast<unsigned char>(frame.size()));
            SCOPED_TRACE(seq * 1000 + len);
            ASSERT_EQ(len + 1, got);
            EXPECT_EQ(0xAA, plain[size_t(seq) + 2]); // before the payload: untouched
            EXPECT_EQ('T', plain[size_t(seq) + 3]);
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(static_cast<unsigned char>(data[size_t(i)]), plain[size_t(seq + 4 + i)]);
            EXPECT_EQ(0xAA, plain[size_t(seq + 4 + len)]); // after it: untouched
        }
    }
}

TEST(Cipher, FramesWithoutScrambledBytesGiveNothing) {
    unsigned char frame[8] = {0x02, 0x01, 0x00, 0x05, 0x03, 0x07, 0, 0};
    unsigned char out[8];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(0, DecryptReceivedData(0, frame, out, 6)); // key index only
    EXPECT_EQ(0, DecryptReceivedData(0, frame, out, 5));
    EXPECT_EQ(0, DecryptReceivedData(2, frame, out, 7));
    for (unsigned char b : out)
        EXPECT_EQ(0xAA, b);
}

TEST(Cipher, KeyIndexOutsideTheTableIsRefused) {
    unsigned char frame[8] = {0x02, 0x02, 0x00, 64, 0x10, 0x03, 0x00, 0};
    unsigned char out[8];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(-1, DecryptReceivedData(0, frame, out, 7));
    frame[3] = 0xFF;
    EXPECT_EQ(-1, DecryptReceivedData(0, frame, out, 7));
    for (unsigned char b : out)
        EXPECT_EQ(0xAA, b);
    frame[3] = 63;
    EXPECT_EQ(1, DecryptReceivedData(0, frame, out, 7));
    EXPECT_EQ(gszEncrypTable[63] ^ 0x10, out[3]);
}

TEST(Cipher, PayloadTooLongForTheByteWideLengthsIsRefusedUnwritten) {
    char data[200] = {0};
    char out[256];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(127, MakeEncryptionData('V', data, 125, out));
    EXPECT_EQ(0x55, out[127]);
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(-1, MakeEncryptionData('V', data, 126, out));
    EXPECT_EQ(-1, MakeEncryptionData('V', data, static_cast<char>(200), out));
    EXPECT_EQ(-1, MakeEncryptionData('V', data, -1, out));
    for (char b : out)
        ASSERT_EQ(0x55, b);
}

} // namespace
