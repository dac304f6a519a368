#include "app/console/ReasonLine.h"

#include <climits>
#include <cstdio>

#include "app/console/ConsoleRenderer.h"
#include "app/console/StepReason.h"
#include "app/console/WireTrace.h"
#include "serial/HeldPorts.h"
#include "serial/LockFile.h"
#include "serial/SafeText.h"

namespace {

bool gbKept = false;
char gszFirstReason[512];

// The last open failure, until ReportPortFailure prints it.
bool gbOpenFailed = false;
char gszFailedPort[300];
char gszFailReason[400];

// Why the lock file of the last port could not be taken, until
// ReportPortFailure prints it: the port was opened with the descriptor lock
// alone. One per action, however often the action opens its port.
char gszLockWarning[PATH_MAX + 200];

bool gbStepFailed = false;
StepFailure gStepFailure;
char gszStepPort[300];

} // namespace

void PrintReasonLine(const char* subject, const char* reason) {
    BreakConsoleLine();
    // The subject is a name typed or found (a file, a port): the terminal
    // gets it made safe, the kept reason has it as it is.
    fprintf(stderr, "kvfwdn: %s: %s\n", TerminalSafeName(subject).c_str(), reason);
    if (!gbKept) {
        snprintf(gszFirstReason, sizeof gszFirstReason, "%s: %s", subject, reason);
        gbKept = true;
    }
}

void KeepReasonLine(const char* text) {
    if (gbKept)
        return;
    snprintf(gszFirstReason, sizeof gszFirstReason, "%s", text);
    gbKept = true;
}

const char* FirstReasonLine() {
    return gbKept ? gszFirstReason : nullptr;
}

void ClearReasonLine() {
    gbKept = false;
    gbStepFailed = false;
}

void NoteOpenFailure(const char* port, const char* why) {
    snprintf(gszFailedPort, sizeof gszFailedPort, "%s", port);
    snprintf(gszFailReason, sizeof gszFailReason, "%s", why);
    gbOpenFailed = true;
    // The action's result names it even before ReportPortFailure prints it.
    char kept[sizeof gszFailedPort + sizeof gszFailReason + 2];
    snprintf(kept, sizeof kept, "%s: %s", gszFailedPort, gszFailReason);
    KeepReasonLine(kept);
}

void NoteLockWithoutFile(const char* port, const char* why) {
    if (gszLockWarning[0] == '\0')
        snprintf(gszLockWarning, sizeof gszLockWarning,
                 "kvfwdn: %s: %s; the port is locked without a lock file", port, why);
}

void NoteStepFailure(const StepFailure& failure) {
    if (gbStepFailed)
        return;
    gStepFailure = failure;
    snprintf(gszStepPort, sizeof gszStepPort, "%s", failure.port != nullptr ? failure.port : "");
    gStepFailure.port = gszStepPort;
    gbStepFailed = true;
    fflush(stdout); // after the action's own lines when both streams share a file
    PrintReasonLine(gszStepPort, StepReasonText(gStepFailure).c_str());
}

void NoteNoAnswer(const char* port, SinkDevice device, const int* bauds, int count) {
    // A port that could not be opened has its own reason.
    if (gbOpenFailed)
        return;
    fflush(stdout);
    PrintReasonLine(port, NoAnswerText(device, bauds, count).c_str());
}

const StepFailure* FailedStep() {
    return gbStepFailed ? &gStepFailure : nullptr;
}

void ReportPortFailure() {
    FlushWireTrace();
    // The action has ended: its lock files go.
    if (!AnyPortHeld())
        ReleaseLockFiles();
    if (gszLockWarning[0] != '\0') {
        fflush(stdout);
        fprintf(stderr, "%s\n", gszLockWarning);
        gszLockWarning[0] = '\0';
    }
    if (!gbOpenFailed)
        return;
    gbOpenFailed = false;
    fflush(stdout); // after the action's own lines when both streams share a file
    PrintReasonLine(gszFailedPort, gszFailReason);
}
