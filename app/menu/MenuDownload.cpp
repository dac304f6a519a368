// What both device menus share around the action core: the request, the
// outcome's text and the download question.
#include "app/menu/DeviceMenus.h"

#include <cstdio>
#include <cstring>

#include "app/action/PortName.h"
#include "app/menu/Console.h"
#include "app/console/ReasonLine.h"

MenuFields::MenuFields(ActionDevice device) {
    snprintf(port, sizeof port, "%s", DefaultPort(device));
}

bool PromptPortAndPath(int nSelect, MenuFields* fields) {
    if (!PortPromptForAction(fields->port))
        return false;
    printf("\n");
    if (fields->lastPath[0] != '\0')
        memcpy(fields->path, fields->lastPath, kPathField);
    return PathPromptForAction(nSelect, fields->path);
}

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
        PrintReasonLine(outcome.refusalSubject.c_str(), outcome.refusal.c_str());
    }
}

void AskAndDownload(DownloadPlan* plan, MenuFields* fields) {
    printf(" Do you want to start f/w download? (Y/n) : ");
    int answer = ReadAnswer();
    if (answer == 'Y' || answer == 'y' || answer == '\n') {
        const ActionOutcome& outcome = RunDownload(plan);
        // A file that could not be read ends as the download of it would.
        if (!outcome.reachedDownloader)
            puts(" Start firmware downloading.");
        else
            snprintf(fields->lastPath, kPathField, "%s", outcome.file.c_str());
        PrintOutcome(outcome);
    } else {
        PrintOutcome(CancelDownload(plan));
    }
    ReportPortFailure();
}
