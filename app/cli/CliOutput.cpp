// The result of a command-line action: one JSON line or short text lines on
// standard output, what to check on the device on standard error.
#include <cstdio>
#include <string>

#include "app/cli/CliResult.h"
#include "app/text/DeviceText.h"
#include "app/text/TextLines.h"

using nlohmann::json;

namespace {

// The values worth a line of their own in the text result.
std::string DetailLine(const CliResult& result) {
    const json& v = result.values;
    if (result.action == "download" && v["bytes"].is_number()) {
        std::string line = v["file"].get<std::string>() + ": " + v["bytes"].dump() + " bytes";
        if (v.contains("model") && v["model"].is_string())
            line += ", model " + v["model"].get<std::string>();
        if (v["road"].is_string())
            line += ", " + v["road"].get<std::string>() + " road";
        if (v["seconds"].is_number())
            line += ", " + v["seconds"].dump() + " s";
        return line;
    }
    if (v.contains("baud") && v["baud"].is_number())
        return result.port + " answered at " + v["baud"].dump() + " baud";
    return "";
}

} // namespace

bool PrintJsonLine(const json& value) {
    // Bytes that are not UTF-8 (a device's version text) are replaced rather
    // than refused, so that the line is always written.
    std::string line = value.dump(-1, ' ', false, json::error_handler_t::replace);
    return puts(line.c_str()) >= 0 && fflush(stdout) == 0;
}

int PrintResult(const CliResult& result, bool asJson) {
    bool written;
    if (asJson) {
        json out = {{"device", result.device}, {"action", result.action},
                    {"port", result.port},     {"ok", result.exit == EXIT_OK},
                    {"exit", result.exit},     {"message", JoinedMessage(result.message)}};
        out.update(result.values);
        out["error"] = result.error;
        written = PrintJsonLine(out);
    } else {
        written = true;
        std::string detail = DetailLine(result);
        if (!detail.empty())
            written = puts(detail.c_str()) >= 0;
        // The message may carry a device's text (a version line); JSON keeps
        // it with its escapes, a terminal gets it made safe.
        for (const std::string& line : TrimmedLines(result.message))
            written = puts(PrintableText(line).c_str()) >= 0 && written;
        written = fflush(stdout) == 0 && written;
    }
    if (!result.hint.empty())
        fprintf(stderr, "%s\n", result.hint.c_str());
    // A good result that cannot be told is not a success.
    if (!written && result.exit == EXIT_OK)
        return EXIT_OTHER;
    return result.exit;
}
