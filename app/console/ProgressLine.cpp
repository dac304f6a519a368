#include "app/console/ProgressLine.h"

#include "serial/Clock.h"
#include "serial/RunState.h"

namespace {

const char* PhaseName(ProgressPhase phase) {
    static const char* const NAMES[] = {"erase", "write", "verify", "push", "blocks"};
    return NAMES[phase];
}

std::string Clock(unsigned long long seconds) {
    char text[32];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%llu:%02llu:%02llu", seconds / 3600, seconds / 60 % 60,
                 seconds % 60);
    else
        snprintf(text, sizeof text, "%llu:%02llu", seconds / 60, seconds % 60);
    return text;
}

// The state of the line on the terminal and of the download it shows.
struct Shown {
    bool open = false;
    size_t width = 0; // of the text drawn last, to be blanked by a shorter one
    ProgressPhase phase = PHASE_ERASE;
    uint64_t phaseStart = 0, lastDraw = 0, downloadStart = 0, downloadEnd = 0;
    unsigned long long bytes = 0; // written (bootloader road) or sent (loader road)
    bool loader = false, started = false;
};
Shown gShown;

void Draw(FILE* out, const std::string& text, bool last) {
    std::string line = "\r" + text;
    if (text.size() < gShown.width)
        line.append(gShown.width - text.size(), ' ');
    gShown.width = text.size();
    fputs(line.c_str(), out);
    if (last) {
        fputc('\n', out);
        gShown.open = false;
        gShown.width = 0;
        SetProgressLineOpen(false);
    } else {
        gShown.open = true;
        SetProgressLineOpen(true);
    }
    fflush(out);
}

} // namespace

std::string ProgressLineText(ProgressPhase phase, unsigned long long done, unsigned long long total,
                             uint64_t elapsedMs) {
    char text[160];
    if (phase == PHASE_ERASE) {
        snprintf(text, sizeof text, "erase  ... %.1f s", static_cast<double>(elapsedMs) / 1000.0);
        return text;
    }
    std::string rate = "--", left = "--";
    if (done > 0 && elapsedMs > 0) {
        double perSecond = static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs);
        snprintf(text, sizeof text, "%.1f", perSecond / 1024.0);
        rate = text;
        left = Clock(
            static_cast<unsigned long long>(static_cast<double>(total - done) / perSecond + 0.5));
    }
    snprintf(text, sizeof text, "%-6s %llu/%llu bytes  %s KiB/s  %s left", PhaseName(phase), done,
             total, rate.c_str(), left.c_str());
    return text;
}

std::string ClosingLineText(unsigned long long bytes, bool loaderRoad, uint64_t elapsedMs) {
    double seconds = static_cast<double>(elapsedMs) / 1000.0;
    double rate = seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0;
    char text[160];
    snprintf(text, sizeof text, "%llu bytes %s in %.1f s (%.1f KiB/s)", bytes,
             loaderRoad ? "sent" : "written and verified", seconds, rate);
    return text;
}

void ResetProgressLine() {
    gShown = Shown();
}

void DrawProgressLine(FILE* out, const ProgressEvent& state) {
    uint64_t now = GetTickCount();
    if (!gShown.started) {
        gShown.started = true;
        gShown.downloadStart = now;
    }
    if (!gShown.open || state.phase != gShown.phase) {
        BreakProgressLine(out);
        gShown.phase = state.phase;
        gShown.phaseStart = now;
        gShown.lastDraw = 0;
    }
    if (state.phase == PHASE_BLOCKS)
        gShown.loader = true;
    if (state.phase == PHASE_WRITE || state.phase == PHASE_BLOCKS)
        gShown.bytes = state.done;
    bool last = state.phase != PHASE_ERASE && state.done >= state.total;
    if (gShown.open && !last && now - gShown.lastDraw < 100)
        return;
    gShown.lastDraw = now;
    Draw(out, ProgressLineText(state.phase, state.done, state.total, now - gShown.phaseStart),
         false);
}

void EndProgressLine(FILE* out, ProgressPhase phase) {
    uint64_t now = GetTickCount();
    gShown.downloadEnd = now;
    if (!gShown.open || phase != gShown.phase)
        return;
    if (phase == PHASE_ERASE)
        Draw(out, ProgressLineText(phase, 0, 0, now - gShown.phaseStart), true);
    else
        BreakProgressLine(out); // the last state stands
}

void BreakProgressLine(FILE* out) {
    if (gShown.open) {
        fputc('\n', out);
        fflush(out);
    }
    ProgressLineBroken();
}

void ProgressLineBroken() {
    gShown.open = false;
    gShown.width = 0;
    SetProgressLineOpen(false);
}

void PrintClosingLine(FILE* out) {
    BreakProgressLine(out);
    if (gShown.bytes == 0)
        return;
    fprintf(out, "%s\n",
            ClosingLineText(gShown.bytes, gShown.loader, gShown.downloadEnd - gShown.downloadStart)
                .c_str());
    fflush(out);
}
