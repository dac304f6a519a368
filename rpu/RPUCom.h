// Printer link protocol: ENQ-polled frames with an XOR check byte, used to
// read the firmware version and CRC of a printer in online mode.
#ifndef KV_RPU_RPUCOM_H
#define KV_RPU_RPUCOM_H

#include <pthread.h>

extern int ghRpuHandle;                   // open printer port, 0 when none
extern pthread_mutex_t g_mutexRPU;        // one request frame and its reply
extern unsigned char gBigSendData[64972]; // outgoing frame buffer

int RPU_PortOpen(char* szPort, int nBaud);
void RPU_PortClose();
int SendRpuEnqAndRecv();
int SendRpuDataFrame(unsigned char* pData, int nLen);
int RecvRpuDataFrame(int nTimeOut, unsigned char* pRecv);
int RPU_GetVersion(unsigned char* pRecv);
int RPU_InitGetVersion(char* szPort, int nBaud, unsigned char* pVersion, unsigned char* pCrc);

#endif
