#include "serial/ConsoleSink.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "serial/RunState.h"
#include "serial/SafeText.h"

namespace {

volatile sig_atomic_t gTarget = CONSOLE_STDOUT;

FILE* Stream() {
    switch (gTarget) {
    case CONSOLE_STDOUT:
        return stdout;
    case CONSOLE_STDERR:
        return stderr;
    default:
        return nullptr;
    }
}

} // namespace

void SetConsoleTarget(ConsoleTarget target) {
    fflush(stdout);
    gTarget = target;
}

ConsoleTarget GetConsoleTarget() {
    return static_cast<ConsoleTarget>(gTarget);
}

int ConsoleTargetFd() {
    if (gTarget == CONSOLE_STDOUT)
        return 1;
    return gTarget == CONSOLE_STDERR ? 2 : -1;
}

void ConsolePrintf(const char* format, ...) {
    FILE* out = Stream();
    if (out == nullptr)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
}

void ConsolePuts(const char* text) {
    FILE* out = Stream();
    if (out != nullptr) {
        fputs(text, out);
        fputc('\n', out);
    }
}

void ConsoleProgress(const char* label, int percent, bool redraw) {
    SetProgressLineOpen(true);
    FILE* out = Stream();
    if (out == nullptr)
        return;
    int done = percent / 4;
    char cells[26];
    for (int j = 0; j < 25; ++j)
        cells[j] = (j == done) ? '>' : (j < done ? '=' : ' ');
    cells[25] = '\0';
    fprintf(out, "%s%s] %d%%%s", label, cells, percent, redraw ? "\r" : "");
    if (redraw)
        fflush(out);
}

void ConsoleEndProgress() {
    ConsolePrintf("\n");
    SetProgressLineOpen(false);
}

// ---- Reason lines ------------------------------------------------------------

namespace {

bool gbKept = false;
char gszFirstReason[512];

} // namespace

void PrintReasonLine(const char* subject, const char* reason) {
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
}
