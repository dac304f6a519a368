// The command line's JSON lines besides a result: the line a signal leaves
// with --json and the line of a usage error.
#include <cstdio>
#include <cstring>

#include "app/cli/CliResult.h"
#include "app/record/History.h"

using nlohmann::json;

namespace {

// The keys every JSON result starts from; `port` null when unknown.
json BaseLine(const json& device, const json& action, const json& port, int exitStatus,
              const std::string& message) {
    return {{"device", device}, {"action", action},     {"port", port},
            {"ok", false},      {"exit", exitStatus},   {"message", message},
            {"error", message}, {"time", UtcTimeNow()}, {"kvfwdn", KVFWDN_VERSION}};
}

} // namespace

std::string SignalResultLine(const std::string& device, const std::string& action,
                             const std::string& port, const std::string& file, int sig,
                             const char* error, const json& time) {
    json line = BaseLine(device, action, port, 128 + sig, error);
    line["time"] = time;
    if (action == "download" || action == "verify")
        line["file"] = file;
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
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
