// Why an action failed: the reason lines ("kvfwdn: SUBJECT: reason", always
// on standard error), the first of an action kept for its result, the
// failing step of a download, and the end-of-action report of the port.
#ifndef KV_APP_CONSOLE_REASONLINE_H
#define KV_APP_CONSOLE_REASONLINE_H

#include "serial/ConsoleSink.h"

// Prints "kvfwdn: SUBJECT: reason" on standard error and keeps
// "SUBJECT: reason" when no reason has been kept since ClearReasonLine.
void PrintReasonLine(const char* subject, const char* reason);
// Keeps `text` as the reason when none has been kept yet; prints nothing.
void KeepReasonLine(const char* text);
// The first reason kept since ClearReasonLine, or nullptr.
const char* FirstReasonLine();
// Forgets the kept reason and the failing step: an action begins.
void ClearReasonLine();

// The console sink's open failure: kept as the action's reason, printed by
// ReportPortFailure.
void NoteOpenFailure(const char* port, const char* why);
// The console sink's port without a lock file: the first of an action is
// printed by ReportPortFailure.
void NoteLockWithoutFile(const char* port, const char* why);
// The console sink's failing step of a download: the first of an action is
// kept and said as a reason line ("kvfwdn: PORT: erase refused (NACK)").
void NoteStepFailure(const StepFailure& failure);
// A device that answered at none of the rates tried: a reason line, unless
// the port could not be opened (that reason is said instead).
void NoteNoAnswer(const char* port, SinkDevice device, const int* bauds, int count);
// The step failure kept since ClearReasonLine, or nullptr.
const StepFailure* FailedStep();

// Ends an action: writes out its wire trace, removes the lock files taken for its ports (none is
// open any more), says on standard error when a port had to do without one, and prints "kvfwdn:
// PORT: reason" there when an open has failed since the last call, then forgets it; prints nothing
// otherwise.
void ReportPortFailure();

#endif
