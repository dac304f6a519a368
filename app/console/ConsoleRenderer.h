// The front ends' console: where the libraries' lines and bars go (the
// target), the renderer that words and draws the console sink's events as
// the menus show them, and its installation.
#ifndef KV_APP_CONSOLE_CONSOLERENDERER_H
#define KV_APP_CONSOLE_CONSOLERENDERER_H

enum ConsoleTarget {
    CONSOLE_STDOUT,  // the menus: byte for byte as they show it
    CONSOLE_STDERR,  // the command line, with a person watching standard error
    CONSOLE_NOWHERE, // dropped
};

// Installs the renderer as the console sink; both front ends do at start.
void InstallConsoleRenderer();

// How progress is shown: the menus' bars, or the command line's progress
// line (ProgressLine.h) with a closing line.
enum ProgressStyle { PROGRESS_BARS, PROGRESS_LINE };
void SetProgressStyle(ProgressStyle style);
// The progress line's closing line of a download that ended well, on the
// target; nothing for the bars or when nothing is shown.
void PrintDownloadClosingLine();
// Ends an open progress line on standard error before another line goes
// there.
void BreakConsoleLine();

// Sets the target; what was written so far to standard output is flushed.
void SetConsoleTarget(ConsoleTarget target);
ConsoleTarget GetConsoleTarget();
// The target's descriptor (1 or 2), or -1 for nowhere. Safe in a signal
// handler.
int ConsoleTargetFd();

void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text and a newline, as puts writes them.
void ConsolePuts(const char* text);

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
