// Placeholder until the dispenser menu lands.
#include "app/FwDn.h"

void DisplayCDUMenu() {}
