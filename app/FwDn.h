// Console front end: main menu, the two device menus, the port-name and
// file-path prompts and the download result messages.
#ifndef KV_APP_FWDN_H
#define KV_APP_FWDN_H

void DisplayMainMenu();
void DisplayRpuMenu();
void DisplayCDUMenu();
int SetComport(char* szPort);
int SetFilePath(int nSelect, char* szPath);
void DisplayResultMessage(int nResult);

#endif
