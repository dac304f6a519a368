// The device actions of the command line: the menus' downloader objects do
// the work; their console output is kept off standard output.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unistd.h>

#include "app/cli/CliResult.h"
#include "app/record/History.h"
#include "app/file/FirmwareCheck.h"
#include "app/text/MenuTexts.h"
#include "cdu/CduFwDn.h"
#include "fwdn/BootNotes.h"
#include "rpu/RpuFwDn.h"
#include "serial/ComPort.h"
#include "serial/ConsoleSink.h"

using nlohmann::json;

namespace {

const char* const SKIPPED_TEXT = "The unit already holds this firmware. Nothing was written.";

// While an action runs, the library's console output (open lines, progress
// bars with their carriage-return redraws, error lines) goes to standard
// error when a person watches it there, and is dropped otherwise, so that
// standard output carries nothing but the command's own result.
ConsoleTarget ActionConsole(const CliRequest& request) {
    return !request.quiet && isatty(STDERR_FILENO) == 1 ? CONSOLE_STDERR : CONSOLE_NOWHERE;
}

// The result of an action on the downloader `dn`, whose port the request's
// replaces when it names one (the parser has checked that it fits).
template <class Downloader>
CliResult Begin(Downloader* dn, const CliRequest& request, const char* device, const char* action) {
    if (!request.port.empty())
        snprintf(dn->szPortName, sizeof dn->szPortName, "%s", request.port.c_str());
    CliResult result;
    result.device = device;
    result.action = action;
    result.port = dn->szPortName;
    return result;
}

// A version or cassette request that failed: -4 is the port, anything else
// no proper answer.
void QueryFailed(CliResult* result, int code, const char* onlineHint) {
    result->code = code;
    result->exit = QueryExit(code);
    if (code == -4) {
        result->message = CANNOT_OPEN_PORT_TEXT;
    } else {
        result->message = NO_ANSWER_TEXT;
        result->hint = onlineHint;
    }
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

// The dispenser's version information: 13 characters, the fifth of which is
// the cassette number (null when it is not a digit).
json CassetteOf(const char* version) {
    if (version[4] >= '0' && version[4] <= '9')
        return version[4] - '0';
    return nullptr;
}

// What the bootloader road lifted: "read", "write", "both" or null.
json Unprotected(const BootOutcome& outcome) {
    if (outcome.liftedRead && outcome.liftedWrite)
        return "both";
    if (outcome.liftedRead)
        return "read";
    if (outcome.liftedWrite)
        return "write";
    return nullptr;
}

// Runs a download and fills in its result code, time and message.
void RunDownload(CliResult* result, const char* bootHint, const std::function<int()>& download) {
    uint64_t start = GetTickCount();
    ClearBootOutcome();
    int code = download();
    const BootOutcome& outcome = LastBootOutcome();
    result->values["result"] = code;
    result->values["seconds"] = RecordSeconds(GetTickCount() - start);
    result->values["skipped"] = code == DN_OK && outcome.skipped;
    result->values["unprotected"] = Unprotected(outcome);
    result->exit = DownloadExit(code);
    result->message = ResultMessageText(code);
    if (code == DN_OK && outcome.skipped)
        result->message = SKIPPED_TEXT;
    if (code == DN_NO_RESPONSE)
        result->hint = bootHint;
}

// A file that is not firmware for the device of the download: nothing is
// written, the reason goes to standard error.
CliResult NotForThisDevice(CliResult* result, const std::string& path, const char* message,
                           const std::string& reason) {
    result->exit = EXIT_NOT_FIRMWARE;
    result->message = message;
    PrintReasonLine(path.c_str(), reason.c_str());
    return *result;
}

template <class Downloader>
CliResult BeginDownload(Downloader* dn, const CliRequest& request, const char* device) {
    CliResult result = Begin(dn, request, device, "download");
    result.values = {{"file", request.file}, {"bytes", RegularFileSize(request.file)},
                     {"sha256", nullptr},    {"road", nullptr},
                     {"result", nullptr},    {"seconds", nullptr},
                     {"skipped", false},     {"unprotected", nullptr}};
    return result;
}

} // namespace

CliResult RpuVersion(const CliRequest& request) {
    CKvRPUFwDn dn;
    CliResult result = Begin(&dn, request, "rpu", "version");
    result.values = {{"version", nullptr}, {"crc", nullptr}, {"baud", nullptr}};
    char version[50] = {0};
    char crc[10] = {0};
    int code;
    {
        ConsoleTargetScope console(ActionConsole(request));
        code = dn.GetVersionInfo(version, crc);
    }
    if (code != 0) {
        QueryFailed(&result, code, RPU_ONLINE_HINT);
        return result;
    }
    result.exit = EXIT_OK;
    result.code = 0;
    result.message = VersionLine(RPU_VERSION_FORMAT, version, crc);
    result.values = {{"version", version}, {"crc", crc}, {"baud", dn.iBaudRate}};
    return result;
}

CliResult RpuDownload(const CliRequest& request) {
    CKvRPUFwDn dn;
    CliResult result = BeginDownload(&dn, request, "rpu");
    result.values["road"] = "bootloader";
    std::string path = request.file;
    FirmwareFile file;
    int loaded = file.Load(path.c_str());
    const FirmwareFacts& facts = file.facts();
    if (loaded == DN_OK) {
        result.values["sha256"] = facts.sha256;
        result.record = RecordFactsKeys(facts);
        if (facts.device != FW_FOR_RPU && !request.force)
            return NotForThisDevice(&result, path, NOT_PRINTER_FIRMWARE_TEXT, facts.reason);
        if (facts.device != FW_FOR_RPU)
            fprintf(stderr,
                    "kvfwdn: %s: not printer firmware (%s); downloading it anyway (--force)\n",
                    path.c_str(), facts.reason.c_str());
        PrintIdentityLine(path.c_str(), facts, false);
    }
    ConsoleTargetScope console(ActionConsole(request));
    RunDownload(&result, RPU_BOOT_HINT, [&] {
        if (loaded != DN_OK)
            return loaded;
        return dn.FirmwareDownloadImage(&path[0], file.image(), file.size());
    });
    return result;
}

CliResult CduVersion(const CliRequest& request) {
    CKvCDUFwDn dn;
    CliResult result = Begin(&dn, request, "cdu", "version");
    result.values = {{"version", nullptr}, {"cassette", nullptr}};
    char version[50] = {0};
    int code;
    {
        ConsoleTargetScope console(ActionConsole(request));
        code = dn.GetVersionInfo(version);
    }
    if (code != 0) {
        QueryFailed(&result, code, CDU_ONLINE_HINT);
        return result;
    }
    std::string text(version, strnlen(version, 13));
    result.exit = EXIT_OK;
    result.code = 0;
    result.message = VersionLine(CDU_VERSION_FORMAT, text.c_str(), version[4]);
    result.values = {{"version", text}, {"cassette", CassetteOf(version)}};
    return result;
}

CliResult CduCassette(const CliRequest& request) {
    CKvCDUFwDn dn;
    CliResult result = Begin(&dn, request, "cdu", "cassette");
    result.values = {{"cassette", nullptr}};
    char version[50] = {0};
    int code;
    int readBack = -1;
    {
        ConsoleTargetScope console(ActionConsole(request));
        code = dn.SetInformation(request.cassette);
        if (code == 0)
            readBack = dn.GetVersionInfo(version);
    }
    if (code != 0 || readBack != 0) {
        // As in the menu, a failed read-back after a good set is reported
        // as no answer, whatever its cause.
        QueryFailed(&result, code != 0 ? code : -1, CDU_ONLINE_HINT);
        return result;
    }
    result.code = 0;
    result.message = VersionLine(CDU_VERSION_FORMAT,
                                 std::string(version, strnlen(version, 13)).c_str(), version[4]);
    result.values["cassette"] = CassetteOf(version);
    // A dispenser that reports another number than the one set has not
    // taken the setting.
    bool taken = result.values["cassette"] == json(request.cassette);
    result.exit = taken ? EXIT_OK : EXIT_OTHER;
    if (!taken)
        result.hint = " The dispenser reports another cassette number than the one set.";
    return result;
}

CliResult CduDownload(const CliRequest& request) {
    CKvCDUFwDn dn;
    CliResult result = BeginDownload(&dn, request, "cdu");
    result.values["model"] = nullptr;
    std::string path = request.file;
    FirmwareFile file;
    int loaded = file.Load(path.c_str());
    if (loaded != DN_OK) {
        // Missing 1, unreadable 2, as for the printer; nothing was classified.
        result.exit = -loaded;
        result.message = NOT_FIRMWARE_TEXT;
        return result;
    }
    const FirmwareFacts& facts = file.facts();
    result.values["sha256"] = facts.sha256;
    result.record = RecordFactsKeys(facts);
    if (facts.device != FW_FOR_CDU)
        return NotForThisDevice(&result, path, NOT_FIRMWARE_TEXT, NotDispenserReason(facts));
    result.values["model"] = facts.model;
    result.values["road"] = facts.road;
    PrintIdentityLine(path.c_str(), facts, true);
    if (facts.type != 0 && request.roadOptions) {
        fprintf(stderr,
                "kvfwdn: %s: --packet-size, --skip-identical and --wait do not apply on the "
                "loader road; downloading as usual\n",
                path.c_str());
        SetBootSettings(BootSettings());
    }
    ConsoleTargetScope console(ActionConsole(request));
    ConsolePrintf(" This file is the firmware file for %s.\n", facts.model.c_str());
    RunDownload(&result, CDU_BOOT_HINT, [&] {
        return dn.FirmwareDownloadImage(facts.type, &path[0], file.image(), file.size());
    });
    return result;
}
