// The reason lines of an action ("kvfwdn: SUBJECT: reason" on standard
// error): printed in one place, the first one kept for the action's result.
#ifndef KV_SERIAL_REASONLINE_H
#define KV_SERIAL_REASONLINE_H

// Prints "kvfwdn: SUBJECT: reason" on standard error and keeps
// "SUBJECT: reason" when no reason has been kept since ClearReasonLine.
void PrintReasonLine(const char* subject, const char* reason);
// Keeps `text` as the reason when none has been kept yet; prints nothing.
void KeepReasonLine(const char* text);
// The first reason kept since ClearReasonLine, or nullptr.
const char* FirstReasonLine();
void ClearReasonLine();

#endif
