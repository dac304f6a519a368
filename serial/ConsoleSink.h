// Where the libraries' console output goes: open and error lines, the
// download announcement and the progress bars. The front end chooses the
// target; the menus keep the default, standard output. Reason lines go to
// standard error, the first of an action kept for its result.
#ifndef KV_SERIAL_CONSOLESINK_H
#define KV_SERIAL_CONSOLESINK_H

enum ConsoleTarget {
    CONSOLE_STDOUT,  // the menus: byte for byte as they show it
    CONSOLE_STDERR,  // the command line, with a person watching standard error
    CONSOLE_NOWHERE, // dropped
};

// Sets the target; what was written so far to standard output is flushed.
void SetConsoleTarget(ConsoleTarget target);
ConsoleTarget GetConsoleTarget();
// The target's descriptor (1 or 2), or -1 for nowhere. Safe in a signal
// handler.
int ConsoleTargetFd();

void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text and a newline, as puts writes them.
void ConsolePuts(const char* text);

// One state of a 25-cell progress bar, 4 per cent a cell: `label` (it ends
// in '['), the cells ('=' done, '>' the current one), "] N%". A redrawn state
// ends in '\r' and is flushed, so that the next one overwrites it; the last
// state of a transfer may be drawn without it.
void ConsoleProgress(const char* label, int percent, bool redraw);
// Ends the bar's line.
void ConsoleEndProgress();

// ---- Reason lines ------------------------------------------------------------
// Why an action failed ("kvfwdn: SUBJECT: reason"): always on standard error,
// whatever the target; the first one of an action is kept for its result.

// Prints "kvfwdn: SUBJECT: reason" on standard error and keeps
// "SUBJECT: reason" when no reason has been kept since ClearReasonLine.
void PrintReasonLine(const char* subject, const char* reason);
// Keeps `text` as the reason when none has been kept yet; prints nothing.
void KeepReasonLine(const char* text);
// The first reason kept since ClearReasonLine, or nullptr.
const char* FirstReasonLine();
void ClearReasonLine();

// Temporarily points the console at `target`, back to the former target
// at the end of the scope.
class ConsoleTargetScope {
  public:
    explicit ConsoleTargetScope(ConsoleTarget target) : saved_(GetConsoleTarget()) {
        SetConsoleTarget(target);
    }
    ~ConsoleTargetScope() { SetConsoleTarget(saved_); }
    ConsoleTargetScope(const ConsoleTargetScope&) = delete;
    ConsoleTargetScope& operator=(const ConsoleTargetScope&) = delete;

  private:
    ConsoleTarget saved_;
};

#endif
