// The command line's questions about the device on the bootloader road:
// probe (what its ROM bootloader is) and verify (does its flash hold a file).
// Both write nothing, erase nothing and lift no protection.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "app/cli/CliResult.h"
#include "app/file/FirmwareCheck.h"
#include "app/record/History.h"
#include "app/text/MenuTexts.h"
#include "cdu/CduFwDn.h"
#include "fwdn/BootInspect.h"
#include "fwdn/DnResult.h"
#include "rpu/RpuFwDn.h"
#include "serial/ConsoleSink.h"

using nlohmann::json;

namespace {

ConsoleTarget InspectConsole(const CliRequest& request) {
    return !request.quiet && isatty(STDERR_FILENO) == 1 ? CONSOLE_STDERR : CONSOLE_NOWHERE;
}

std::string Hex2(unsigned char byte) {
    char text[3];
    snprintf(text, sizeof text, "%02X", byte);
    return text;
}

std::string Address(unsigned long address) {
    char text[9];
    snprintf(text, sizeof text, "%08lX", address & 0xFFFFFFFFul);
    return text;
}

// The first line of a menu text, trimmed: a failed question's error.
std::string FirstLine(const std::string& text) {
    size_t end = text.find('\n');
    std::string line = text.substr(0, end);
    size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? "" : line.substr(first);
}

// A start that failed (3) or a port that cannot be opened (6), as a
// download reports it.
void StartFailed(CliResult* result, int code, const char* bootHint) {
    result->exit = DownloadExit(code);
    result->message = ResultMessageText(code);
    if (code == DN_NO_RESPONSE)
        result->hint = bootHint;
}

struct Device {
    const char* name;
    const char* bootHint;
};

template <class Downloader>
CliResult Probe(Downloader* dn, const CliRequest& request, const Device& device) {
    if (!request.port.empty())
        snprintf(dn->szPortName, sizeof dn->szPortName, "%s", request.port.c_str());
    CliResult result;
    result.device = device.name;
    result.action = "probe";
    result.port = dn->szPortName;
    result.values = {{"bootloader", nullptr},
                     {"dialect", nullptr},
                     {"product_id", nullptr},
                     {"commands", nullptr},
                     {"read_protected", nullptr}};
    ProbeFacts facts;
    int code;
    {
        ConsoleTargetScope console(InspectConsole(request));
        code = ProbeBootloader(dn->stblLib, dn->szPortName, &facts);
    }
    if (code != DN_OK) {
        StartFailed(&result, code, device.bootHint);
        if (code == DN_NO_RESPONSE)
            KeepReasonLine(FirstLine(result.message).c_str());
        return result;
    }
    char version[8];
    snprintf(version, sizeof version, "%u.%u", facts.version >> 4, facts.version & 0x0Fu);
    std::string dialect = facts.dialect == 0x75 ? "0x75" : "0x79";
    std::string pid;
    for (unsigned char b : facts.productId)
        pid += Hex2(b);
    json commands = nullptr;
    std::string commandText = "commands: none listed in the 0x75 dialect";
    if (facts.hasCommands) {
        commands = json::array();
        commandText = "commands:";
        for (unsigned char c : facts.commands) {
            commands.push_back(Hex2(c));
            commandText += " " + Hex2(c);
        }
    }
    result.values = {{"bootloader", version},
                     {"dialect", dialect},
                     {"product_id", pid.empty() ? json(nullptr) : json(pid)},
                     {"commands", commands},
                     {"read_protected", facts.readProtected == TRI_UNKNOWN
                                            ? json(nullptr)
                                            : json(facts.readProtected == TRI_YES)}};
    const char* flash = facts.readProtected == TRI_YES ? "flash: read-protected (read-out "
                                                         "protection on)"
                        : facts.readProtected == TRI_NO
                            ? "flash: readable (read-out protection off)"
                            : "flash: unknown (the Read got no answer)";
    result.exit = EXIT_OK;
    result.message = result.port + ": ROM bootloader " + version + " (" + dialect +
                     " dialect), product ID " + (pid.empty() ? "unknown" : "0x" + pid) + "\n" +
                     commandText + "\n" + flash;
    return result;
}

template <class Downloader>
CliResult Verify(Downloader* dn, const CliRequest& request, const Device& device, bool dispenser) {
    if (!request.port.empty())
        snprintf(dn->szPortName, sizeof dn->szPortName, "%s", request.port.c_str());
    CliResult result;
    result.device = device.name;
    result.action = "verify";
    result.port = dn->szPortName;
    result.values = {{"file", request.file},
                     {"bytes", RegularFileSize(request.file)},
                     {"sha256", nullptr},
                     {"first_difference", nullptr}};
    FirmwareFile file;
    int loaded = file.Load(request.file.c_str());
    if (loaded != DN_OK) {
        result.exit = DownloadExit(loaded);
        result.message = ResultMessageText(loaded);
        return result;
    }
    const FirmwareFacts& facts = file.facts();
    result.values["sha256"] = facts.sha256;
    result.record = RecordFactsKeys(facts);
    FirmwareDevice wanted = dispenser ? FW_FOR_CDU : FW_FOR_RPU;
    if (facts.device != wanted) {
        result.exit = EXIT_NOT_FIRMWARE;
        result.message = dispenser ? NOT_FIRMWARE_TEXT : NOT_PRINTER_FIRMWARE_TEXT;
        PrintReasonLine(request.file.c_str(),
                        dispenser ? NotDispenserReason(facts).c_str() : facts.reason.c_str());
        return result;
    }
    if (dispenser && facts.type != 0) {
        result.exit = EXIT_NOT_FIRMWARE;
        result.message = " Nothing was read back.";
        PrintReasonLine(request.file.c_str(),
                        "a loader-road file cannot be read back; verify works on the "
                        "bootloader road");
        return result;
    }
    PrintIdentityLine(request.file.c_str(), facts, dispenser);
    unsigned long first = 0;
    VerifyOutcome outcome;
    {
        ConsoleTargetScope console(InspectConsole(request));
        outcome = VerifyFlash(dn->stblLib, dn->szPortName, file.image(), file.size(), &first);
    }
    switch (outcome) {
    case VERIFY_EQUAL:
        result.exit = EXIT_OK;
        result.message = result.port + ": the flash holds " + request.file + " (" +
                         std::to_string(file.size()) + " bytes)";
        break;
    case VERIFY_DIFFERS:
        result.exit = -DN_VERIFY_FAIL;
        result.message = result.port + ": differs from the file at 0x" + Address(first);
        result.values["first_difference"] = Address(first);
        KeepReasonLine(result.message.c_str());
        break;
    case VERIFY_PROTECTED:
        result.exit = EXIT_PROTECTED;
        result.message = result.port + ": the flash is read-protected. Nothing was read back.";
        PrintReasonLine(result.port.c_str(),
                        "the flash is read-protected; reading it back would need the "
                        "protection lifted, which erases it");
        break;
    case VERIFY_NO_ANSWER:
        StartFailed(&result, DN_NO_RESPONSE, device.bootHint);
        break;
    case VERIFY_PORT_FAIL:
        StartFailed(&result, DN_PORT_OPEN_FAIL, device.bootHint);
        break;
    }
    return result;
}

const Device RPU = {"rpu", RPU_BOOT_HINT};
const Device CDU = {"cdu", CDU_BOOT_HINT};

} // namespace

CliResult RpuProbe(const CliRequest& request) {
    CKvRPUFwDn dn;
    return Probe(&dn, request, RPU);
}

CliResult CduProbe(const CliRequest& request) {
    CKvCDUFwDn dn;
    return Probe(&dn, request, CDU);
}

CliResult RpuVerify(const CliRequest& request) {
    CKvRPUFwDn dn;
    return Verify(&dn, request, RPU, false);
}

CliResult CduVerify(const CliRequest& request) {
    CKvCDUFwDn dn;
    return Verify(&dn, request, CDU, true);
}
