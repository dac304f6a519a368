// Loader-mode download protocol: the conversation with the loader program
// that the tool pushes into the dispenser. Readiness handshake ('x' -> '~',
// 'p' -> 'C'), then the image in XMODEM-1K blocks (STX, block number, its
// complement, N data bytes, CRC-16 high and low byte), each acknowledged with
// ACK, and EOT at the end. Also the twin of the block transfer that runs on
// the already open link port. All of it works on ghCduHandle and never takes
// g_mutexCDU.
#include "cdu/CDUCom.h"

#include "serial/ComPort.h"
#include "serial/ControlBytes.h"
#include "serial/RunState.h"
#include "serial/ConsoleSink.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

int giProgressCnt = 0;

namespace {

const unsigned char LDR_READY = 0x7E;   // '~': loader started / ready
const unsigned char LDR_HELLO = 0x78;   // 'x'
const unsigned char LDR_CRCMODE = 0x70; // 'p'
const unsigned char LDR_WANTCRC = 0x43; // 'C'
const unsigned char LDR_START = 0x67;   // 'g'

// Line speed of loader mode, and its answer windows in milliseconds.
enum LoaderLine : int {
    LDR_BAUD = kCduLoaderBaud,
    HANDSHAKE_WAIT_MS = 10000,
    BLOCK_ACK_WAIT_MS = 5000,
    LDR_EOT_WAIT_MS = 5000,
    LINK_EOT_WAIT_MS = 10000,
};
const unsigned char LDR_FILL = 0x1A;  // fill of the last block to the loader
const unsigned char LINK_FILL = 0x00; // fill of the last block on the link port
const unsigned PUSH_PACE_US = 500;

// Writes one block in a single call after dropping whatever is queued on
// the line in either direction. No open port means nothing can be written.
int FlushAndWriteBlock(unsigned char* pData, int nLen) {
    if (ghCduHandle == 0 || pData == nullptr || nLen < 0)
        return -1;
    FlushComPort(ghCduHandle);
    return WriteBlockPort(ghCduHandle, pData, nLen) ? 0 : -1;
}

// Waits for one expected byte on the open port; without a port it can
// never come, so the wait fails at once instead of reading the console.
int WaitForByte(unsigned char chExpect, int nTimeOut) {
    if (ghCduHandle == 0)
        return -2;
    return CheckDataReadPort(ghCduHandle, chExpect, nTimeOut);
}

// Waits for the loader's answer to a block or to EOT. A NAK or CAN refuses
// and ends the wait at once, with the result of a time-out; any other byte
// is skipped.
int WaitForLoaderAnswer(unsigned char chExpect, int nTimeOut) {
    if (ghCduHandle == 0)
        return -2;
    const uint64_t start = GetTickCount();
    while (!CheckTimeOut(start, nTimeOut)) {
        unsigned char byte = 0;
        if (ReadPort(ghCduHandle, &byte) != 0 || byte == 0xFF)
            continue;
        if (byte == chExpect)
            return 0;
        if (byte == ctl::NAK || byte == ctl::CAN) // the loader refuses the block or cancels
            return -2;
        ComSleepUs(1000);
    }
    return -2;
}

// Sizes that would divide by zero, overflow the block buffer or send
// nothing at all are refused before anything touches the line.
bool TransferArgsValid(const unsigned char* pData, int nSize, int nBlockSize) {
    return pData != nullptr && nSize > 0 && nBlockSize > 0 && nBlockSize <= INT_MAX - 6;
}

// Sends nSize bytes as numbered blocks of nBlockSize data bytes on the open
// port, each answered by ACK within 5000 ms. The last block is filled up with
// `fill`. Returns 0 when every block was acknowledged, -2 at the first block
// that was not (it is not sent again). To the loader (bLoader) progress is
// drawn and a refused block ends the wait at once.
int SendBlocks(unsigned char* pBlock, const unsigned char* pData, int nSize, int nBlockSize,
               unsigned char fill, bool bLoader) {
    const int nBlocks = nSize / nBlockSize + (nSize % nBlockSize != 0 ? 1 : 0);
    const unsigned char* pRead = pData;
    int nLeft = nSize;
    bool bLast = false;
    giProgressCnt = 0;
    while (!bLast) {
        pBlock[0] = ctl::STX; // a 1024-byte block follows
        giProgressCnt += 1;
        pBlock[1] = static_cast<unsigned char>(giProgressCnt & 0xFF);
        pBlock[2] = static_cast<unsigned char>(~giProgressCnt & 0xFF);
        if (nLeft <= nBlockSize) {
            bLast = true;
            memcpy(&pBlock[3], pRead, static_cast<size_t>(nLeft));
            if (nLeft < nBlockSize)
                memset(&pBlock[3 + nLeft], fill, static_cast<size_t>(nBlockSize - nLeft));
        } else {
            memcpy(&pBlock[3], pRead, static_cast<size_t>(nBlockSize));
            pRead += nBlockSize;
            nLeft -= nBlockSize;
        }
        int crc = CRC16_CCITT(&pBlock[3], nBlockSize);
        pBlock[3 + nBlockSize] = static_cast<unsigned char>((crc >> 8) & 0xFF);
        pBlock[4 + nBlockSize] = static_cast<unsigned char>(crc & 0xFF);
        FlushAndWriteBlock(pBlock, nBlockSize + 5);
        int acked = bLoader ? WaitForLoaderAnswer(ctl::ACK, BLOCK_ACK_WAIT_MS)
                            : WaitForByte(ctl::ACK, BLOCK_ACK_WAIT_MS);
        if (acked != 0)
            return -2;
        if (bLoader) {
            long long percent = static_cast<long long>(giProgressCnt) * 100 / nBlocks;
            ConsoleProgress(" Download : [", percent > 100 ? 100 : static_cast<int>(percent), true);
        }
    }
    return 0;
}

// Block buffer of N + 6 bytes, zero-filled; nullptr when it cannot be had.
unsigned char* NewBlockBuffer(int nBlockSize) {
    size_t size = static_cast<size_t>(nBlockSize) + 6;
    unsigned char* p = new (std::nothrow) unsigned char[size];
    if (p != nullptr)
        memset(p, 0, size);
    return p;
}

} // namespace

