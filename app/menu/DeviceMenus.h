// The two device menus, entered from the main menu.
#ifndef KV_APP_DEVICEMENUS_H
#define KV_APP_DEVICEMENUS_H

#include <functional>

struct ActionRecord;

void DisplayRpuMenu(); // app/FwDnRpuMenu.cpp
void DisplayCDUMenu(); // app/FwDnCduMenu.cpp

// Asks whether to start the download; on yes runs `download` and shows its
// result message, else the cancel line; then records the action and says
// why a port failed (app/MenuDownload.cpp).
void AskAndDownload(ActionRecord* record, const std::function<int()>& download);

#endif
