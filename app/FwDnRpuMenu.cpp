// Placeholder until the printer menu lands.
#include "app/FwDn.h"

void DisplayRpuMenu() {}
