// Outcome.h -- OutcomeRowOf, QueryResult, DownloadResult: the one outcome
// table.
//
// The outcome table: every way an action ends (ActionResult), with its exit
// status, the menus' text, the hint for standard error and the record's
// result and error. OutcomeRowOf, QueryResult and DownloadResult are the
// only decoders of the link and download codes in the front ends.
#ifndef KV_APP_ACTION_OUTCOME_H
#define KV_APP_ACTION_OUTCOME_H

// Exit statuses besides a download's own result codes (0 to 6, negated).
const int EXIT_OK = 0;
const int EXIT_PORT_OPEN = 6;     // the port cannot be opened
const int EXIT_NO_ANSWER = 7;     // no answer to a version or cassette request
const int EXIT_NOT_FIRMWARE = 8;  // the file is not firmware for this device
const int EXIT_OTHER = 9;         // any other failure
const int EXIT_NOT_APPROVED = 10; // not in the approved list, or the list cannot be trusted
const int EXIT_PROTECTED = 11;    // verify: the flash is read-protected
const int EXIT_USAGE = 64;        // bad command line
const int EXIT_NONE = -1;         // no exit status (a cancel in the menus)

enum ActionDevice { DEVICE_RPU, DEVICE_CDU };

enum ActionResult {
    // A version or cassette request.
    AR_ANSWERED,    // the device answered
    AR_PORT_CLOSED, // the port cannot be opened
    AR_NO_ANSWER,   // no proper answer (a failed read-back after a set too)
    AR_NOT_TAKEN,   // the dispenser reports another cassette number than the one set
    // A download that ran, by its result code (fwdn/DnResult.h).
    AR_DOWNLOADED,
    AR_FILE_NOT_FOUND,
    AR_FILE_READ_FAIL,
    AR_NO_RESPONSE,
    AR_DOWNLOAD_FAIL,
    AR_VERIFY_FAIL,
    AR_PORT_OPEN_FAIL,
    AR_UNKNOWN_FAIL, // a code no downloader returns
    // A download that did not run.
    AR_NOT_FOR_DEVICE, // the file is not firmware for this device: nothing written
    AR_FILE_MISSING,   // the dispenser file cannot be opened (refused before the question)
    AR_FILE_UNUSABLE,  // the dispenser file cannot be read whole
    AR_CANCELLED,      // the technician said no
    AR_NOT_APPROVED,   // not in the approved list (or it cannot be trusted): nothing written
    // A question to the ROM bootloader (probe, verify); one that got no
    // answer or found no port ends as a download would (AR_NO_RESPONSE,
    // AR_PORT_OPEN_FAIL).
    AR_PROBED,         // the bootloader told what it is
    AR_FLASH_EQUAL,    // the flash holds the file
    AR_FLASH_DIFFERS,  // the flash differs from the file (first_difference)
    AR_READ_PROTECTED, // the flash cannot be read back without erasing it
    AR_LOADER_ROAD,    // a loader-road file: nothing can be read back
    AR_COUNT
};

struct OutcomeRow {
    ActionResult result;
    int exit;            // the command line's exit status; EXIT_NONE for none
    const char* text[2]; // the menus' text, printer and dispenser; nullptr: the version line
    const char* hint[2]; // what to check on the device (standard error), or nullptr
    bool menuHint;       // the menus print the hint after their text
    bool ok;             // the record's `ok`
    bool code;           // the record's `result` is the action's code, else null
    const char* error;   // the record's `error` whatever was said on standard error, or nullptr
};

// The row of `result`.
const OutcomeRow& OutcomeRowOf(ActionResult result);
// The result of a version or cassette request's link code.
ActionResult QueryResult(int linkCode);
// The result of a download's result code.
ActionResult DownloadResult(int dnCode);

#endif
