// Program entry: the interactive menus, or one command given as arguments.
#include "app/Cli.h"
#include "app/FwDn.h"

int main(int argc, char** argv) {
    if (argc > 1)
        return RunCommandLine(argc, argv);
    DisplayMainMenu();
    return 0;
}
