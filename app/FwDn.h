// Console front end: main menu, the two device menus, the port-name and
// file-path prompts, the download result messages, and the console helpers
// that all three menus share.
#ifndef KV_APP_FWDN_H
#define KV_APP_FWDN_H

void DisplayMainMenu();
void DisplayRpuMenu();  // app/FwDnRpuMenu.cpp
void DisplayCDUMenu();  // app/FwDnCduMenu.cpp
int SetComport(char* szPort);
int SetFilePath(int nSelect, char* szPath);
void DisplayResultMessage(int nResult);

// ---- Shared by the three menus -------------------------------------------
// Draws a menu frame: border, title, empty line, the option lines, empty
// line, border, and the prompt "\n# ". Each line argument is the exact text
// of its frame line, newline included (e.g. "\n *  1 : ...   ").
void DrawMenuFrame(const char* title, const char* const* options, int count);
// Discards input waiting unread: on a terminal everything typed ahead; when
// standard input is a file or pipe only the unread rest of the current line,
// so that a file of answers drives the tool as typed answers would.
void DiscardWaitingInput();
// Discards waiting input, then reads a key as " %c" does. Returns false when
// standard input has ended (no key was read; the menu must end).
bool ReadMenuKey(char* key);
// Reads the answer to a yes/no question: discards waiting input, reads one
// character and, unless it was a newline, one more. Returns the first
// character, or EOF when the input has ended.
int ReadAnswer();
// True once standard input has ended.
bool InputEnded();

#endif
