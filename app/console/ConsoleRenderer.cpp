// The menus' wording of the libraries' events: the open and error lines, the
// download announcement and the 25-cell progress bars, on the chosen target.
#include "app/console/ConsoleRenderer.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "app/console/ProgressLine.h"
#include "app/console/ReasonLine.h"
#include "serial/ConsoleSink.h"
#include "serial/RunState.h"

namespace {

volatile sig_atomic_t gTarget = CONSOLE_STDOUT;
ProgressStyle gStyle = PROGRESS_BARS;

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

// One state of a 25-cell progress bar, 4 per cent a cell: `label` (it ends
// in '['), the cells ('=' done, '>' the current one), "] N%". A redrawn state
// ends in '\r' and is flushed, so that the next one overwrites it.
void DrawBar(const char* label, int percent, bool redraw) {
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

// The bar of a phase, or nullptr for the phases the menus draw none for.
const char* BarLabel(ProgressPhase phase) {
    switch (phase) {
    case PHASE_WRITE:
    case PHASE_BLOCKS:
        return " Download : [";
    case PHASE_VERIFY:
        return " Verify   : [";
    default:
        return nullptr;
    }
}

void OnDownloadStart() {
    ResetProgressLine();
    ConsolePuts(" Start firmware downloading.");
}

void OnProgress(const ProgressEvent& state) {
    if (gStyle == PROGRESS_LINE) {
        if (FILE* out = Stream())
            DrawProgressLine(out, state);
    } else if (const char* label = BarLabel(state.phase)) {
        DrawBar(label, state.percent, state.redraw);
    }
}

void OnProgressEnd(ProgressPhase phase) {
    if (gStyle == PROGRESS_LINE) {
        if (FILE* out = Stream())
            EndProgressLine(out, phase);
        return;
    }
    if (BarLabel(phase) == nullptr)
        return;
    ConsolePrintf("\n");
    SetProgressLineOpen(false);
}

void OnBootError(BootErrorLine line, int status) {
    if (gStyle == PROGRESS_LINE)
        ProgressLineBroken(); // the error's text begins with a newline
    switch (line) {
    case BOOT_WRITE_ERROR:
        ConsolePrintf("\n STBL_WRITE ERROR : %d\n", status);
        break;
    case BOOT_REMAIN_READ_ERROR:
        ConsolePrintf("\n (remain)STBL_READ ERROR : %d\n", status);
        break;
    case BOOT_REMAIN_WRITE_ERROR:
        ConsolePrintf("\n (remain)STBL_WRITE ERROR : %d\n", status);
        break;
    case BOOT_COMPARE_ERROR:
        ConsolePrintf("\n CMD_NOT_ALLOWED ERROR\n");
        break;
    case BOOT_REMAIN_COMPARE_ERROR:
        ConsolePrintf("\n (remain)CMD_NOT_ALLOWED ERROR\n");
        break;
    }
}

void OnGetListShort(int lastCall, int got, int of) {
    ConsolePrintf(" CSTBLLib::Send_RQ Fail : recv[%d]\n", lastCall);
    ConsolePrintf(" CSTBLLib::Send_RQ Fail : recved[%d] != CmdCount[%d]\n", got, of);
}

void OnGetFail(const char* port) {
    ConsolePrintf(" STBL_GET Fail : %s\n", port);
}

void OnPortOpened(const char* port, long baud) {
    ConsolePrintf("\n %s,%ld Open Success\n", port, baud);
}

void OnPortOpenFail(const char* port) {
    ConsolePrintf("\n %s Open Fail\n", port);
}

void OnPlaceholder(PlaceholderData which) {
    // Standard output may hold a prompt or progress line: keep the order.
    fflush(stdout);
    if (which == PLACEHOLDER_KEY_TABLE)
        fputs("kvfwdn: warning: this build carries the placeholder dispenser key table, which a "
              "real dispenser cannot read; see data/README.md\n",
              stderr);
    else
        fputs("kvfwdn: warning: this build carries the placeholder dispenser loader, which a real "
              "dispenser cannot run; see data/README.md\n",
              stderr);
}

} // namespace

void InstallConsoleRenderer() {
    ConsoleSink sink = {};
    sink.downloadStart = OnDownloadStart;
    sink.progress = OnProgress;
    sink.progressEnd = OnProgressEnd;
    sink.bootError = OnBootError;
    sink.getListShort = OnGetListShort;
    sink.getFail = OnGetFail;
    sink.portOpened = OnPortOpened;
    sink.portOpenFail = OnPortOpenFail;
    sink.noAnswer = NoteNoAnswer;
    sink.reason = PrintReasonLine;
    sink.openFailed = NoteOpenFailure;
    sink.lockWithoutFile = NoteLockWithoutFile;
    sink.placeholder = OnPlaceholder;
    sink.stepFailed = NoteStepFailure;
    SetConsoleSink(sink);
}

void SetProgressStyle(ProgressStyle style) {
    gStyle = style;
}

void PrintDownloadClosingLine() {
    if (FILE* out = Stream(); out != nullptr && gStyle == PROGRESS_LINE)
        PrintClosingLine(out);
}

void BreakConsoleLine() {
    if (gStyle == PROGRESS_LINE && gTarget == CONSOLE_STDERR)
        BreakProgressLine(stderr);
}

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
