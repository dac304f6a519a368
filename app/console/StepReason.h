// The words for what a library reports as failed: a download's step (its
// reason text, its name in results, its address) and a device that did not
// answer at the rates tried.
#ifndef KV_APP_CONSOLE_STEPREASON_H
#define KV_APP_CONSOLE_STEPREASON_H

#include <string>

#include "serial/ConsoleSink.h"

// "write refused at 0x08000400 (NACK after the data)", ...
std::string StepReasonText(const StepFailure& failure);
// "start", "get", ... "end"; nullptr for STEP_NONE.
const char* StepName(FailStep step);
// "0x08000400" style, 8 upper-case hex digits; empty when it has none.
std::string StepAddress(const StepFailure& failure);
// "no answer from the printer at 115200, 460800, 9600 or 57600 baud",
// "the dispenser did not answer at 9600 baud".
std::string NoAnswerText(SinkDevice device, const int* bauds, int count);

#endif
