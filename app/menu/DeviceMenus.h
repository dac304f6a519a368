// The two device menus, entered from the main menu, and what they share:
// MenuRequest, PrintOutcome and AskAndDownload.
#ifndef KV_APP_DEVICEMENUS_H
#define KV_APP_DEVICEMENUS_H

#include "app/action/Action.h"

void DisplayRpuMenu(); // app/menu/FwDnRpuMenu.cpp
void DisplayCDUMenu(); // app/menu/FwDnCduMenu.cpp

// A request from a menu: the saved port and path (app/menu/MenuDownload.cpp).
ActionRequest MenuRequest(const char* port, const char* path = "");
// The menus' text of an outcome that is not a version line, with its hint
// where the menus show it.
void PrintOutcome(const ActionOutcome& outcome);
// The file refused before the question: the menus' line, then its reason
// on standard error.
void PrintRefusal(const ActionOutcome& outcome);
// Asks whether to start the prepared download; on yes runs it and shows
// its result message, else cancels it with the cancel line; then says why
// a port failed. `lastPath` keeps the path the downloader was given.
void AskAndDownload(DownloadPlan* plan, char* lastPath);

#endif