// ---- Port operations of the loader road --------------------------------------

int CDUFW_COM_Open(char* szPort, long nBaud) {
    if (ghCduHandle != 0) {
        CDUFW_COM_Close();
        ComSleepUs(300000);
    }
    if (nBaud <= 0 || nBaud > INT_MAX)
        return -4;
    ghCduHandle = OpenComPort(szPort, static_cast<int>(nBaud), 8, 0);
    return ghCduHandle != 0 ? 0 : -4;
}

void CDUFW_COM_Close() {
    if (ghCduHandle != 0)
        CloseComPort(ghCduHandle);
    ghCduHandle = 0;
}

int CDUFW_COM_Write(unsigned char* pData, int nLen) {
    if (ghCduHandle == 0 || pData == nullptr || nLen < 0)
        return -1;
    FlushComPort(ghCduHandle);
    for (int i = 0; i < nLen; ++i) {
        if (!WritePort(ghCduHandle, pData[i]))
            return -1;
        // At 57600 baud a byte leaves in 174 us, so the pause lets each byte
        // go before the next. No drain or settling pause after the last one:
        // the pushed loader starts at once and announces itself within
        // milliseconds, and the caller must be listening again at 115200 by then.
        ComSleepUs(PUSH_PACE_US);
    }
    return 0;
}

int CDUFW_COM_BlockWrite(unsigned char* pData, int nLen) {
    return FlushAndWriteBlock(pData, nLen);
}

int CDUFW_COM_BlockRead(unsigned char* pData, int nLen, int nTimeOut) {
    if (ghCduHandle == 0)
        return -1;
    return ReadBlockPort(ghCduHandle, pData, nLen, nTimeOut);
}

int CDUFW_COM_ReadCheckData(unsigned char chExpect, int nTimeOut) {
    return WaitForByte(chExpect, nTimeOut);
}

// ---- Conversation with the running loader ------------------------------------

int CDUFW_DownloadReady(char* szPort) {
    CDUFW_COM_Close();
    int r = CDUFW_COM_Open(szPort, LDR_BAUD);
    if (r != 0) {
        CDUFW_COM_Close();
        return r;
    }
    unsigned char ch = LDR_HELLO;
    CDUFW_COM_BlockWrite(&ch, 1);
    if (CDUFW_COM_ReadCheckData(LDR_READY, HANDSHAKE_WAIT_MS) != 0) {
        CDUFW_COM_Close();
        return -2;
    }
    ch = LDR_CRCMODE;
    CDUFW_COM_BlockWrite(&ch, 1);
    if (CDUFW_COM_ReadCheckData(LDR_WANTCRC, HANDSHAKE_WAIT_MS) != 0) {
        CDUFW_COM_Close();
        return -2;
    }
    CDUFW_COM_Close();
    return 0;
}

int CDUFW_DataDownload(char* szPort, const unsigned char* pData, int nSize, int nBlockSize) {
    if (!TransferArgsValid(pData, nSize, nBlockSize))
        return -1;
    unsigned char* pBlock = NewBlockBuffer(nBlockSize);
    if (pBlock == nullptr)
        return -1;
    giProgressCnt = 0;
    CDUFW_COM_Close();
    int r = CDUFW_COM_Open(szPort, LDR_BAUD);
    if (r != 0) {
        delete[] pBlock;
        return r;
    }
    r = SendBlocks(pBlock, pData, nSize, nBlockSize, LDR_FILL, true);
    ConsoleEndProgress();
    if (r == 0) {
        unsigned char ch = ctl::EOT;
        CDUFW_COM_BlockWrite(&ch, 1);
        r = WaitForLoaderAnswer(LDR_READY, LDR_EOT_WAIT_MS);
    }
    delete[] pBlock;
    return r;
}

int CDUFW_StartProgram() {
    unsigned char ch = LDR_START;
    return CDUFW_COM_BlockWrite(&ch, 1);
}

// ---- Block transfer on the open link port ------------------------------------

int CDU_BlockWrite(unsigned char* pData, int nLen) {
    return FlushAndWriteBlock(pData, nLen);
}

int CDU_ReadCheckData(unsigned char chExpect, int nTimeOut) {
    return WaitForByte(chExpect, nTimeOut);
}

int CDU_DataDownload(unsigned char* pData, int nSize, int nBlockSize) {
    if (!TransferArgsValid(pData, nSize, nBlockSize))
        return -1;
    if (ghCduHandle == 0)
        return -4;
    unsigned char* pBlock = NewBlockBuffer(nBlockSize);
    if (pBlock == nullptr)
        return -1;
    int r = SendBlocks(pBlock, pData, nSize, nBlockSize, LINK_FILL, false);
    if (r == 0) {
        unsigned char ch = ctl::EOT;
        CDU_BlockWrite(&ch, 1);
        r = CDU_ReadCheckData(ctl::ACK, LINK_EOT_WAIT_MS);
        if (r == 0)
            ComSleepUs(3000000);
    }
    delete[] pBlock;
    return r;
}
