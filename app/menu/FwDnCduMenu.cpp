// The dispenser menu: version information and cassette number, setting the
// cassette number (dispenser in online mode), and firmware download (boot
// mode) with the model and road taken from the firmware file itself.
#include "app/action/PortName.h"
#include "app/menu/Console.h"
#include "app/menu/DeviceMenus.h"
#include "app/text/DeviceText.h"
#include "app/text/MenuTexts.h"
#include "serial/SerialLine.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kTitle = "\n *  CDU F/W Download                              ";
const char* const kOptions[] = {
    "\n *  1 : Get F/W Version and Cassette Number       ",
    "\n *  2 : Set Cassette Number                       ",
    "\n *  3 : F/W Download                              ",
    "\n *  ANY KEY : Quit CDU F/W Download               ",
};

// The version line, or the outcome's text when there is none to show.
void ShowVersion(const ActionOutcome& outcome) {
    if (outcome.version.empty() && outcome.result != AR_ANSWERED) {
        PrintOutcome(outcome);
        return;
    }
    char cassette = outcome.version.size() > 4 ? outcome.version[4] : '\0';
    printf(CDU_VERSION_FORMAT, PrintableText(outcome.version).c_str(), PrintableChar(cassette));
    putchar('\n');
}

// Reads the cassette number as " %d" would (blanks and newlines skipped, no
// discard first), converted with range checking: a number too large for an
// int is held at the limit rather than wrapped, so it cannot become a valid
// number. True only for a number from 1 to 6.
bool ReadCassetteNumber(int* pNumber) {
    int value = 0;
    if (ReadNumber(&value) != 1 || value < 1 || value > 6)
        return false;
    *pNumber = value;
    return true;
}

void GetVersionAction(char* port) {
    if (!PortPromptForAction(port))
        return;
    puts("\n -- GET F/W VERSION AND CASSETTE NUMBER -- ");
    ShowVersion(CduVersion(MenuRequest(port)));
    ReportPortFailure();
}

void SetCassetteAction(char* port) {
    if (!PortPromptForAction(port))
        return;
    printf("\n - Input Cassette Number (1 ~ 6) : ");
    int nCassette = 0;
    if (!ReadCassetteNumber(&nCassette)) {
        puts(" Invalid input data. Please try agin.");
        return;
    }
    puts("\n -- SET CDU CASSETTE NUMBER -- ");
    ActionRequest request = MenuRequest(port);
    request.cassette = nCassette;
    // The number read back is shown, whichever it is.
    ShowVersion(CduCassette(request));
    ReportPortFailure();
}

void DownloadAction(char* port, char* path, char* lastPath) {
    if (!PortPromptForAction(port))
        return;
    printf("\n");
    if (lastPath[0] != '\0')
        memcpy(path, lastPath, kPathField);
    if (!PathPromptForAction(2, path))
        return;
    puts("\n -- START CDU F/W DOWNLOAD -- ");
    // One read of the file: the classification, the identity line and the
    // download take the same bytes.
    DownloadPlan plan;
    if (!PrepareCduDownload(MenuRequest(port, path), &plan)) {
        PrintRefusal(plan.outcome);
        return;
    }
    printf(" This file is the firmware file for %s.\n", plan.outcome.facts.model.c_str());
    puts(CDU_BOOT_HINT);
    PrintIdentityLine(path, plan.outcome.facts, true);
    AskAndDownload(&plan, lastPath);
}

} // namespace

void DisplayCDUMenu() {
    char port[kPortNameField] = {0};
    char path[kPathField] = {0};
    char lastPath[kPathField] = {0};
    snprintf(port, sizeof port, "%s", kCduDefaultPort);
    for (;;) {
        DrawMenuFrame(kTitle, kOptions, 4);
        char key = 0;
        if (!ReadMenuKey(&key))
            return; // input ended: leave as the quit key does
        switch (key) {
        case '1':
            GetVersionAction(port);
            break;
        case '2':
            SetCassetteAction(port);
            break;
        case '3':
            DownloadAction(port, path, lastPath);
            break;
        case 'Q':
        case 'q':
            return;
        default:
            puts("\n ABNORMAL SELECTED ");
            return;
        }
    }
}
