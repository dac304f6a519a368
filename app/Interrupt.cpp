#include "app/Interrupt.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "app/record/Prepared.h"
#include "app/console/ConsoleRenderer.h"
#include "app/console/WireTrace.h"
#include "serial/HeldPorts.h"
#include "serial/RunState.h"

namespace {

// Whether standard error is a terminal, taken at install time: there the
// message must leave the line the prompt (and the echoed ^C) stands on.
volatile sig_atomic_t gErrIsTerminal = 0;

void Put(int fd, const char* text) {
    WriteAll(fd, text, strlen(text));
}

// Only async-signal-safe calls: tcsetattr and close (inside
// ReleaseAllPorts), open, flock, pread, nanosleep, write, fdatasync,
// close (the prepared lines), write (the wire trace), _exit.
void OnInterrupt(int sig) {
    // The ROM bootloader finishes the exchange it is in (within its
    // time-out); the signal comes back when it is over.
    if (ExchangeRunning()) {
        DeferSignal(sig);
        return;
    }
    ReleaseAllPorts();
    if (ProgressLineOpen()) {
        if (ConsoleTargetFd() >= 0)
            Put(ConsoleTargetFd(), "\n");
    } else if (gErrIsTerminal)
        Put(STDERR_FILENO, "\n");
    Put(STDERR_FILENO, "kvfwdn: interrupted by ");
    Put(STDERR_FILENO, SignalName(sig));
    if (DownloadRunning())
        Put(STDERR_FILENO, " during a download: the device may hold a partial image;"
                           " put it back in boot mode and download again");
    Put(STDERR_FILENO, ".\n");
    WritePreparedLines(sig);
    FlushWireTraceFromSignal();
    _exit(128 + sig);
}

} // namespace

void InstallInterruptHandlers() {
    gErrIsTerminal = isatty(STDERR_FILENO) ? 1 : 0;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnInterrupt;
    // A held signal lets the exchange's reads and writes go on.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // One handler at a time: a second signal waits until the first has
    // ended the process.
    for (int sig : HANDLED_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    // A reader that goes away (`| head`) must not kill the tool in the
    // middle of a download: the write fails instead (see OutputLost).
    signal(SIGPIPE, SIG_IGN);
    for (int sig : HANDLED_SIGNALS) {
        // A signal ignored from the start (nohup) stays ignored.
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &action, nullptr);
    }
}

bool OutputLost() {
    return ferror(stdout) != 0;
}
