// Ctrl-C, a dropped session (SIGHUP) or SIGTERM, at a prompt or during an
// action: every held port is put back and let go, an open progress line is
// ended, the interruption is told on standard error, and the tool exits with
// 128 + the signal number.
#ifndef KV_APP_INTERRUPT_H
#define KV_APP_INTERRUPT_H

// Installs the handler for SIGINT, SIGTERM and SIGHUP. Call first in main.
void InstallInterruptHandlers();

#endif
