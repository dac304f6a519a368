// What a command-line action was asked to do and what came of it, shared by
// the parser, the device actions and the result printer.
#ifndef KV_APP_CLIRESULT_H
#define KV_APP_CLIRESULT_H

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

// Exit statuses besides a download's own result codes (0 to 6, negated).
const int EXIT_OK = 0;
const int EXIT_PORT_OPEN = 6;    // the port cannot be opened
const int EXIT_NO_ANSWER = 7;    // no answer to a version or cassette request
const int EXIT_NOT_FIRMWARE = 8; // the file is not firmware for this device
const int EXIT_OTHER = 9;        // any other failure
const int EXIT_PROTECTED = 11;   // verify: the flash is read-protected
const int EXIT_USAGE = 64;       // bad command line

// The exit status of a download's result code and of a version or cassette
// request's link code.
inline int DownloadExit(int code) {
    return (code <= 0 && code >= -6) ? -code : EXIT_OTHER;
}
inline int QueryExit(int code) {
    return code == 0 ? EXIT_OK : code == -4 ? EXIT_PORT_OPEN : EXIT_NO_ANSWER;
}

struct CliRequest {
    std::string port; // empty: the device's built-in port
    std::string file; // download: the firmware file
    int cassette = 0; // cassette: the number to set
    bool json = false;
    bool quiet = false; // no progress bars
    bool force = false; // printer download: skip the file check
    // The bootloader road (download, probe, verify):
    int wait = 0;               // --wait S: start again for up to S seconds
    bool skipIdentical = false; // download: nothing written when the flash holds the file
    int packetSize = 128;       // --packet-size 128|256
    bool roadOptions = false;   // any of the three was given
};

struct CliResult {
    std::string device; // "rpu" or "cdu"
    std::string action; // "version", "cassette" or "download"
    std::string port;
    int exit = EXIT_OTHER;
    std::string message;  // the menu's text for the outcome, as the menu prints it
    std::string hint;     // what to check on the device, for standard error
    nlohmann::json error; // the first reason line of a failure (null on success)
    nlohmann::json values = nlohmann::json::object(); // the action's own keys
    nlohmann::json record = nlohmann::json::object(); // keys for the history record only
    nlohmann::json code; // the link code of a version or cassette request
};

// Device actions (app/CliDevice.cpp). Each runs with the menus' downloader
// objects; the request is already checked.
CliResult RpuVersion(const CliRequest& request);
CliResult RpuDownload(const CliRequest& request);
CliResult CduVersion(const CliRequest& request);
CliResult CduCassette(const CliRequest& request);
CliResult CduDownload(const CliRequest& request);
// The bootloader road's questions (app/cli/CliInspect.cpp).
CliResult RpuProbe(const CliRequest& request);
CliResult CduProbe(const CliRequest& request);
CliResult RpuVerify(const CliRequest& request);
CliResult CduVerify(const CliRequest& request);

// Sets result->error from the first reason line the action printed, else
// from the first line of its hint (app/CliOutput.cpp).
void TakeError(CliResult* result);

// What a firmware file is, without opening any port; returns the exit
// status (app/CliInfo.cpp).
int ShowFileInfo(const std::string& path, bool json);

// Prints the result on standard output (one JSON line or short text lines)
// and the hint on standard error; returns the exit status, EXIT_OTHER when
// standard output cannot take a good result (app/CliOutput.cpp).
int PrintResult(const CliResult& result, bool json);
// A menu text as one line: its lines trimmed and joined by one blank.
std::string JoinedMessage(const std::string& text);
// Writes one JSON value as one line; false when standard output fails.
bool PrintJsonLine(const nlohmann::json& value);

// Runs a device command with its record: the history line, the signal's
// JSON line with --json, and `time` and `kvfwdn` in the result
// (app/CliRecord.cpp).
CliResult RunRecorded(const std::string& device, const std::string& action,
                      const CliRequest& request,
                      const std::function<CliResult(const CliRequest&)>& run);
// Whether --json is among the arguments, and its one line for a usage error.
bool JsonAsked(int argc, char** argv);
void PrintUsageErrorLine(int argc, char** argv, const std::string& message);

// Lists the serial ports of this machine; returns the exit status
// (app/CliPorts.cpp).
int ListPorts(bool json);

#endif
