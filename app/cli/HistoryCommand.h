// `kvfwdn history`: the last records as text, JSON or CSV, filtered by date
// and device, and `--verify`, the check of the hash chain
// (app/cli/HistoryCommand.cpp, app/cli/HistoryVerify.cpp).
#ifndef KV_APP_HISTORYCOMMAND_H
#define KV_APP_HISTORYCOMMAND_H

#include <string>

const int EXIT_CHAIN_BROKEN = 12; // `history --verify` found a break
const int MAX_HISTORY_COUNT = 100000;

struct HistoryQuery {
    int count = 20;
    bool countGiven = false; // else --csv exports every matching record
    bool json = false;
    bool csv = false;
    std::string since, until; // YYYY-MM-DD, UTC, inclusive; empty: open
    std::string device;       // "rpu", "cdu" or empty
};

// Whether `text` is a date as YYYY-MM-DD that exists.
bool ValidDate(const std::string& text);
// Prints the records asked for; returns the exit status.
int ShowHistory(const HistoryQuery& query);
// Checks every line of the history; returns 0, EXIT_CHAIN_BROKEN or
// EXIT_OTHER when the file cannot be read.
int VerifyHistory(bool json);
// The history file for `kvfwdn history`: its descriptor, or -1 when there is
// none to read (the reason told on standard error; `failed` when that is a
// fault rather than an empty record).
int OpenHistoryToShow(bool* failed);

#endif
