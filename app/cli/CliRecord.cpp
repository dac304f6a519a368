// The command line's JSON lines besides a result: the line a signal leaves
// with --json and the line of a usage error.
#include <cstdio>
#include <cstring>

#include "app/cli/CliResult.h"
#include "app/record/History.h"
#include "app/record/Prepared.h"
#include "app/text/FileKeys.h"

using nlohmann::json;

namespace {

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

} // namespace

std::string SignalResultLine(const std::string& device, const std::string& action,
                             const std::string& port, const std::string& file, int sig,
                             const char* error, const json& time) {
    json line = BaseLine(device, action, port, 128 + sig, error);
    line.update(ActionValueKeys(device, action));
    line["time"] = time;
    if (action == "download" || action == "verify")
        SetFileKeys(&line, file);
    line["ticket"] = RecordTicket();
    return Dump(line);
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
