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
        keys = {{"file", nullptr},    {"file_hex", nullptr}, {"bytes", nullptr},
                {"sha256", nullptr},  {"road", nullptr},     {"result", nullptr},
                {"seconds", nullptr}, {"step", nullptr},     {"address", nullptr}};
        if (device == "cdu")
            keys["model"] = nullptr;
    }
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
    if (TextOf(outcome) != nullptr)
        result.message = TextOf(outcome);
    else if (outcome.device == DEVICE_RPU)
        result.message =
            VersionLine(RPU_VERSION_FORMAT, outcome.version.c_str(), outcome.crc.c_str());
    else
        result.message = VersionLine(CDU_VERSION_FORMAT, outcome.version.c_str(), cassette);
    json& v = result.values;
    std::string action = outcome.action;
    v = ActionValueKeys(outcome.deviceName, action);
    if (action == "download") {
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

int Download(const std::string& device, const ActionRequest& request, bool asJson) {
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

} // namespace

int RunDeviceCommand(const std::string& device, const std::string& action, const CliRequest& cli) {
    ActionRequest request = CoreRequest(device, action, cli);
    if (action == "download")
        return Download(device, request, cli.json);
    if (device == "rpu")
        return Finish(RpuVersion(request), cli.json);
    return Finish(action == "version" ? CduVersion(request) : CduCassette(request), cli.json);
}
