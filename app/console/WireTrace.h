// The wire trace (--trace FILE, $KVFWDN_TRACE): every line event of the
// serial layer, one line each with the seconds since the action began,
// gathered in a buffer and written at the end of the action and on the
// signal path.
#ifndef KV_APP_CONSOLE_WIRETRACE_H
#define KV_APP_CONSOLE_WIRETRACE_H

// The trace file of the actions from here on; nullptr or "" for none. It is
// opened at the next action's begin.
void SetWireTraceFile(const char* path);
// $KVFWDN_TRACE, when it is set and not empty.
void SetWireTraceFromEnvironment();
// An action begins: the file is opened when it is not yet (appended to,
// created 0600, not followed when a link, used only when a regular file or
// new; else one warning and no trace), and the clock starts at zero.
void BeginWireTraceAction();
// Writes out what is gathered (the end of an action).
void FlushWireTrace();
// As FlushWireTrace, with async-signal-safe calls only.
void FlushWireTraceFromSignal();

#endif
