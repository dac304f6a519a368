// Interrupt.h -- InstallInterruptHandlers, OutputLost: how a signal or a lost
// output ends the tool.
//
// Ctrl-C, Ctrl-\ (SIGQUIT), a dropped session (SIGHUP) or SIGTERM, at a prompt or during an
// action: every held port is put back and let go, an open progress line is
// ended, the interruption is told on standard error, and the tool exits with
// 128 + the signal number.
#ifndef KV_APP_INTERRUPT_H
#define KV_APP_INTERRUPT_H

// Installs the handler for SIGINT, SIGTERM, SIGHUP and SIGQUIT and ignores
// SIGPIPE. Call first in main.
void InstallInterruptHandlers();
// True once a write to standard output has failed (its reader has gone):
// the menus then read no further answers and the tool exits with 9.
bool OutputLost();

#endif
