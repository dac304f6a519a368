#include "serial/ConsoleSink.h"

namespace {

ConsoleSink gSink = {};

} // namespace

void SetConsoleSink(const ConsoleSink& sink) {
    gSink = sink;
}

const ConsoleSink& GetConsoleSink() {
    return gSink;
}

void SinkDownloadStart() {
    if (gSink.downloadStart)
        gSink.downloadStart();
}

void SinkProgress(const ProgressEvent& state) {
    if (gSink.progress)
        gSink.progress(state);
}

void SinkProgressEnd(ProgressPhase phase) {
    if (gSink.progressEnd)
        gSink.progressEnd(phase);
}

void SinkBootError(BootErrorLine line, int status) {
    if (gSink.bootError)
        gSink.bootError(line, status);
}

void SinkGetListShort(int lastCall, int got, int of) {
    if (gSink.getListShort)
        gSink.getListShort(lastCall, got, of);
}

void SinkGetFail(const char* port) {
    if (gSink.getFail)
        gSink.getFail(port);
}

void SinkPortOpened(const char* port, long baud) {
    if (gSink.portOpened)
        gSink.portOpened(port, baud);
}

void SinkPortOpenFail(const char* port) {
    if (gSink.portOpenFail)
        gSink.portOpenFail(port);
}

void SinkNoAnswer(const char* port, SinkDevice device, const int* bauds, int count) {
    if (gSink.noAnswer)
        gSink.noAnswer(port, device, bauds, count);
}

void SinkReason(const char* subject, const char* why) {
    if (gSink.reason)
        gSink.reason(subject, why);
}

void SinkOpenFailed(const char* port, const char* why) {
    if (gSink.openFailed)
        gSink.openFailed(port, why);
}

void SinkLockWithoutFile(const char* port, const char* why) {
    if (gSink.lockWithoutFile)
        gSink.lockWithoutFile(port, why);
}

void SinkPlaceholder(PlaceholderData which) {
    if (gSink.placeholder)
        gSink.placeholder(which);
}

void SinkStepFailed(const StepFailure& failure) {
    if (gSink.stepFailed)
        gSink.stepFailed(failure);
}
