// The dispenser frame cipher: payload bytes XORed with the 64-byte key table,
// walked upward one entry per byte from a key index that is picked at random
// per frame and travels in clear as the first payload byte.
#include "serial/ComPort.h"

#include <cstdlib>

namespace {

const int kMaxScrambledData = kCipherMaxData;
const unsigned char kKeyCount = kCipherKeyCount;

} // namespace

unsigned char GetNextTableOrder(char chIndex) {
    unsigned char next = static_cast<unsigned char>(static_cast<unsigned char>(chIndex) + 1);
    return next > kKeyCount - 1 ? 0 : next;
}

char MakeEncryptionData(char chCmd, char* pData, char chLen, char* pOut) {
    // A length the signed-byte result cannot carry is refused before anything
    // is written.
    if (chLen < 0 || chLen > kMaxScrambledData || pOut == nullptr ||
        (chLen > 0 && pData == nullptr))
        return -1;
    unsigned char k = static_cast<unsigned char>(rand() % kKeyCount);
    pOut[0] = static_cast<char>(k);
    pOut[1] = static_cast<char>(gszEncrypTable[k] ^ static_cast<unsigned char>(chCmd));
    k = GetNextTableOrder(static_cast<char>(k));
    for (int i = 0; i < chLen; ++i) {
        pOut[2 + i] = static_cast<char>(gszEncrypTable[k] ^ static_cast<unsigned char>(pData[i]));
        k = GetNextTableOrder(static_cast<char>(k));
    }
    return static_cast<char>(2 + chLen);
}

short DecryptReceivedData(int nSeqBytes, unsigned char* pFrame, unsigned char* pOut,
                          unsigned char chFrameLen) {
    int s = nSeqBytes;
    if (s < 0 || chFrameLen < s + 6)
        return 0;
    unsigned char k = pFrame[s + 3];
    // The key index arrives as it was sent; one outside the table cannot
    // have come from a sound frame and would read past the table.
    if (k >= kKeyCount)
        return -1;
    int n = chFrameLen - s - 6;
    for (int i = 0; i < n; ++i) {
        pOut[s + 3 + i] = gszEncrypTable[k] ^ pFrame[s + 4 + i];
        k = GetNextTableOrder(static_cast<char>(k));
    }
    return static_cast<short>(n);
}
