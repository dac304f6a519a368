#include "app/record/Prepared.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const int HANDLED_SIGNALS[HANDLED_SIGNAL_COUNT] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

namespace {

// A prepared line: malloc'ed before the action, so that the handler only
// reads it. The pointer is cleared before the memory is freed.
struct Line {
    char* volatile text = nullptr;
    volatile size_t length = 0;
};

Line gHistory[HANDLED_SIGNAL_COUNT];
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
    Drop(&line->text);
    line->length = text.size();
    line->text = Copy(text);
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
    Drop(&gHistoryPath);
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i) {
        std::string error = std::string("interrupted by ") + SignalName(HANDLED_SIGNALS[i]);
        Set(&gHistory[i], line(HANDLED_SIGNALS[i], error.c_str()) + "\n");
    }
    gHistoryPath = Copy(path);
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
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i)
        Drop(&gHistory[i].text);
}

void DropPreparedLines() {
    DropPreparedHistoryLines();
    DropPreparedResultLines();
}

void DropPreparedResultLines() {
    for (int i = 0; i < HANDLED_SIGNAL_COUNT; ++i)
        Drop(&gResult[i].text);
    int fd = gResultFd;
    gResultFd = -1;
    if (fd >= 0)
        close(fd);
}

void WritePreparedLines(int sig) {
    int i = IndexOf(sig);
    if (i < 0)
        return;
    const char* result = gResult[i].text;
    if (result != nullptr && gResultFd >= 0)
        WriteAll(gResultFd, result, gResult[i].length);
    const char* record = gHistory[i].text;
    const char* path = gHistoryPath;
    if (record == nullptr || path == nullptr)
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    // One write, so that another tool's line cannot come between its parts.
    if (write(fd, record, gHistory[i].length) == static_cast<ssize_t>(gHistory[i].length))
        fdatasync(fd);
    close(fd);
}
