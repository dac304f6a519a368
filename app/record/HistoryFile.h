// The one append to the history file, in async-signal-safe calls only so
// that the signal path makes it too: the file opened without following a
// link or blocking, used only when it is a writable regular file, locked,
// its last line hashed into the new record's `prev`, the record written in
// one write; and the SHA-256 in hex.
#ifndef KV_APP_HISTORYFILE_H
#define KV_APP_HISTORYFILE_H

#include <cstddef>
#include <string>

const size_t SHA256_HEX_LENGTH = 64;

enum HistoryFault {
    HISTORY_WRITTEN = 0,
    HISTORY_OPEN_FAILED,  // errno in `error`
    HISTORY_LINK,         // a symbolic link at the path
    HISTORY_NOT_REGULAR,  // a FIFO, device, folder or socket (`mode`)
    HISTORY_READ_ONLY,    // no write bit for anyone
    HISTORY_LOCK_TIMEOUT, // another tool held the lock all the wait
    HISTORY_WRITE_FAILED, // errno in `error`, 0 for a short write
};

struct AppendResult {
    HistoryFault fault = HISTORY_WRITTEN;
    int error = 0;
    unsigned mode = 0;
    // The SHA-256 of the record's line as written (as composed with a null
    // `prev` when the file could not be read).
    char recordHex[SHA256_HEX_LENGTH + 1] = "";
};

// A record's line with `"prev":null` in it; `prevAt` is the offset of that
// null, which the append replaces with the hash of the file's last line.
struct ChainedLine {
    const char* text;
    size_t length;
    size_t prevAt;
};

// The offset of the null of the line's `prev` key (the line as the record
// dumps it, `prev` being null), or npos.
size_t PrevValueOffset(const std::string& line);
// The buffer AppendChained needs for a line of `length` bytes.
inline size_t ChainedCapacity(size_t length) {
    return length + SHA256_HEX_LENGTH + 4;
}

// Appends the line to the history file at `path`. The exclusive flock is
// held from reading the last line to the end of the write; it is waited for
// at most `lockWaitMs`, then the record is given up, or with `writeUnlocked`
// written without it. A file not ending in a newline gets one first.
// `buffer` holds ChainedCapacity(line.length) bytes.
AppendResult AppendChained(const char* path, const ChainedLine& line, char* buffer, int lockWaitMs,
                           bool writeUnlocked);
// Why an append failed, in words for a warning.
std::string HistoryFaultText(const AppendResult& result);

// The SHA-256 of `length` bytes in lower-case hex, terminated (65 bytes).
void Sha256Hex(const void* data, size_t length, char* hex);

#endif
