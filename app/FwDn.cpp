// Console front end: the main menu, from which the two device menus are
// entered.
#include "app/FwDn.h"

#include "app/menu/Console.h"
#include "app/menu/DeviceMenus.h"

#include <cstdio>

// ---- Main menu ----------------------------------------------------------------

void DisplayMainMenu() {
    static const char* const kOptions[] = {
        "\n *  1 : RPU ( RECEIPT PRINTER )                   ",
        "\n *  2 : CDU ( CASH DISPENSER  )                   ",
        "\n *  ANY KEY : Quit Program                        ",
    };
    for (;;) {
        DrawMenuFrame("\n *  KALVOND FIRMWARE DOWNLOADER Rev0.1            ", kOptions, 3);
        char key = 0;
        if (!ReadMenuKey(&key) || key == 'Q' || key == 'q') {
            // The end of the input ends the program as the quit key does.
            puts("\n -- LINUX F/W Download Program END --");
            fflush(stdout);
            return;
        }
        if (key == '1') {
            puts("\n -- START RPU F/W DOWNLOAD -- ");
            DisplayRpuMenu();
        } else if (key == '2') {
            puts("\n -- START CDU F/W DOWNLOAD -- ");
            DisplayCDUMenu();
        } else {
            puts("\n ABNORMAL SELECTED ");
            puts(" -- LINUX F/W Download Program END --");
            fflush(stdout);
            return;
        }
    }
}
