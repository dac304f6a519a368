// The bootloader road's notes for a person, on standard error: a running
// ROM bootloader, a protection being lifted, a wait for the unit. Notes are
// never an action's error.
#ifndef KV_APP_BOOTNOTETEXT_H
#define KV_APP_BOOTNOTETEXT_H

#include <string>

#include "fwdn/BootNotes.h"

// The line for `note` on `port`, without the newline.
std::string BootNoteLine(BootNote note, const char* port, int seconds);
// Makes the download layer's notes print as these lines.
void InstallBootNotes();

#endif
