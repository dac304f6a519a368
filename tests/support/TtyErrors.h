// Runs the built kvfwdn with its standard error on a pseudo-terminal, as a
// technician's terminal would be, and standard output on a pipe.
#ifndef KV_TESTS_TTYERRORS_H
#define KV_TESTS_TTYERRORS_H

#include <string>
#include <vector>

#include "support/RunTool.h"

// `errors` gets what arrived on the terminal (newlines as the terminal
// sends them, "\r\n").
ToolRun RunToolErrorsOnTty(const std::vector<std::string>& args, int timeoutMs = 60000);

#endif
