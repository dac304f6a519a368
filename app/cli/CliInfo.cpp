// kvfwdn info: what a firmware file is (size, SHA-256, the device it is
// for), told from one read of it without opening any port.
#include <cstdio>

#include "app/cli/CliResult.h"
#include "fwdn/DnResult.h"
#include "app/file/FirmwareCheck.h"
#include "app/text/MenuTexts.h"
#include "app/text/TextLines.h"
#include "serial/ConsoleSink.h"

using nlohmann::json;

namespace {

std::string Hex8(unsigned long word) {
    char text[16];
    snprintf(text, sizeof text, "%08lX", word);
    return text;
}

// The second line of the text result: what the file is for.
std::string KindLine(const FirmwareFacts& facts) {
    if (facts.device == FW_FOR_RPU)
        return "printer firmware: stack 0x" + Hex8(facts.stack) + ", reset 0x" + Hex8(facts.reset);
    if (facts.device == FW_FOR_CDU)
        return "dispenser firmware: model " + facts.model + ", version " + facts.version + ", " +
               facts.road + " road";
    return "not firmware for either device: " + facts.reason;
}

json OrNull(const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
}

} // namespace

int ShowFileInfo(const std::string& path, bool asJson) {
    FirmwareFile file;
    int loaded = file.Load(path.c_str()); // the reader says why it failed
    const FirmwareFacts& facts = file.facts();
    int exit = -loaded;
    std::string message;
    if (loaded != DN_OK) {
        message = ResultMessageText(loaded);
    } else {
        message = KindLine(facts);
        if (facts.device == FW_FOR_NONE) {
            exit = EXIT_NOT_FIRMWARE;
            PrintReasonLine(path.c_str(), facts.reason.c_str());
        }
    }
    bool written;
    if (asJson) {
        bool words = loaded == DN_OK && facts.vectors && facts.device != FW_FOR_CDU;
        const char* device = FirmwareDeviceName(facts.device);
        json out = {{"action", "info"},
                    {"file", path},
                    {"bytes", loaded == DN_OK ? json(facts.bytes) : json(nullptr)},
                    {"sha256", loaded == DN_OK ? json(facts.sha256) : json(nullptr)},
                    {"device", device != nullptr ? json(device) : json(nullptr)},
                    {"model", OrNull(facts.model)},
                    {"version", OrNull(facts.version)},
                    {"road", facts.road != nullptr ? json(facts.road) : json(nullptr)},
                    {"stack", words ? json(Hex8(facts.stack)) : json(nullptr)},
                    {"reset", words ? json(Hex8(facts.reset)) : json(nullptr)},
                    {"ok", exit == EXIT_OK},
                    {"exit", exit},
                    {"message", JoinedMessage(message)},
                    {"error", nullptr}};
        const char* reason = FirstReasonLine();
        if (exit != EXIT_OK && reason != nullptr)
            out["error"] = reason;
        written = PrintJsonLine(out);
    } else {
        CliResult result;
        result.exit = exit;
        result.message = message;
        if (loaded == DN_OK)
            printf("%s: %lu bytes, sha256 %s\n", path.c_str(), facts.bytes, facts.sha256.c_str());
        return PrintResult(result, false);
    }
    return !written && exit == EXIT_OK ? EXIT_OTHER : exit;
}
