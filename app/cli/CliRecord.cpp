// The command line's side of the action record: each device command is
// recorded, its JSON result carries the record's time and tool version, and
// with --json a signal or a usage error still leaves one JSON line.
#include <cstdio>
#include <cstring>

#include "app/cli/CliResult.h"
#include "app/record/History.h"
#include "app/record/Prepared.h"
#include "cdu/CduFwDn.h"
#include "rpu/RpuFwDn.h"

using nlohmann::json;

namespace {

std::string DefaultPort(const std::string& device) {
    if (device == "rpu")
        return CKvRPUFwDn().szPortName;
    return CKvCDUFwDn().szPortName;
}

// The keys every JSON result starts from; `port` null when unknown.
json BaseLine(const json& device, const json& action, const json& port, int exitStatus,
              const std::string& message) {
    return {{"device", device}, {"action", action},     {"port", port},
            {"ok", false},      {"exit", exitStatus},   {"message", message},
            {"error", message}, {"time", UtcTimeNow()}, {"kvfwdn", KVFWDN_VERSION}};
}

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void CopyOutcome(ActionRecord* record, const CliResult& result) {
    json& keys = record->keys;
    keys.update(result.record);
    keys["port"] = result.port;
    for (const char* key : {"file", "bytes", "sha256", "file_version", "model", "road", "version",
                            "cassette", "result", "seconds", "error", "bootloader", "product_id",
                            "read_protected", "first_difference", "skipped", "unprotected"})
        if (result.values.contains(key))
            keys[key] = result.values[key];
    if (!result.code.is_null())
        keys["result"] = result.code;
    keys["exit"] = result.exit;
    keys["ok"] = result.exit == EXIT_OK;
    if (!result.error.is_null())
        keys["error"] = result.error;
    if (result.exit != EXIT_OK && keys["error"].is_null())
        keys["error"] = JoinedMessage(result.message);
}

} // namespace

CliResult RunRecorded(const std::string& device, const std::string& action,
                      const CliRequest& request,
                      const std::function<CliResult(const CliRequest&)>& run) {
    std::string port = request.port.empty() ? DefaultPort(device) : request.port;
    ActionRecord record = BeginRecord("cli", device.c_str(), action.c_str(), port);
    if (action == "download" || action == "verify")
        SetRecordFile(&record, request.file);
    if (action == "cassette")
        record.keys["cassette"] = request.cassette;
    ArmRecord(&record);
    if (request.json) {
        json time = record.keys["time"];
        PrepareResultLines([&](int sig, const char* error) {
            json line = BaseLine(device, action, port, 128 + sig, error);
            line["time"] = time;
            if (action == "download" || action == "verify")
                line["file"] = request.file;
            return Dump(line);
        });
    }
    CliResult result = run(request);
    TakeError(&result);
    CopyOutcome(&record, result);
    FinishRecord(&record);
    result.values["time"] = record.keys["time"];
    result.values["kvfwdn"] = KVFWDN_VERSION;
    return result;
}

void PrintUsageErrorLine(int argc, char** argv, const std::string& message) {
    json device, action;
    if (argc > 1 && (strcmp(argv[1], "rpu") == 0 || strcmp(argv[1], "cdu") == 0)) {
        device = argv[1];
        if (argc > 2 && argv[2][0] != '-')
            action = argv[2];
    } else if (argc > 1 && argv[1][0] != '-') {
        action = argv[1];
    }
    PrintJsonLine(BaseLine(device, action, nullptr, EXIT_USAGE, message));
}

bool JsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}
