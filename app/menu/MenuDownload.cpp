// The download question of both device menus and what follows it: the
// download, its result message and its record, or the cancel line.
#include "app/menu/DeviceMenus.h"

#include <cstdio>

#include "app/menu/Console.h"
#include "app/record/History.h"
#include "app/console/ReasonLine.h"

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
