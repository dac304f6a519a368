// The printer menu: reads the printer's firmware version and CRC (online
// mode) or downloads a firmware file into it (boot mode).
#include <cstdio>
#include <cstring>

#include "app/menu/Console.h"
#include "app/menu/DeviceMenus.h"
#include "app/text/DeviceText.h"
#include "app/file/FirmwareCheck.h"
#include "app/record/History.h"
#include "app/text/MenuTexts.h"
#include "rpu/RpuFwDn.h"
#include "serial/ConsoleSink.h"
#include "serial/SerialLine.h"

namespace {

const char* const RPU_MENU_TITLE = "\n *  RPU F/W Download                              ";
const char* const RPU_MENU_OPTIONS[] = {
    "\n *  1 : Get F/W Version and CRC                   ",
    "\n *  2 : F/W Download                              ",
    "\n *  ANY KEY : Quit RPU F/W Download               ",
};

void ShowVersionAndCrc(CKvRPUFwDn* downloader, char* version, char* crcText) {
    if (!PortPromptForAction(downloader->szPortName))
        return;
    puts("\n -- GET F/W VERSION AND CRC -- ");
    ActionRecord record = BeginRecord("menu", "rpu", "version", downloader->szPortName);
    ArmRecord(&record);
    int result = downloader->GetVersionInfo(version, crcText);
    SetQueryOutcome(&record, result);
    if (result == 0)
        record.keys["version"] = version;
    FinishRecord(&record);
    if (result == 0) {
        printf(RPU_VERSION_FORMAT, PrintableText(version).c_str(), PrintableText(crcText).c_str());
        putchar('\n');
    } else if (result == -4) {
        puts(CANNOT_OPEN_PORT_TEXT);
    } else {
        puts(NO_ANSWER_TEXT);
        puts(RPU_ONLINE_HINT);
    }
    ReportPortFailure();
}

void DownloadFirmware(CKvRPUFwDn* downloader, char* path) {
    if (!PortPromptForAction(downloader->szPortName))
        return;
    printf("\n");
    // The path of the last download of this menu run is offered again.
    if (downloader->szFilePath[0] != '\0')
        memcpy(path, downloader->szFilePath, sizeof(downloader->szFilePath));
    if (!PathPromptForAction(1, path))
        return;
    // The file is read and checked once, before any port is opened; a file
    // that is not printer firmware never reaches the question.
    ActionRecord record = BeginRecord("menu", "rpu", "download", downloader->szPortName);
    SetRecordFile(&record, path);
    FirmwareFile file;
    int loaded = file.Load(path);
    if (loaded == DN_OK)
        SetRecordFacts(&record, file.facts());
    if (loaded == DN_OK && file.facts().device != FW_FOR_RPU) {
        puts(NOT_PRINTER_FIRMWARE_TEXT);
        fflush(stdout);
        PrintReasonLine(path, file.facts().reason.c_str());
        SetRefusedFile(&record);
        FinishRecord(&record);
        return;
    }
    if (loaded == DN_OK && !MenuApproved(&record, path, file.facts(), FW_FOR_RPU))
        return;
    record.keys["road"] = "bootloader";
    puts("\n -- START RPU F/W DOWNLOAD -- ");
    puts(RPU_BOOT_HINT);
    if (loaded == DN_OK)
        PrintIdentityLine(path, file.facts(), false);
    AskAndDownload(&record, [&] {
        if (loaded == DN_OK)
            return downloader->FirmwareDownloadImage(path, file.image(), file.size());
        // A file that could not be read ends as the download of it would.
        puts(" Start firmware downloading.");
        return loaded;
    });
}

} // namespace

void DisplayRpuMenu() {
    CKvRPUFwDn downloader;
    char path[256];
    char version[50];
    char crcText[10];
    memset(path, 0, sizeof(path));
    memset(version, 0, sizeof(version));
    memset(crcText, 0, sizeof(crcText));

    for (;;) {
        DrawMenuFrame(RPU_MENU_TITLE, RPU_MENU_OPTIONS, 3);
        char key = 0;
        // At the end of input the menu leaves as the quit key does.
        if (!ReadMenuKey(&key))
            key = 'q';
        printf("\n");

        if (key == '1') {
            ShowVersionAndCrc(&downloader, version, crcText);
        } else if (key == '2') {
            DownloadFirmware(&downloader, path);
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
