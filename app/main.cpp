// Program entry: the interactive menus, or one command given as arguments.
#include <fcntl.h>
#include <unistd.h>

#include "app/cli/Cli.h"
#include "app/console/ConsoleRenderer.h"
#include "app/console/WireTrace.h"
#include "app/cli/CliResult.h"
#include "app/FwDn.h"
#include "app/Interrupt.h"
#include "app/record/History.h"
#include "app/text/BootNoteText.h"
#include "serial/LockFile.h"

namespace {

// A standard descriptor closed at start would be taken by the next open, a
// port among them, which output would then reach: /dev/null takes its place.
void FillClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

} // namespace

#include <cstdio>

int main(int argc, char** argv) {
    FillClosedStandardDescriptors();
    InstallInterruptHandlers();
    InstallConsoleRenderer();
    SetWireTraceFromEnvironment();
    InstallBootNotes();
    // A port's lock file stays through the closes and reopens of one
    // action (the loader road's) and goes when the action ends.
    KeepLockFilesUntilRelease(true);
    if (argc > 1)
        return RunCommandLine(argc, argv);
    if (!TakeEnvironmentTicket())
        fputs("kvfwdn: KVFWDN_TICKET is no valid change ticket (1 to 64 printable characters "
              "without blanks); the records carry no ticket\n",
              stderr);
    DisplayMainMenu();
    // A session whose output was lost has not told its results.
    if (OutputLost()) {
        fputs("kvfwdn: standard output was lost; no further answers were read.\n", stderr);
        return EXIT_OTHER;
    }
    return 0;
}
