// CliResult.h -- RunDeviceCommand, ShowFileInfo, ListPorts, PrintResult,
// PrintJsonLine, SignalResultLine, JsonAsked, PrintUsageErrorLine.
//
// What a command-line action was asked to do and how its outcome is told:
// CliRequest, CliResult, the device commands, the result printer, the
// usage-error line, `info`, `ports`.
#ifndef KV_APP_CLIRESULT_H
#define KV_APP_CLIRESULT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/action/Outcome.h"

struct CliRequest {
    std::string port; // empty: the device's built-in port
    std::string file; // download: the firmware file
    int cassette = 0; // cassette: the number to set
    bool json = false;
    bool quiet = false; // no progress bars
    bool force = false; // printer download: skip the file check
    std::string trace;  // --trace: the wire trace file (empty: $KVFWDN_TRACE or none)
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
    nlohmann::json error; // the first reason of a failure (null on success)
    nlohmann::json values = nlohmann::json::object(); // the action's own keys
};

// Runs the device command `device` `action` through the action core and
// prints its result; returns the exit status (app/cli/CliDevice.cpp). The
// request is already checked.
int RunDeviceCommand(const std::string& device, const std::string& action,
                     const CliRequest& request);

// What a firmware file is, without opening any port; returns the exit
// status (app/cli/CliInfo.cpp).
int ShowFileInfo(const std::string& path, bool json);

// Prints the result on standard output (one JSON line or short text lines)
// and the hint on standard error; returns the exit status, EXIT_OTHER when
// standard output cannot take a good result (app/cli/CliOutput.cpp).
int PrintResult(const CliResult& result, bool json);
// Whether everything written to standard output so far has gone out.
bool StandardOutputWritten();
// Writes one JSON value as one line, dropping the prepared signal line with
// it; false when standard output fails.
bool PrintJsonLine(const nlohmann::json& value);

// The keys of a device action's own in every JSON result of it, all null
// (app/cli/CliDevice.cpp): the same on every path, a signal's and a usage
// error's included.
nlohmann::json ActionValueKeys(const std::string& device, const std::string& action);

// The JSON line of a result that a signal cut short, with --json, with the
// action's keys (app/cli/CliRecord.cpp).
std::string SignalResultLine(const std::string& device, const std::string& action,
                             const std::string& port, const std::string& file, int sig,
                             const char* error, const nlohmann::json& time);
// With --json, prepares the line a signal leaves: `keys` (those of the
// command's result) with `ok` false, `exit` 128 + the signal and `error`
// (and `message`) saying which signal; PrintJsonLine drops it.
void PrepareSignalLine(const nlohmann::json& keys);
// Whether --json is among the arguments (any spelling the parser takes as
// true), and its one line for a usage error.
bool JsonAsked(int argc, char** argv);
void PrintUsageErrorLine(int argc, char** argv, const std::string& message);

// kvfwdn policy, policy check FILE..., policy new --serial N FILE...;
// each returns the exit status (app/cli/PolicyCommand.cpp).
int ShowPolicy(bool json);
int CheckPolicyFiles(const std::vector<std::string>& files, bool json);
int NewPolicyList(long long serial, const std::vector<std::string>& files, bool json);

// Lists the serial ports of this machine; returns the exit status
// (app/cli/CliPorts.cpp).
int ListPorts(bool json);

#endif
