// FwDn.h -- DisplayMainMenu: the main menu.
//
// Console front end: the main menu. Its helpers and the device menus have
// headers of their own, included here for the callers of the whole front end.
#ifndef KV_APP_FWDN_H
#define KV_APP_FWDN_H

#include "app/menu/Console.h"
#include "app/menu/DeviceMenus.h"

void DisplayMainMenu();

#endif
