// The command line's progress display on a terminal: one line per phase,
// redrawn in place, with bytes, rate and time left, and the closing line of
// a download that ended well.
#ifndef KV_APP_CONSOLE_PROGRESSLINE_H
#define KV_APP_CONSOLE_PROGRESSLINE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "serial/ConsoleSink.h"

// "write  65536/262144 bytes  11.2 KiB/s  0:17 left" after `elapsedMs` of
// the phase; "erase  ... 2.1 s" for the erase. Rate and time show "--"
// until a rate is known; times past an hour are h:mm:ss.
std::string ProgressLineText(ProgressPhase phase, unsigned long long done, unsigned long long total,
                             uint64_t elapsedMs);
// "262144 bytes written and verified in 47.3 s (5.4 KiB/s)", "sent" for the
// loader road.
std::string ClosingLineText(unsigned long long bytes, bool loaderRoad, uint64_t elapsedMs);

// A download begins: what the closing line counts starts again.
void ResetProgressLine();
// One state, drawn on `out` over the line before (at most every 100 ms, and
// always the last state of the phase).
void DrawProgressLine(FILE* out, const ProgressEvent& state);
// The phase ends: its line is finished with a newline.
void EndProgressLine(FILE* out, ProgressPhase phase);
// Finishes an open line with a newline (before another line is printed).
void BreakProgressLine(FILE* out);
// Marks the open line as finished by a text that began with a newline.
void ProgressLineBroken();
// The closing line of the download shown since ResetProgressLine, when it
// wrote or sent bytes.
void PrintClosingLine(FILE* out);

#endif
