// The download question of both device menus and what follows it: the
// download, its result message and its record, or the cancel line; and the
// approved list's refusal before it.
#include "app/menu/DeviceMenus.h"

#include <cstdio>

#include "app/menu/Console.h"
#include "app/policy/Approve.h"
#include "app/record/History.h"
#include "app/text/MenuTexts.h"
#include "serial/SerialLine.h"

void AskAndDownload(ActionRecord* record, const std::function<int()>& download) {
    printf(" Do you want to start f/w download? (Y/n) : ");
    int answer = ReadAnswer();
    if (answer == 'Y' || answer == 'y' || answer == '\n') {
        ArmRecord(record);
        int result = download();
        SetDownloadOutcome(record, result);
        DisplayResultMessage(result);
    } else {
        SetCancelled(record);
        puts(" Cancel firmware download.");
    }
    FinishRecord(record);
    ReportPortFailure();
}

bool MenuApproved(ActionRecord* record, const char* path, const FirmwareFacts& facts,
                  FirmwareDevice device) {
    Approval approval = ApproveDownload(path, facts, device, false);
    SetApprovalKeys(&record->keys, approval);
    if (approval.approved != false)
        return true;
    puts(NOT_APPROVED_TEXT);
    fflush(stdout);
    PrintRefusal(approval);
    SetRefusedFile(record, EXIT_NOT_APPROVED);
    FinishRecord(record);
    return false;
}
