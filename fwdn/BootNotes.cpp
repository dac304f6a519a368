#include "fwdn/BootNotes.h"

namespace {
BootNoteSink gSink = nullptr;
BootSettings gSettings;
BootOutcome gOutcome;
} // namespace

void SetBootNoteSink(BootNoteSink sink) {
    gSink = sink;
}

void ReportBootNote(BootNote note, const char* port, int seconds) {
    if (gSink != nullptr)
        gSink(note, port != nullptr ? port : "", seconds);
}

void SetBootSettings(const BootSettings& settings) {
    gSettings = settings;
}

const BootSettings& GetBootSettings() {
    return gSettings;
}

void ClearBootOutcome() {
    gOutcome = BootOutcome();
}

BootOutcome& LastBootOutcome() {
    return gOutcome;
}
