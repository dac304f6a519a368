// The printer menu: reads the printer's firmware version and CRC (online
// mode) or downloads a firmware file into it (boot mode).
#include <cstdio>
#include <cstring>

#include "app/action/PortName.h"
#include "app/menu/Console.h"
#include "app/menu/DeviceMenus.h"
#include "app/text/DeviceText.h"
#include "app/text/MenuTexts.h"
#include "serial/SerialLine.h"

namespace {

const char* const RPU_MENU_TITLE = "\n *  RPU F/W Download                              ";
const char* const RPU_MENU_OPTIONS[] = {
    "\n *  1 : Get F/W Version and CRC                   ",
    "\n *  2 : F/W Download                              ",
    "\n *  ANY KEY : Quit RPU F/W Download               ",
};

void ShowVersionAndCrc(char* port) {
    if (!PortPromptForAction(port))
        return;
    puts("\n -- GET F/W VERSION AND CRC -- ");
    ActionOutcome outcome = RpuVersion(MenuRequest(port));
    if (outcome.result == AR_ANSWERED) {
        printf(RPU_VERSION_FORMAT, PrintableText(outcome.version).c_str(),
               PrintableText(outcome.crc).c_str());
        putchar('\n');
    } else {
        PrintOutcome(outcome);
    }
    ReportPortFailure();
}

void DownloadFirmware(char* port, char* path, char* lastPath) {
    if (!PortPromptForAction(port))
        return;
    printf("\n");
    // The path of the last download of this menu run is offered again.
    if (lastPath[0] != '\0')
        memcpy(path, lastPath, kPathField);
    if (!PathPromptForAction(1, path))
        return;
    // The file is read and checked once, before any port is opened; a file
    // that is not printer firmware never reaches the question.
    DownloadPlan plan;
    if (!PrepareRpuDownload(MenuRequest(port, path), &plan)) {
        PrintRefusal(plan.outcome);
        return;
    }
    puts("\n -- START RPU F/W DOWNLOAD -- ");
    puts(RPU_BOOT_HINT);
    if (plan.outcome.fileRead)
        PrintIdentityLine(path, plan.outcome.facts, false);
    AskAndDownload(&plan, lastPath);
}

} // namespace

void DisplayRpuMenu() {
    char port[kPortNameField] = {0};
    char path[kPathField] = {0};
    char lastPath[kPathField] = {0};
    snprintf(port, sizeof port, "%s", kRpuDefaultPort);

    for (;;) {
        DrawMenuFrame(RPU_MENU_TITLE, RPU_MENU_OPTIONS, 3);
        char key = 0;
        // At the end of input the menu leaves as the quit key does.
        if (!ReadMenuKey(&key))
            key = 'q';
        printf("\n");

        if (key == '1') {
            ShowVersionAndCrc(port);
        } else if (key == '2') {
            DownloadFirmware(port, path, lastPath);
        } else if (key == 'Q' || key == 'q') {
            puts("\n -- RPU F/W Download END --");
            return;
        } else {
            puts("\n ABNORMAL SELECTED ");
            return;
        }
        printf("\n");
    }
}
