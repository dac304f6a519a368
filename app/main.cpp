// Program entry: the interactive menus.
#include "app/FwDn.h"

int main() {
    DisplayMainMenu();
    return 0;
}
