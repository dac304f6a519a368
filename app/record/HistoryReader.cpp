#include "app/record/HistoryReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using nlohmann::json;

namespace {

const size_t CHUNK = 64 * 1024;

// Adds bytes to the line, keeping at most MAX_RECORD_LINE of them.
void Take(HistoryLine* line, const char* data, size_t n) {
    if (line->tooLong)
        return;
    if (line->text.size() + n > MAX_RECORD_LINE) {
        line->tooLong = true;
        line->text.clear();
        line->text.shrink_to_fit();
        return;
    }
    line->text.append(data, n);
}

bool Shallow(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > MAX_RECORD_DEPTH)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

} // namespace

int OpenHistoryForReading(const std::string& path, std::string* why) {
    why->clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    AppendResult fault;
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        fault.fault = errno == ELOOP ? HISTORY_LINK : HISTORY_OPEN_FAILED;
        fault.error = errno;
        *why = HistoryFaultText(fault);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fault.fault = HISTORY_NOT_REGULAR;
        fault.mode = st.st_mode;
        *why = HistoryFaultText(fault);
        close(fd);
        return -1;
    }
    return fd;
}

bool ReadLinesForward(int fd, bool hash, const std::function<bool(const HistoryLine&)>& visit) {
    std::vector<char> chunk(CHUNK);
    HistoryLine line;
    bool pending = false;
    struct sha256_ctx ctx;
    sha256_init(&ctx);
    auto end = [&] {
        if (hash) {
            unsigned char digest[SHA256_DIGEST_SIZE];
            sha256_digest(&ctx, sizeof digest, digest); // also starts the next one
            for (size_t i = 0; i < sizeof digest; ++i)
                snprintf(line.hex + 2 * i, 3, "%02x", digest[i]);
        }
        bool more = visit(line);
        line = HistoryLine();
        pending = false;
        return more;
    };
    for (;;) {
        ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        const char* at = chunk.data();
        const char* stop = at + n;
        while (at < stop) {
            const char* newline = static_cast<const char*>(memchr(at, '\n', stop - at));
            const char* segmentEnd = newline != nullptr ? newline : stop;
            size_t length = static_cast<size_t>(segmentEnd - at);
            Take(&line, at, length);
            if (hash)
                sha256_update(&ctx, length, reinterpret_cast<const uint8_t*>(at));
            pending = pending || length > 0;
            at = segmentEnd;
            if (newline != nullptr) {
                ++at;
                if (!end())
                    return true;
            }
        }
    }
    // A last line without its newline (a torn one) is a line all the same.
    if (pending)
        end();
    return true;
}

bool ReadLinesBackward(int fd, const std::function<bool(const HistoryLine&)>& visit) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    off_t pos = st.st_size;
    std::vector<char> chunk(CHUNK);
    if (pos > 0) {
        if (pread(fd, chunk.data(), 1, pos - 1) != 1)
            return false;
        if (chunk[0] == '\n')
            --pos; // it ends the last line
    }
    // The end of the current line, read so far.
    HistoryLine line;
    bool any = pos > 0;
    while (pos > 0) {
        size_t n = pos < static_cast<off_t>(CHUNK) ? static_cast<size_t>(pos) : CHUNK;
        pos -= static_cast<off_t>(n);
        if (pread(fd, chunk.data(), n, pos) != static_cast<ssize_t>(n))
            return false;
        size_t end = n;
        while (end > 0) {
            const void* found = memrchr(chunk.data(), '\n', end);
            size_t start =
                found == nullptr ? 0 : static_cast<const char*>(found) - chunk.data() + 1;
            // Bytes in front of what the line holds already.
            if (!line.tooLong) {
                if (line.text.size() + (end - start) > MAX_RECORD_LINE) {
                    line.tooLong = true;
                    line.text.clear();
                } else {
                    line.text.insert(0, chunk.data() + start, end - start);
                }
            }
            if (found == nullptr)
                break;
            if (!visit(line))
                return true;
            line = HistoryLine();
            end = start - 1;
        }
    }
    if (any)
        visit(line);
    return true;
}

bool ParseRecord(const HistoryLine& line, json* record) {
    if (line.tooLong || !Shallow(line.text))
        return false;
    *record = json::parse(line.text, nullptr, false);
    return !record->is_discarded() && record->is_object() && record->contains("time");
}
