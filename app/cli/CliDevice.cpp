// The device commands of the command line: the request for the action
// core, the lines around a download, and the outcome as a result. The
// libraries' console output is kept off standard output.
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "app/action/Action.h"
#include "app/cli/CliResult.h"
#include "app/text/FileKeys.h"
#include "app/text/MenuTexts.h"
#include "app/console/ConsoleRenderer.h"
#include "app/console/ReasonLine.h"
#include "serial/SafeText.h"
#include "serial/SerialLine.h"

using nlohmann::json;

namespace {

// While an action runs, the library's console output (open lines, the
// progress line redrawn in place, error lines) goes to standard error when a
// person watches it there, and is dropped otherwise, so that standard output
// carries nothing but the command's own result.
ConsoleTarget ActionConsole(const CliRequest& request) {
    return !request.quiet && isatty(STDERR_FILENO) == 1 ? CONSOLE_STDERR : CONSOLE_NOWHERE;
}

ActionRequest CoreRequest(const std::string& device, const std::string& action,
                          const CliRequest& cli) {
    ActionRequest request;
    request.via = "cli";
    request.port = cli.port;
    request.file = cli.file;
    request.cassette = cli.cassette;
    request.force = cli.force;
    request.wait = cli.wait;
    request.skipIdentical = cli.skipIdentical;
    request.packetSize = cli.packetSize;
    request.console = ActionConsole(cli);
    if (cli.json) {
        std::string port =
            !cli.port.empty() ? cli.port : DefaultPort(device == "rpu" ? DEVICE_RPU : DEVICE_CDU);
        std::string file = cli.file;
        request.resultLine = [device, action, port, file](int sig, const char* error,
                                                          const json& time) {
            return SignalResultLine(device, action, port, file, sig, error, time);
        };
    }
    return request;
}

// A version line as the menus print it, without their newline.
std::string VersionLine(const char* format, ...) {
    char line[128];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

json OrNull(bool known, const json& value) {
    return known ? value : json();
}

const char* const SKIPPED_TEXT = "The unit already holds this firmware. Nothing was written.";

// A probe's answers as three lines, for example
//   /dev/ttyUSB0: ROM bootloader 3.1 (0x79 dialect), product ID 0x0413
//   commands: 00 01 02 11 21 31 43 63 73 82 92
//   flash: readable (read-out protection off)
std::string ProbeText(const ActionOutcome& outcome) {
    const json& x = outcome.extra;
    std::string pid = x["product_id"].is_string() ? "0x" + x["product_id"].get<std::string>()
                                                  : std::string("unknown");
    std::string text =
        TerminalSafeName(outcome.port) + ": ROM bootloader " + x["bootloader"].get<std::string>() +
        " (" + outcome.dialect.get<std::string>() + " dialect), product ID " + pid + "\ncommands:";
    if (outcome.commands.is_array()) {
        for (const json& code : outcome.commands)
            text += " " + code.get<std::string>();
    } else {
        text += " none listed in the 0x75 dialect";
    }
    const json& p = x["read_protected"];
    return text + "\nflash: " +
           (p.is_null()     ? "unknown (the Read got no answer)"
            : p.get<bool>() ? "read-protected (read-out protection on)"
                            : "readable (read-out protection off)");
}

// The texts of a question to the ROM bootloader that got its answer; the
// port and file as a terminal may show them (JSON keeps them exact in its keys).
std::string InspectText(const ActionOutcome& outcome) {
    switch (outcome.result) {
    case AR_PROBED:
        return ProbeText(outcome);
    case AR_FLASH_EQUAL:
        return TerminalSafeName(outcome.port) + ": the flash holds " +
               TerminalSafeName(outcome.file) + " (" + outcome.bytes.dump() + " bytes)";
    case AR_FLASH_DIFFERS:
        return TerminalSafeName(outcome.port) + ": differs from the file at 0x" +
               outcome.extra["first_difference"].get<std::string>();
    case AR_READ_PROTECTED:
        return TerminalSafeName(outcome.port) +
               ": the flash is read-protected. Nothing was read back.";
    default:
        return " Nothing was read back.";
    }
}

} // namespace

json ActionValueKeys(const std::string& device, const std::string& action) {
    json keys = json::object();
    if (action == "version")
        keys = {{"version", nullptr}};
    if (device == "rpu" && action == "version")
        keys.update({{"crc", nullptr}, {"baud", nullptr}});
    if (device == "cdu" && (action == "version" || action == "cassette"))
        keys["cassette"] = nullptr;
    if (action == "download") {
        keys = {{"file", nullptr},         {"file_hex", nullptr},    {"bytes", nullptr},
                {"sha256", nullptr},       {"road", nullptr},        {"result", nullptr},
                {"seconds", nullptr},      {"step", nullptr},        {"address", nullptr},
                {"skipped", false},        {"unprotected", nullptr}, {"approved", nullptr},
                {"policy_serial", nullptr}};
        if (device == "cdu")
            keys["model"] = nullptr;
    }
    if (action == "probe")
        keys = {{"dialect", nullptr},
                {"commands", nullptr},
                {"bootloader", nullptr},
                {"product_id", nullptr},
                {"read_protected", nullptr}};
    if (action == "verify")
        keys = {{"file", nullptr},
                {"file_hex", nullptr},
                {"bytes", nullptr},
                {"sha256", nullptr},
                {"first_difference", nullptr}};
    return keys;
}

namespace {

// The outcome as the command line tells it: the action's keys, each null
// until known.
CliResult ResultOf(const ActionOutcome& outcome) {
    CliResult result;
    result.device = outcome.deviceName;
    result.action = outcome.action;
    result.port = outcome.port;
    result.exit = outcome.exit;
    result.error = outcome.error;
    if (const char* hint = HintOf(outcome))
        result.hint = hint;
    bool answered = !outcome.version.empty() || outcome.result == AR_ANSWERED;
    char cassette = outcome.version.size() > 4 ? outcome.version[4] : '\0';
    std::string action = outcome.action;
    bool inspect = action == "probe" || action == "verify";
    if (inspect && TextOf(outcome) == nullptr)
        result.message = InspectText(outcome);
    else if (outcome.extra.value("skipped", false))
        result.message = SKIPPED_TEXT;
    else if (TextOf(outcome) != nullptr)
        result.message = TextOf(outcome);
    else if (outcome.device == DEVICE_RPU)
        result.message =
            VersionLine(RPU_VERSION_FORMAT, outcome.version.c_str(), outcome.crc.c_str());
    else
        result.message = VersionLine(CDU_VERSION_FORMAT, outcome.version.c_str(), cassette);
    json& v = result.values;
    v = ActionValueKeys(outcome.deviceName, action);
    if (action == "probe") {
        v.update({{"dialect", outcome.dialect}, {"commands", outcome.commands}});
    } else if (action == "verify") {
        SetFileKeys(&v, outcome.file);
        v.update(
            {{"bytes", outcome.bytes}, {"sha256", OrNull(outcome.fileRead, outcome.facts.sha256)}});
    } else if (action == "download") {
        bool ran = !outcome.code.is_null();
        SetFileKeys(&v, outcome.file);
        v.update({{"bytes", outcome.bytes},
                  {"sha256", OrNull(outcome.fileRead, outcome.facts.sha256)},
                  {"road", outcome.road != nullptr ? json(outcome.road) : json()},
                  {"result", outcome.code},
                  {"seconds", OrNull(ran, outcome.seconds)},
                  {"step", outcome.step},
                  {"address", outcome.address}});
        if (outcome.device == DEVICE_CDU)
            v["model"] = OrNull(outcome.road != nullptr, outcome.facts.model);
    } else if (outcome.device == DEVICE_RPU) {
        v.update({{"version", OrNull(answered, outcome.version)},
                  {"crc", OrNull(answered, outcome.crc)},
                  {"baud", OrNull(answered, outcome.baud)}});
    } else if (action == "version") {
        v.update({{"version", OrNull(answered, outcome.version)}, {"cassette", outcome.cassette}});
    } else {
        v["cassette"] = outcome.cassette;
    }
    v.update(outcome.extra);
    v["time"] = outcome.record["time"];
    v["kvfwdn"] = KVFWDN_VERSION;
    return result;
}

// Every device command ends here: why a port could not be opened goes to
// standard error, the result is printed and its prepared line dropped.
int Finish(const ActionOutcome& outcome, bool asJson) {
    ReportPortFailure();
    int exit = PrintResult(ResultOf(outcome), asJson);
    ResultPrinted();
    return exit;
}

int Download(const std::string& device, const ActionRequest& request, bool asJson,
             bool roadOptions) {
    DownloadPlan plan;
    const ActionOutcome& outcome = plan.outcome;
    bool rpu = device == "rpu";
    bool prepared = rpu ? PrepareRpuDownload(request, &plan) : PrepareCduDownload(request, &plan);
    if (request.force && !outcome.extra.value("approved", json()).is_null())
        fputs("kvfwdn: --force does not pass the approved list\n", stderr);
    if (!prepared) {
        if (!outcome.refusal.empty())
            PrintReasonLine(outcome.refusalSubject.c_str(), outcome.refusal.c_str());
        return Finish(outcome, asJson);
    }
    if (rpu && outcome.fileRead && outcome.facts.device != FW_FOR_RPU)
        fprintf(stderr, "kvfwdn: %s: not printer firmware (%s); downloading it anyway (--force)\n",
                TerminalSafeName(outcome.file).c_str(), outcome.facts.reason.c_str());
    if (outcome.fileRead)
        PrintIdentityLine(outcome.file.c_str(), outcome.facts, !rpu);
    if (!rpu && outcome.facts.type != 0 && roadOptions)
        fprintf(stderr,
                "kvfwdn: %s: --packet-size, --skip-identical and --wait do not apply on the "
                "loader road; downloading as usual\n",
                outcome.file.c_str());
    if (!rpu) {
        ConsoleTargetScope console(request.console);
        ConsolePrintf(" This file is the firmware file for %s.\n", outcome.facts.model.c_str());
    }
    const ActionOutcome& ran = RunDownload(&plan);
    if (ran.ok) {
        ConsoleTargetScope console(request.console);
        PrintDownloadClosingLine();
    }
    return Finish(ran, asJson);
}

// probe and verify; the reasons of a refused file or a protected flash go
// to standard error.
int Inspect(const std::string& device, const std::string& action, const ActionRequest& request,
            bool asJson) {
    ActionDevice which = device == "rpu" ? DEVICE_RPU : DEVICE_CDU;
    if (action == "probe")
        return Finish(RomProbe(which, request), asJson);
    ActionOutcome outcome = RomVerify(which, request);
    if (!outcome.refusal.empty())
        PrintReasonLine(outcome.result == AR_READ_PROTECTED ? outcome.port.c_str()
                                                            : outcome.file.c_str(),
                        outcome.refusal.c_str());
    return Finish(outcome, asJson);
}

} // namespace

int RunDeviceCommand(const std::string& device, const std::string& action, const CliRequest& cli) {
    ActionRequest request = CoreRequest(device, action, cli);
    if (action == "download")
        return Download(device, request, cli.json, cli.roadOptions);
    if (action == "probe" || action == "verify")
        return Inspect(device, action, request, cli.json);
    if (device == "rpu")
        return Finish(RpuVersion(request), cli.json);
    return Finish(action == "version" ? CduVersion(request) : CduCassette(request), cli.json);
}
