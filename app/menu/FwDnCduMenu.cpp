// The dispenser menu: version information and cassette number, setting the
// cassette number (dispenser in online mode), and firmware download (boot
// mode) with the model and road taken from the firmware file itself.
#include "app/menu/Console.h"
#include "app/menu/DeviceMenus.h"
#include "app/text/DeviceText.h"
#include "app/file/FirmwareCheck.h"
#include "app/record/History.h"
#include "app/text/MenuTexts.h"

#include "cdu/CduFwDn.h"
#include "serial/ConsoleSink.h"
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

void PrintCannotOpen() {
    puts(CANNOT_OPEN_PORT_TEXT);
}

void PrintOnlineModeFailure() {
    puts(NO_ANSWER_TEXT);
    puts(CDU_ONLINE_HINT);
}

// The dispenser's version information (13 characters) and its fifth
// character, the cassette number, for the record.
void RecordVersion(ActionRecord* record, const char* szVersion) {
    record->keys["version"] = std::string(szVersion, strnlen(szVersion, 13));
    if (szVersion[4] >= '0' && szVersion[4] <= '9')
        record->keys["cassette"] = szVersion[4] - '0';
}

void ShowVersion(const char* szVersion) {
    printf(CDU_VERSION_FORMAT, PrintableText(szVersion).c_str(), PrintableChar(szVersion[4]));
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

void GetVersionAction(CKvCDUFwDn& dn, char* szVersion) {
    if (!PortPromptForAction(dn.szPortName))
        return;
    puts("\n -- GET F/W VERSION AND CASSETTE NUMBER -- ");
    ActionRecord record = BeginRecord("menu", "cdu", "version", dn.szPortName);
    ArmRecord(&record);
    int r = dn.GetVersionInfo(szVersion);
    SetQueryOutcome(&record, r);
    if (r == 0)
        RecordVersion(&record, szVersion);
    FinishRecord(&record);
    if (r == 0)
        ShowVersion(szVersion);
    else if (r == -4)
        PrintCannotOpen();
    else
        PrintOnlineModeFailure();
    ReportPortFailure();
}

void SetCassetteAction(CKvCDUFwDn& dn, char* szVersion) {
    if (!PortPromptForAction(dn.szPortName))
        return;
    printf("\n - Input Cassette Number (1 ~ 6) : ");
    int nCassette = 0;
    if (!ReadCassetteNumber(&nCassette)) {
        puts(" Invalid input data. Please try agin.");
        return;
    }
    puts("\n -- SET CDU CASSETTE NUMBER -- ");
    ActionRecord record = BeginRecord("menu", "cdu", "cassette", dn.szPortName);
    record.keys["cassette"] = nCassette;
    ArmRecord(&record);
    int r = dn.SetInformation(nCassette);
    int readBack = r == 0 ? dn.GetVersionInfo(szVersion) : r;
    // The read-back's failure counts as no answer, as the menu says.
    SetQueryOutcome(&record, r != 0 ? r : readBack == 0 ? 0 : -1);
    if (r == 0 && readBack == 0)
        RecordVersion(&record, szVersion);
    FinishRecord(&record);
    if (r == 0) {
        // Read the number back; any failure here, the port included, is
        // reported as an online-mode problem.
        if (readBack == 0)
            ShowVersion(szVersion);
        else
            PrintOnlineModeFailure();
    } else if (r == -4) {
        PrintCannotOpen();
    } else {
        PrintOnlineModeFailure();
    }
    ReportPortFailure();
}

void DownloadAction(CKvCDUFwDn& dn, char* szPath, char* szModel, unsigned char* pType) {
    if (!PortPromptForAction(dn.szPortName))
        return;
    printf("\n");
    if (dn.szFilePath[0] != '\0')
        memcpy(szPath, dn.szFilePath, sizeof dn.szFilePath);
    if (!PathPromptForAction(2, szPath))
        return;
    puts("\n -- START CDU F/W DOWNLOAD -- ");
    ActionRecord record = BeginRecord("menu", "cdu", "download", dn.szPortName);
    SetRecordFile(&record, szPath);
    // One read of the file: the classification, the identity line and the
    // download take the same bytes.
    FirmwareFile file;
    int loaded = file.Load(szPath);
    if (loaded != DN_OK) {
        puts(NOT_FIRMWARE_TEXT);
        SetRefusedFile(&record, -loaded);
        FinishRecord(&record);
        return;
    }
    const FirmwareFacts& facts = file.facts();
    SetRecordFacts(&record, facts);
    if (facts.device != FW_FOR_CDU) {
        puts(NOT_FIRMWARE_TEXT);
        fflush(stdout);
        PrintReasonLine(szPath, NotDispenserReason(facts).c_str());
        SetRefusedFile(&record);
        FinishRecord(&record);
        return;
    }
    if (!MenuApproved(&record, szPath, facts, FW_FOR_CDU))
        return;
    snprintf(szModel, 20, "%s", facts.model.c_str());
    *pType = facts.type;
    printf(" This file is the firmware file for %s.\n", szModel);
    puts(CDU_BOOT_HINT);
    PrintIdentityLine(szPath, facts, true);
    AskAndDownload(&record, [&] {
        return dn.FirmwareDownloadImage(*pType, szPath, file.image(), file.size());
    });
}

} // namespace

void DisplayCDUMenu() {
    CKvCDUFwDn dn;
    char szPath[256] = {0};
    char szVersion[50] = {0};
    char szModel[20] = {0};
    unsigned char bType = 0;
    for (;;) {
        DrawMenuFrame(kTitle, kOptions, 4);
        char key = 0;
        if (!ReadMenuKey(&key))
            return; // input ended: leave as the quit key does
        switch (key) {
        case '1':
            GetVersionAction(dn, szVersion);
            break;
        case '2':
            SetCassetteAction(dn, szVersion);
            break;
        case '3':
            DownloadAction(dn, szPath, szModel, &bType);
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
