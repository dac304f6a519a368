// Action.h -- RpuVersion, CduVersion, CduCassette, Prepare{Rpu,Cdu}Download,
// RunDownload, CancelDownload, ResultPrinted, DefaultPort, CassetteOf,
// RowOf/TextOf/HintOf.
//
// The action core: each device action once, for the menus and the command
// line alike. An action takes a plain request, opens the record, touches the
// device, closes the record and returns a plain outcome that the front end
// renders; it prints nothing itself (the libraries' lines go to the
// request's console target).
//   RpuVersion, CduVersion, CduCassette      one call each
//   PrepareRpuDownload / PrepareCduDownload  the file read and checked once,
//   then RunDownload or CancelDownload       after the front end's question
//   ResultPrinted                            drops the prepared result line
//   RomProbe, RomVerify                      questions to the ROM bootloader
// A new action: one function here (and in Action.cpp), its rendering in
// app/menu and app/cli, its rows in app/action/Outcome.h when it ends in a
// new way.
#ifndef KV_APP_ACTION_ACTION_H
#define KV_APP_ACTION_ACTION_H

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "app/action/Outcome.h"
#include "app/file/FirmwareCheck.h"
#include "app/record/History.h"
#include "app/console/ConsoleRenderer.h"

struct ActionRequest {
    const char* via = "menu"; // "menu" or "cli", for the record
    std::string port;         // empty: the device's default port (already fitted to the field)
    std::string file;         // download: the firmware file as typed
    int cassette = 0;         // cassette: the number to set (1 to 6)
    bool force = false;       // printer download: a file that is not printer firmware all the same
    nlohmann::json ticket = RecordTicket(); // the change ticket, null: none
    // The bootloader road (download, probe, verify): start again for up to
    // `wait` seconds, write nothing when the flash holds the file, packets
    // of 128 or 256 bytes.
    int wait = 0;
    bool skipIdentical = false;
    int packetSize = 128;
    // Where the libraries' lines (open lines, bars, error lines) go while the
    // device is touched.
    ConsoleTarget console = CONSOLE_STDOUT;
    // With --json: the result line a signal ending the action leaves, from
    // the signal, its error text and the record's time. It stays prepared
    // until ResultPrinted.
    std::function<std::string(int sig, const char* error, const nlohmann::json& time)> resultLine;
};

struct ActionOutcome {
    ActionDevice device = DEVICE_RPU;
    const char* deviceName = "rpu";
    const char* action = "";
    std::string port;
    ActionResult result = AR_UNKNOWN_FAIL;
    nlohmann::json code; // the link or download code; null when the device was not reached
    int exit = EXIT_OTHER;
    bool ok = false;
    // The device's answers.
    std::string version;     // printer: version; dispenser: version information (13 characters)
    std::string crc;         // printer: CRC text
    int baud = 0;            // printer: the rate the version query was answered at
    nlohmann::json cassette; // dispenser: the cassette number it reports (null: none)
    // The file's facts (downloads): `fileRead` when it was read whole.
    std::string file;
    bool fileRead = false;
    FirmwareFacts facts;
    nlohmann::json bytes; // the file's size, null when it is no regular file
    const char* road = nullptr;
    bool reachedDownloader = false; // the downloader was given the file (it keeps its path)
    std::string refusal;            // why the file was refused before the question, or ""
    std::string refusalSubject;     // what the refusal is about: the file, or the policy's
    // The first reason (the table's fixed error, else the first reason line,
    // else the first line of the menus' text, never a hint); null on success.
    nlohmann::json error;
    double seconds = 0;
    // Where a download that ran failed: the step's name and its address (0x
    // and 8 hex digits), null when none.
    nlohmann::json step, address;
    // The record as written (its `time` among the keys).
    nlohmann::json record;
    // Keys an action adds beyond these: they go into the record and the
    // command line's JSON result as they are.
    nlohmann::json extra = nlohmann::json::object();
    // probe: what the ROM bootloader is beyond the record's keys (its
    // version, product ID and protection are in `extra`).
    nlohmann::json dialect;  // "0x79" or "0x75"
    nlohmann::json commands; // two-digit hex codes; null in the 0x75 dialect
    // verify: the first address that differs.
    unsigned long firstDifference = 0;
};

// The row of the outcome and the texts for its device.
inline const OutcomeRow& RowOf(const ActionOutcome& outcome) {
    return OutcomeRowOf(outcome.result);
}
inline const char* TextOf(const ActionOutcome& outcome) {
    return RowOf(outcome).text[outcome.device];
}
inline const char* HintOf(const ActionOutcome& outcome) {
    return RowOf(outcome).hint[outcome.device];
}

// The device's port when the request names none.
const char* DefaultPort(ActionDevice device);

ActionOutcome RpuVersion(const ActionRequest& request);
ActionOutcome CduVersion(const ActionRequest& request);
// Sets the cassette number and reads it back.
ActionOutcome CduCassette(const ActionRequest& request);

// A download between its two steps.
struct DownloadPlan {
    ActionRequest request;
    ActionRecord record;
    FirmwareFile file;
    int loaded = 0; // the file read's download result
    ActionOutcome outcome;
};
// Begins the record, reads and checks the file. True when the download may
// go on (the front end asks, then calls RunDownload or CancelDownload);
// false when the file is refused: the outcome is final and recorded, its
// reason kept (the front end prints it with PrintReasonLine).
bool PrepareRpuDownload(const ActionRequest& request, DownloadPlan* plan);
bool PrepareCduDownload(const ActionRequest& request, DownloadPlan* plan);
const ActionOutcome& RunDownload(DownloadPlan* plan);
const ActionOutcome& CancelDownload(DownloadPlan* plan);

// What the ROM bootloader is (Get, Get ID, one 4-byte Read); writes
// nothing. AR_PROBED, AR_NO_RESPONSE or AR_PORT_OPEN_FAIL.
ActionOutcome RomProbe(ActionDevice device, const ActionRequest& request);
// Whether the flash holds the request's file: the file read and checked as
// for a download, then read back. AR_FLASH_EQUAL, AR_FLASH_DIFFERS,
// AR_READ_PROTECTED, AR_LOADER_ROAD, AR_NOT_FOR_DEVICE, the file's and the
// start's failures.
ActionOutcome RomVerify(ActionDevice device, const ActionRequest& request);

// The front end has printed the result: the prepared result line is dropped.
void ResultPrinted();

// The dispenser's cassette number in its version information (the fifth
// character), null when it is no digit.
nlohmann::json CassetteOf(const std::string& version);

#endif
