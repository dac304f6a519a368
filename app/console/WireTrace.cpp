#include "app/console/WireTrace.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/record/Prepared.h"
#include "serial/LineTrace.h"

namespace {

std::string gPath;
volatile sig_atomic_t gFd = -1;
bool gbWarned = false;
struct timespec gStart;

// Lines wait here; a record needs at most a few lines of LINE_MAX.
const size_t BUFFER_SIZE = 64 * 1024;
const size_t LINE_MAX_BYTES = 160;
char gBuffer[BUFFER_SIZE];
volatile sig_atomic_t gUsed = 0;

void Warn(const char* why) {
    if (!gbWarned)
        fprintf(stderr, "kvfwdn: the wire trace could not be written to %s: %s\n", gPath.c_str(),
                why);
    gbWarned = true;
}

void WriteOut() {
    if (gFd < 0 || gUsed == 0)
        return;
    if (!WriteAll(gFd, gBuffer, static_cast<size_t>(gUsed))) {
        Warn(strerror(errno));
        close(gFd);
        gFd = -1;
    }
    gUsed = 0;
}

// Room for one more line.
char* Line() {
    if (BUFFER_SIZE - static_cast<size_t>(gUsed) < LINE_MAX_BYTES)
        WriteOut();
    return gBuffer + gUsed;
}

void Put(int length) {
    gUsed = gUsed + length;
}

int Stamp(char* at) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long us = (now.tv_sec - gStart.tv_sec) * 1000000LL + (now.tv_nsec - gStart.tv_nsec) / 1000;
    if (us < 0)
        us = 0;
    return snprintf(at, LINE_MAX_BYTES, "%lld.%06lld ", us / 1000000, us % 1000000);
}

// "> 7f" / "< 79": at most 32 bytes a line, the rest on the next.
void Bytes(char direction, const unsigned char* bytes, size_t length) {
    static const char HEX[] = "0123456789abcdef";
    for (size_t first = 0; first < length; first += 32) {
        char* at = Line();
        int n = Stamp(at);
        at[n++] = direction;
        for (size_t i = first; i < length && i < first + 32; ++i) {
            at[n++] = ' ';
            at[n++] = HEX[bytes[i] >> 4];
            at[n++] = HEX[bytes[i] & 15];
        }
        at[n++] = '\n';
        Put(n);
    }
}

void OnLine(const LineRecord& r) {
    if (gFd < 0)
        return;
    if (r.event == LINE_WRITE || r.event == LINE_READ) {
        Bytes(r.event == LINE_WRITE ? '>' : '<', r.bytes, r.length);
        return;
    }
    char* at = Line();
    int n = Stamp(at);
    size_t room = LINE_MAX_BYTES - static_cast<size_t>(n);
    int m = 0;
    switch (r.event) {
    case LINE_OPEN:
        m = snprintf(at + n, room, "open %s %ld %s\n", r.port, r.baud, r.format);
        break;
    case LINE_OPEN_FAILED:
        m = snprintf(at + n, room, "open %s failed: %s\n", r.port, r.reason);
        break;
    case LINE_SET:
        m = snprintf(at + n, room, "set %ld %s\n", r.baud, r.format);
        break;
    case LINE_TIMEOUT:
        m = snprintf(at + n, room, "timeout after %d ms\n", r.ms);
        break;
    case LINE_FLUSH:
        m = snprintf(at + n, room, "flush\n");
        break;
    default:
        m = snprintf(at + n, room, "close\n");
        break;
    }
    // A line cut at its room still ends in a newline.
    if (m >= static_cast<int>(room)) {
        m = static_cast<int>(room) - 1;
        at[n + m - 1] = '\n';
    }
    Put(n + m);
}

void OpenTrace() {
    int fd = open(gPath.c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        Warn(strerror(errno));
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        Warn("not a regular file");
        return;
    }
    gFd = fd;
    SetLineTraceHook(OnLine);
}

} // namespace

void SetWireTraceFile(const char* path) {
    FlushWireTrace();
    if (gFd >= 0)
        close(gFd);
    gFd = -1;
    SetLineTraceHook(nullptr);
    gPath = path != nullptr ? path : "";
    gbWarned = false;
    clock_gettime(CLOCK_MONOTONIC, &gStart);
}

void SetWireTraceFromEnvironment() {
    const char* path = getenv("KVFWDN_TRACE");
    if (path != nullptr && path[0] != '\0')
        SetWireTraceFile(path);
}

void BeginWireTraceAction() {
    if (gPath.empty())
        return;
    if (gFd < 0 && !gbWarned)
        OpenTrace();
    clock_gettime(CLOCK_MONOTONIC, &gStart);
}

void FlushWireTrace() {
    WriteOut();
}

void FlushWireTraceFromSignal() {
    if (gFd >= 0 && gUsed > 0)
        WriteAll(gFd, gBuffer, static_cast<size_t>(gUsed));
}
