// Lines prepared before an action for the signal handler, which may then
// only write them: the history record of an interrupted action and, with
// --json, its one result line. Kept per handled signal, as the signal's name
// is part of both.
#ifndef KV_APP_PREPARED_H
#define KV_APP_PREPARED_H

#include <cstddef>
#include <functional>
#include <string>

// The signals the tool handles (SIGINT, SIGTERM, SIGHUP, SIGQUIT), their
// count and names.
const int HANDLED_SIGNAL_COUNT = 4;
extern const int HANDLED_SIGNALS[HANDLED_SIGNAL_COUNT];
const char* SignalName(int sig);

// Prepares the history line (appended to `path`) for each handled signal;
// `line` builds it from the error text "interrupted by SIG...".
void PrepareHistoryLines(const std::string& path,
                         const std::function<std::string(int sig, const char* error)>& line);
// Prepares the result line written to the standard output as it is now.
void PrepareResultLines(const std::function<std::string(int sig, const char* error)>& line);
// Drops the history lines (the record is written), the result lines (the
// result is printed), or both.
void DropPreparedHistoryLines();
void DropPreparedResultLines();
void DropPreparedLines();
// Signal handler side: writes the lines prepared for `sig`; only open,
// write, fdatasync and close.
void WritePreparedLines(int sig);
// Writes `length` bytes of `text` to `fd` whole; false when a write fails.
// Async-signal-safe (write only).
bool WriteAll(int fd, const char* text, size_t length);

#endif
