#include "app/record/HistoryFile.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char HEX[] = "0123456789abcdef";
const size_t CHUNK = 4096; // on the stack in the signal path

void DigestHex(struct sha256_ctx* ctx, char* hex) {
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(ctx, sizeof digest, digest);
    for (size_t i = 0; i < sizeof digest; ++i) {
        hex[2 * i] = HEX[digest[i] >> 4];
        hex[2 * i + 1] = HEX[digest[i] & 15];
    }
    hex[SHA256_HEX_LENGTH] = '\0';
}

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Polls for the lock, so that the wait has an end.
bool Lock(int fd, int waitMs) {
    long long end = NowMs() + waitMs;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (NowMs() >= end)
            return false;
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// The hash of the file's last line (without its newline) into `hex`; false
// for an empty file. `torn` tells that the file does not end in a newline.
bool LastLineHash(int fd, char* hex, bool* torn, bool* readFailed) {
    *torn = false;
    *readFailed = false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        *readFailed = st.st_size != 0;
        return false;
    }
    char chunk[CHUNK];
    off_t end = st.st_size;
    if (pread(fd, chunk, 1, end - 1) != 1) {
        *readFailed = true;
        return false;
    }
    if (chunk[0] == '\n')
        --end;
    else
        *torn = true;
    // Back to the newline before the last line.
    off_t start = end;
    while (start > 0) {
        size_t n = start < static_cast<off_t>(CHUNK) ? static_cast<size_t>(start) : CHUNK;
        if (pread(fd, chunk, n, start - static_cast<off_t>(n)) != static_cast<ssize_t>(n)) {
            *readFailed = true;
            return false;
        }
        const void* newline = memrchr(chunk, '\n', n);
        if (newline != nullptr) {
            start -= static_cast<off_t>(n) - (static_cast<const char*>(newline) - chunk) - 1;
            break;
        }
        start -= static_cast<off_t>(n);
    }
    struct sha256_ctx ctx;
    sha256_init(&ctx);
    for (off_t at = start; at < end;) {
        size_t n = end - at < static_cast<off_t>(CHUNK) ? static_cast<size_t>(end - at) : CHUNK;
        if (pread(fd, chunk, n, at) != static_cast<ssize_t>(n)) {
            *readFailed = true;
            return false;
        }
        sha256_update(&ctx, n, reinterpret_cast<const uint8_t*>(chunk));
        at += static_cast<off_t>(n);
    }
    DigestHex(&ctx, hex);
    return true;
}

// `buffer`: an optional newline, the line with `prev` filled in, a newline;
// returns the length, the record's own bytes starting at `*recordAt`.
size_t Compose(const ChainedLine& line, const char* prevHex, bool newlineFirst, char* buffer,
               size_t* recordAt) {
    size_t n = 0;
    if (newlineFirst)
        buffer[n++] = '\n';
    *recordAt = n;
    memcpy(buffer + n, line.text, line.prevAt);
    n += line.prevAt;
    if (prevHex != nullptr) {
        buffer[n++] = '"';
        memcpy(buffer + n, prevHex, SHA256_HEX_LENGTH);
        n += SHA256_HEX_LENGTH;
        buffer[n++] = '"';
    } else {
        memcpy(buffer + n, "null", 4);
        n += 4;
    }
    size_t rest = line.length - line.prevAt - 4;
    memcpy(buffer + n, line.text + line.prevAt + 4, rest);
    n += rest;
    buffer[n++] = '\n';
    return n;
}

AppendResult Fail(AppendResult result, HistoryFault fault, int error, int fd) {
    result.fault = fault;
    result.error = error;
    if (fd >= 0)
        close(fd);
    return result;
}

} // namespace

void Sha256Hex(const void* data, size_t length, char* hex) {
    struct sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, length, static_cast<const uint8_t*>(data));
    DigestHex(&ctx, hex);
}

size_t PrevValueOffset(const std::string& line) {
    // Inside a string value the quotes would be escaped, so only the key
    // itself matches.
    const char key[] = ",\"prev\":null";
    size_t at = line.rfind(key);
    return at == std::string::npos ? at : at + sizeof key - 1 - 4;
}

AppendResult AppendChained(const char* path, const ChainedLine& line, char* buffer, int lockWaitMs,
                           bool writeUnlocked) {
    AppendResult result;
    size_t recordAt = 0;
    size_t length = Compose(line, nullptr, false, buffer, &recordAt);
    Sha256Hex(buffer, length - 1, result.recordHex);

    // Never follow a link planted at the path, never wait on a FIFO, never
    // take a terminal as the controlling one.
    int fd = open(
        path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return Fail(result, errno == ELOOP ? HISTORY_LINK : HISTORY_OPEN_FAILED, errno, -1);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Fail(result, HISTORY_OPEN_FAILED, errno, fd);
    if (!S_ISREG(st.st_mode)) {
        result.mode = st.st_mode;
        return Fail(result, HISTORY_NOT_REGULAR, 0, fd);
    }
    // Root may write anywhere; a file nobody may write is left alone.
    if ((st.st_mode & 0222) == 0)
        return Fail(result, HISTORY_READ_ONLY, 0, fd);
    if (!Lock(fd, lockWaitMs) && !writeUnlocked)
        return Fail(result, HISTORY_LOCK_TIMEOUT, 0, fd);

    char prev[SHA256_HEX_LENGTH + 1];
    bool torn = false, readFailed = false;
    bool hasLast = LastLineHash(fd, prev, &torn, &readFailed);
    if (readFailed)
        return Fail(result, HISTORY_WRITE_FAILED, errno, fd);
    length = Compose(line, hasLast ? prev : nullptr, torn, buffer, &recordAt);
    Sha256Hex(buffer + recordAt, length - recordAt - 1, result.recordHex);
    // One write: a tool that takes no lock cannot come between its parts.
    ssize_t n = write(fd, buffer, length);
    if (n != static_cast<ssize_t>(length))
        return Fail(result, HISTORY_WRITE_FAILED, n < 0 ? errno : 0, fd);
    if (fdatasync(fd) != 0)
        return Fail(result, HISTORY_WRITE_FAILED, errno, fd);
    close(fd); // ends the lock
    return result;
}

std::string HistoryFaultText(const AppendResult& result) {
    switch (result.fault) {
    case HISTORY_WRITTEN:
        return "";
    case HISTORY_LINK:
        return "it is a symbolic link, which the record does not follow";
    case HISTORY_NOT_REGULAR:
        return std::string("it is ") +
               (S_ISFIFO(result.mode)   ? "a FIFO"
                : S_ISDIR(result.mode)  ? "a folder"
                : S_ISSOCK(result.mode) ? "a socket"
                                        : "a device") +
               ", not a regular file";
    case HISTORY_READ_ONLY:
        return "the file is read-only";
    case HISTORY_LOCK_TIMEOUT:
        return "another program held its lock for 10 s";
    default:
        return result.error != 0 ? strerror(result.error) : "short write";
    }
}
