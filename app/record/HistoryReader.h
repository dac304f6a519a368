// Reading the history file: opened as the append opens it (no link
// followed, no wait, a regular file only), its lines read forward (with
// their hashes) or backward from the end in bounded memory, and a line taken
// as a record only when it is short and shallow enough to parse.
#ifndef KV_APP_HISTORYREADER_H
#define KV_APP_HISTORYREADER_H

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "app/record/HistoryFile.h"

const size_t MAX_RECORD_LINE = 64 * 1024;
const int MAX_RECORD_DEPTH = 64;

struct HistoryLine {
    std::string text;                     // its bytes without the newline; empty when too long
    bool tooLong = false;                 // longer than MAX_RECORD_LINE
    char hex[SHA256_HEX_LENGTH + 1] = ""; // its SHA-256, when asked for
};

// The history file open for reading; -1 with `why` set, `why` empty when
// there is no such file.
int OpenHistoryForReading(const std::string& path, std::string* why);
// Every line from the first, until `visit` returns false; false when a read
// fails.
bool ReadLinesForward(int fd, bool hash, const std::function<bool(const HistoryLine&)>& visit);
// Every line from the last back to the first, the same way (no hashes).
bool ReadLinesBackward(int fd, const std::function<bool(const HistoryLine&)>& visit);
// The line as a record: a JSON object with `time`; false for anything else,
// a line too long or nested too deep among them (checked before parsing).
bool ParseRecord(const HistoryLine& line, nlohmann::json* record);

#endif
