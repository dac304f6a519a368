// Program entry: the interactive menus.
#include "app/FwDn.h"
#include "app/Interrupt.h"

int main() {
    InstallInterruptHandlers();
    DisplayMainMenu();
    return 0;
}
