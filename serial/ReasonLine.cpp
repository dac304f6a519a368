#include "serial/ReasonLine.h"

#include <cstdio>

namespace {

bool gbKept = false;
char gszFirstReason[512];

} // namespace

void PrintReasonLine(const char* subject, const char* reason) {
    fprintf(stderr, "kvfwdn: %s: %s\n", subject, reason);
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
}
