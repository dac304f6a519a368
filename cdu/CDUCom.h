// Dispenser link protocol (online mode: version information and cassette
// number) and loader-mode download protocol (readiness handshake and
// XMODEM-1K blocks sent to the loader the tool pushed into the dispenser).
#ifndef KV_CDU_CDUCOM_H
#define KV_CDU_CDUCOM_H

#include <pthread.h>

extern int ghCduHandle;            // open dispenser port, 0 when none
extern pthread_mutex_t g_mutexCDU; // one request frame and its reply
extern unsigned long dwStartT;     // start tick of the current reply wait
extern int giProgressCnt;          // block counter of the loader-mode transfer
extern const unsigned short crc16tab[256];

// ---- Link protocol ----------------------------------------------------------
int SendCduEnqAndRecv();
int SendCduDataFrame(unsigned char bEncrypt, unsigned char* pData, int nLen);
int RecvCduDataFrame(unsigned char bEncrypt, int nTimeOut, int bContinue, unsigned char* pRecv);
int CDU_GetInfo(unsigned char bEncrypt, unsigned char* pRecv);
int CDU_SetInfo(unsigned char bEncrypt, int nCassette);
int CDU_ModeChange();
int CDU_InitModeChange(char* szPort, int nBaud);
int CDU_InitGetVersion(unsigned char bEncrypt, char* szPort, int nBaud, unsigned char* pVersion);
int CDU_InitSetInformation(unsigned char bEncrypt, char* szPort, int nBaud, int nCassette);
int CDU_PortOpen(char* szPort, int nBaud);
void CDU_PortClose();

// ---- Loader-mode download protocol -------------------------------------------
// The line speed of loader mode.
const int kCduLoaderBaud = 115200;
int CDUFW_COM_Open(char* szPort, long nBaud);
void CDUFW_COM_Close();
int CDUFW_COM_Write(unsigned char* pData, int nLen);
int CDUFW_COM_BlockWrite(unsigned char* pData, int nLen);
int CDUFW_COM_BlockRead(unsigned char* pData, int nLen, int nTimeOut);
int CDUFW_COM_ReadCheckData(unsigned char chExpect, int nTimeOut);
int CDUFW_DownloadReady(char* szPort);
int CDUFW_DataDownload(char* szPort, const unsigned char* pData, int nSize, int nBlockSize);
int CDUFW_StartProgram();
int CRC16_CCITT(unsigned char* pData, int nLen);

// Block transfer on the already open link port.
int CDU_BlockWrite(unsigned char* pData, int nLen);
int CDU_ReadCheckData(unsigned char chExpect, int nTimeOut);
int CDU_DataDownload(unsigned char* pData, int nSize, int nBlockSize);

#endif
