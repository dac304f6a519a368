// The two device menus, entered from the main menu.
#ifndef KV_APP_DEVICEMENUS_H
#define KV_APP_DEVICEMENUS_H

void DisplayRpuMenu(); // app/FwDnRpuMenu.cpp
void DisplayCDUMenu(); // app/FwDnCduMenu.cpp

#endif
