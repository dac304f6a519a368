// The command line's side of the action record: each device command is
// recorded, its JSON result carries the record's time and tool version, and
// with --json a signal or a usage error still leaves one JSON line.
#include <cstdio>
#include <cstring>

#include "app/cli/CliResult.h"
#include "app/record/History.h"
#include "app/record/Prepared.h"
#include "app/text/FileKeys.h"
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
    for (const char* key : {"file", "file_hex", "bytes", "sha256", "file_version", "model", "road",
                            "version", "cassette", "result", "seconds", "error"})
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
    // The signal's result line, with the keys of every result of the action:
    // ready before the record begins, then given the record's time.
    json time = UtcTimeNow();
    auto prepare = [&]() {
        if (!request.json)
            return;
        PrepareResultLines([&](int sig, const char* error) {
            json line = BaseLine(device, action, port, 128 + sig, error);
            line.update(ActionValueKeys(device, action));
            line["time"] = time;
            if (action == "download")
                SetFileKeys(&line, request.file);
            return Dump(line);
        });
    };
    prepare();
    ActionRecord record = BeginRecord("cli", device.c_str(), action.c_str(), port);
    if (action == "download")
        SetRecordFile(&record, request.file);
    if (action == "cassette")
        record.keys["cassette"] = request.cassette;
    ArmRecord(&record);
    time = record.keys["time"];
    prepare();
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
    json line = BaseLine(device, action, nullptr, EXIT_USAGE, message);
    if (device.is_string() && action.is_string())
        line.update(ActionValueKeys(device.get<std::string>(), action.get<std::string>()));
    PrintJsonLine(line);
}

void PrepareSignalLine(const json& keys) {
    PrepareResultLines([&keys](int sig, const char* error) {
        json line = keys;
        line["ok"] = false;
        line["exit"] = 128 + sig;
        line["error"] = error;
        if (line.contains("message"))
            line["message"] = error;
        return Dump(line);
    });
}

// --json, or --json=VALUE with any value but the ones the parser takes as
// false.
bool JsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--json") == 0)
            return true;
        if (strncmp(argv[i], "--json=", 7) != 0)
            continue;
        std::string value = argv[i] + 7;
        for (char& c : value)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        for (const char* no : {"false", "off", "no", "disable", "f", "n", "-", "0"})
            if (value == no)
                value.clear();
        if (!value.empty())
            return true;
    }
    return false;
}
