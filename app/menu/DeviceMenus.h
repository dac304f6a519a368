// The two device menus, entered from the main menu.
#ifndef KV_APP_DEVICEMENUS_H
#define KV_APP_DEVICEMENUS_H

#include <functional>

#include "app/file/FirmwareCheck.h"

struct ActionRecord;

void DisplayRpuMenu(); // app/FwDnRpuMenu.cpp
void DisplayCDUMenu(); // app/FwDnCduMenu.cpp

// Asks whether to start the download; on yes runs `download` and shows its
// result message, else the cancel line; then records the action and says
// why a port failed (app/MenuDownload.cpp).
void AskAndDownload(ActionRecord* record, const std::function<int()>& download);
// The approved list's step, at the file check's place: true when the file
// read may go to `device`; else the refusal line, its reason on standard
// error, the record finished, and false.
bool MenuApproved(ActionRecord* record, const char* path, const FirmwareFacts& facts,
                  FirmwareDevice device);

#endif
