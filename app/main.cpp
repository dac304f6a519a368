// Program entry: the interactive menus, or one command given as arguments.
#include "app/Cli.h"
#include "app/CliResult.h"
#include "app/FwDn.h"
#include "app/Interrupt.h"

#include <cstdio>

int main(int argc, char** argv) {
    InstallInterruptHandlers();
    if (argc > 1)
        return RunCommandLine(argc, argv);
    DisplayMainMenu();
    // A session whose output was lost has not told its results.
    if (OutputLost()) {
        fputs("kvfwdn: standard output was lost; no further answers were read.\n", stderr);
        return EXIT_OTHER;
    }
    return 0;
}
