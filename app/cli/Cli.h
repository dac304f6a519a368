// Cli.h -- RunCommandLine: parse, dispatch, exit status.
//
// Unattended use: one command given as arguments instead of the menus, with
// an exit status and a text or JSON result on standard output.
#ifndef KV_APP_CLI_H
#define KV_APP_CLI_H

// Parses the arguments, runs the command and returns the exit status.
int RunCommandLine(int argc, char** argv);

#endif
