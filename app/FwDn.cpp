// Placeholder until the console front end lands.
#include "app/FwDn.h"

void DisplayMainMenu() {}

#ifndef KVFWDN_NO_MAIN
int main() {
    DisplayMainMenu();
    return 0;
}
#endif
