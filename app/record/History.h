// A record of every device action, from the menus and the command line: one
// JSON line appended to the history file and one line in the system log when
// the action ends, and a line prepared beforehand that the signal handler
// writes when a signal ends the action.
#ifndef KV_APP_HISTORY_H
#define KV_APP_HISTORY_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

struct FirmwareFacts;

struct ActionRecord {
    // Every key of the record, null where it does not apply; each is set in
    // one place (see the setters below and the callers of FinishRecord).
    nlohmann::json keys;
    uint64_t startMs = 0; // set by ArmRecord, for `seconds`
};

// A record with time, tool version, host, user, via ("menu" or "cli"),
// device, action and port set and every other key null.
ActionRecord BeginRecord(const char* via, const char* device, const char* action,
                         const std::string& port);
// The size of the regular file `path`, null when it is none.
nlohmann::json RegularFileSize(const std::string& path);
// Milliseconds as the records and results give them: seconds, two decimals.
double RecordSeconds(uint64_t ms);
// The file's identity as read for the action: `bytes`, `sha256`,
// `file_version`, `model` and `road` (a dispenser file's own road).
nlohmann::json RecordFactsKeys(const FirmwareFacts& facts);
// Starts the clock of the action and prepares the record that a signal
// ending it leaves. Call right before the device is touched.
void ArmRecord(ActionRecord* record);
// Sets `seconds` (unless set), appends the record to the history file,
// sends its system-log line and drops the prepared one. A record that
// cannot be written gives one warning on standard error, nothing else.
void FinishRecord(ActionRecord* record);

// The history file: $KVFWDN_HISTORY, $XDG_STATE_HOME/kvfwdn/history.jsonl or
// ~/.local/state/kvfwdn/history.jsonl; empty when the record is off.
std::string HistoryPath();
// Now in UTC, ISO 8601 with milliseconds and Z.
std::string UtcTimeNow();

// `kvfwdn history`: the last `count` records, oldest first, as text lines or
// one JSON array; returns the exit status (app/HistoryCommand.cpp).
int ShowHistory(int count, bool json);

#endif
