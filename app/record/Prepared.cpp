#include "app/record/Prepared.h"

#include "app/record/HistoryFile.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const int HANDLED_SIGNALS[HANDLED_SIGNAL_COUNT] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

namespace {

// A prepared line: malloc'ed before the action, so that the handler only
// reads it. Its length travels with it, so that one pointer swap replaces a
// line whole; the pointer is changed before the old memory is freed.
struct Text {
    size_t length;
    size_t prevAt; // a history line: where its `prev` value goes
    char data[1];
};
typedef Text* volatile Line;

Line gHistory[HANDLED_SIGNAL_COUNT];
// The room to put a history line's `prev` in.
char* volatile gHistoryBuffer[HANDLED_SIGNAL_COUNT];
Line gResult[HANDLED_SIGNAL_COUNT];
char* volatile gHistoryPath = nullptr;
volatile int gResultFd = -1; // a copy of standard output as it was prepared

int IndexOf(int sig) {
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i)
        if (HANDLED_SIGNALS[i] == sig)
            return i;
    return -1;
}

char* Copy(const std::string& text) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    if (copy != nullptr)
        memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void Drop(char* volatile* slot) {
    char* old = *slot;
    *slot = nullptr;
    free(old);
}

void Set(Line* line, const std::string& text) {
    Text* made = static_cast<Text*>(malloc(sizeof(Text) + text.size()));
    if (made != nullptr) {
        made->length = text.size();
        made->prevAt = PrevValueOffset(text);
        memcpy(made->data, text.c_str(), text.size() + 1);
    }
    Text* old = *line;
    *line = made;
    free(old);
}

void Drop(Line* line) {
    Text* old = *line;
    *line = nullptr;
    free(old);
}

} // namespace

bool WriteAll(int fd, const char* text, size_t left) {
    while (left > 0) {
        ssize_t n = write(fd, text, left);
        if (n <= 0)
            return false;
        text += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

const char* SignalName(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGQUIT:
        return "SIGQUIT";
    default:
        return "SIGHUP";
    }
}

void PrepareHistoryLines(const std::string& path,
                         const std::function<std::string(int, const char*)>& line) {
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i) {
        std::string error = std::string("interrupted by ") + SignalName(HANDLED_SIGNALS[i]);
        std::string text = line(HANDLED_SIGNALS[i], error.c_str());
        Set(&gHistory[i], text);
        char* old = gHistoryBuffer[i];
        gHistoryBuffer[i] = static_cast<char*>(malloc(ChainedCapacity(text.size())));
        free(old);
    }
    char* old = gHistoryPath;
    gHistoryPath = Copy(path);
    free(old);
}

void PrepareResultLines(const std::function<std::string(int, const char*)>& line) {
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i) {
        std::string error = std::string("interrupted by ") + SignalName(HANDLED_SIGNALS[i]);
        Set(&gResult[i], line(HANDLED_SIGNALS[i], error.c_str()) + "\n");
    }
    if (gResultFd < 0)
        gResultFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
}

void DropPreparedHistoryLines() {
    Drop(&gHistoryPath);
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i) {
        Drop(&gHistory[i]);
        Drop(&gHistoryBuffer[i]);
    }
}

void DropPreparedResultLines() {
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i)
        Drop(&gResult[i]);
    int fd = gResultFd;
    gResultFd = -1;
    if (fd >= 0)
        close(fd);
}

void DropPreparedLines() {
    DropPreparedHistoryLines();
    DropPreparedResultLines();
}

bool WriteFinalResultLine(const std::string& text) {
    sigset_t held, before;
    sigemptyset(&held);
    for (int sig : HANDLED_SIGNALS)
        sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &before);
    fflush(stdout); // anything buffered goes first
    bool written = WriteAll(STDOUT_FILENO, text.data(), text.size());
    DropPreparedResultLines();
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return written;
}

void WritePreparedLines(int sig) {
    int i = IndexOf(sig);
    if (i < 0)
        return;
    const Text* result = gResult[i];
    if (result != nullptr && gResultFd >= 0)
        WriteAll(gResultFd, result->data, result->length);
    const Text* record = gHistory[i];
    char* buffer = gHistoryBuffer[i];
    const char* path = gHistoryPath;
    if (record == nullptr || buffer == nullptr || path == nullptr ||
        record->prevAt == std::string::npos)
        return;
    // The same append as the action's end; the lock is waited for 2 s at
    // most, then the record is written all the same.
    AppendChained(path, {record->data, record->length, record->prevAt}, buffer, 2000, true);
}
