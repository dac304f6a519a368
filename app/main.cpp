// Program entry: the interactive menus, or one command given as arguments.
#include "app/Cli.h"
#include "app/CliResult.h"
#include "app/FwDn.h"
#include "app/Interrupt.h"

int main(int argc, char** argv) {
    InstallInterruptHandlers();
    if (argc > 1)
        return RunCommandLine(argc, argv);
    DisplayMainMenu();
    // A session whose output was lost has not told its results.
    return OutputLost() ? EXIT_OTHER : 0;
}
