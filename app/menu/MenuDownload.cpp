// What both device menus share around the action core: the request, the
// outcome's text and the download question.
#include "app/menu/DeviceMenus.h"

#include <cstdio>

#include "app/action/PortName.h"
#include "app/menu/Console.h"
#include "serial/SerialLine.h"

ActionRequest MenuRequest(const char* port, const char* path) {
    ActionRequest request;
    request.via = "menu";
    request.port = port;
    request.file = path;
    return request;
}

void PrintOutcome(const ActionOutcome& outcome) {
    if (const char* text = TextOf(outcome))
        puts(text);
    if (RowOf(outcome).menuHint && HintOf(outcome) != nullptr)
        puts(HintOf(outcome));
}

void PrintRefusal(const ActionOutcome& outcome) {
    PrintOutcome(outcome);
    if (!outcome.refusal.empty()) {
        fflush(stdout);
        PrintReasonLine(outcome.file.c_str(), outcome.refusal.c_str());
    }
}

void AskAndDownload(DownloadPlan* plan, char* lastPath) {
    printf(" Do you want to start f/w download? (Y/n) : ");
    int answer = ReadAnswer();
    if (answer == 'Y' || answer == 'y' || answer == '\n') {
        const ActionOutcome& outcome = RunDownload(plan);
        // A file that could not be read ends as the download of it would.
        if (!outcome.reachedDownloader)
            puts(" Start firmware downloading.");
        else
            snprintf(lastPath, kPathField, "%s", outcome.file.c_str());
        PrintOutcome(outcome);
    } else {
        PrintOutcome(CancelDownload(plan));
    }
    ReportPortFailure();
}
