// Command-line parsing and dispatch: which command, which options, and the
// one place where every command ends.
#include "app/cli/Cli.h"

#include "app/console/ConsoleRenderer.h"
#include "app/console/ReasonLine.h"
#include "app/console/WireTrace.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "app/cli/CliResult.h"
#include "app/cli/HistoryCommand.h"
#include "app/action/PortName.h"
#include "app/record/History.h"
#include "rpu/RpuFwDn.h"
#include "cdu/CduFwDn.h"

namespace {

const char* const USAGE_HEAD =
    "Usage:\n"
    "  kvfwdn                                  the interactive menus\n"
    "  kvfwdn -h | --help                      this text\n"
    "  kvfwdn -V | --version                   the program version\n"
    "  kvfwdn ports [--json]                   the serial ports present on this machine\n"
    "  kvfwdn info FILE [--json]               what a firmware file is (opens no port)\n"
    "  kvfwdn history [-n N] [--json | --csv] [--since DATE] [--until DATE] [--device D]\n"
    "                                          the last N recorded actions (default 20;\n"
    "                                          --csv without -n: every one that matches)\n"
    "  kvfwdn history --verify [--json]        check the record's hash chain\n"
    "  kvfwdn policy [--json]                  the approved firmware list in force\n"
    "  kvfwdn policy check FILE... [--json]    whether files are approved\n"
    "  kvfwdn policy new --serial N FILE...    an approved.json for the files, to sign\n"
    "  kvfwdn rpu version  [-p PORT] [--json]            printer version and CRC\n"
    "  kvfwdn rpu download [-p PORT] [--json] [-q] [--force] [ROAD OPTIONS] FILE\n"
    "                                          printer firmware download\n"
    "  kvfwdn rpu probe    [-p PORT] [--json] [--wait S]  what the ROM bootloader is\n"
    "  kvfwdn rpu verify   [-p PORT] [--json] [--wait S] [--packet-size N] FILE\n"
    "                                          does the flash hold FILE (writes nothing)\n"
    "  kvfwdn cdu version  [-p PORT] [--json]            dispenser version and cassette number\n"
    "  kvfwdn cdu cassette [-p PORT] [--json] N          set the cassette number (1 to 6)\n"
    "  kvfwdn cdu download [-p PORT] [--json] [-q] [ROAD OPTIONS] FILE\n"
    "                                          dispenser firmware download\n"
    "  kvfwdn cdu probe | verify ...           as for the printer (bootloader road)\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT  serial device (default ";
const char* const USAGE_TAIL =
    "  --json           the result as one JSON line on standard output (also before\n"
    "                   the command, as -q)\n"
    "  -q, --quiet      no progress line on standard error\n"
    "  --trace FILE     the line's events and bytes to FILE (or $KVFWDN_TRACE)\n"
    "  --force          download a file that is not printer firmware all the same\n"
    "  --ticket ID      the change ticket the record carries (else $KVFWDN_TICKET;\n"
    "                   1 to 64 printable characters without blanks)\n"
    "  --since, --until DATE  records from and to that day (YYYY-MM-DD, UTC, inclusive)\n"
    "  --device rpu|cdu       records of one device\n"
    "ROAD OPTIONS (the ROM bootloader road; on the loader road a warning):\n"
    "  --wait S         start the ROM bootloader again and again for up to S seconds\n"
    "                   (1 to 600) until it answers\n"
    "  --skip-identical write nothing when the flash already holds the file\n"
    "  --packet-size N  128 (default) or 256 bytes per packet\n"
    "\n"
    "Exit status: 0 success; a download's failure 1 file not found, 2 file unreadable,\n"
    "3 no response, 4 download failed, 5 verify failed (verify: the flash differs);\n"
    "6 the port cannot be opened; 7 the device did not answer; 8 not firmware for this\n"
    "device (for info: for either device; verify: a loader-road file); 9 any other\n"
    "failure; 10 not approved (policy: the list cannot be trusted); 11 verify: the flash\n"
    "is read-protected; 12 history --verify found a break; 64 a usage error. Before a\n"
    "download the file's size,\n"
    "SHA-256 and device go to standard error; a JSON result's \"error\" is the first reason\n"
    "on standard error (with a failed download's \"step\" and \"address\"), else the\n"
    "first line of the message; null only on success.\n"
    "Progress (bytes, rate, time left) and the menus' hints go to standard error.\n";

std::string Usage() {
    return std::string(USAGE_HEAD) + kRpuDefaultPort + " printer, " + kCduDefaultPort +
           " dispenser)\n" + USAGE_TAIL;
}

struct Command {
    CLI::App* app;
};

// The change ticket of a device command (--ticket, else $KVFWDN_TICKET).
std::string gTicket;

CLI::App* AddAction(CLI::App* device, const char* name, const char* what, CliRequest* request) {
    CLI::App* sub = device->add_subcommand(name, what);
    sub->add_option("-p,--port", request->port, "serial device");
    sub->add_option("--ticket", gTicket, "change ticket");
    sub->add_flag("--json", request->json, "one JSON line on standard output");
    sub->add_option("--trace", request->trace, "the line's bytes and events to FILE");
    return sub;
}

// The arguments, for the JSON line of a usage error.
int gArgc = 0;
char** gArgv = nullptr;

int UsageError(const std::string& what) {
    fprintf(stderr, "kvfwdn: %s (see kvfwdn --help)\n", what.c_str());
    if (JsonAsked(gArgc, gArgv))
        PrintUsageErrorLine(gArgc, gArgv, what);
    return EXIT_USAGE;
}

// --help and --version, as text or as one JSON line.
int PrintHelpOrVersion(bool help) {
    if (JsonAsked(gArgc, gArgv)) {
        nlohmann::json line = {{"device", nullptr},
                               {"action", help ? "help" : "version"},
                               {"ok", true},
                               {"exit", EXIT_OK},
                               {"error", nullptr},
                               {"time", UtcTimeNow()},
                               {"kvfwdn", KVFWDN_VERSION}};
        if (help)
            line["usage"] = Usage();
        return PrintJsonLine(line) ? EXIT_OK : EXIT_OTHER;
    }
    fputs(help ? Usage().c_str() : "kvfwdn " KVFWDN_VERSION "\n", stdout);
    return StandardOutputWritten() ? EXIT_OK : EXIT_OTHER;
}

// The commands of `device`, for the line that asks for one.
std::string CommandList(const CLI::App* device) {
    std::string list;
    for (const CLI::App* sub : device->get_subcommands({}))
        list += (list.empty() ? "" : ", ") + sub->get_name();
    return list;
}

// -n takes a whole number from 1 to MAX_HISTORY_COUNT, written in digits only.
bool HistoryCountOf(const std::string& text, int* count) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *count = std::stoi(text);
    return *count >= 1 && *count <= MAX_HISTORY_COUNT;
}

// CLI11's messages may span lines; the usage error is told in one.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace

int RunCommandLine(int argc, char** argv) {
    // Library lines reach the console as they come, even when standard
    // output is a pipe.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    SetProgressStyle(PROGRESS_LINE);
    gArgc = argc;
    gArgv = argv;

    CliRequest request;
    CLI::App app("kvfwdn", "kvfwdn");
    app.set_version_flag("-V,--version", "kvfwdn " KVFWDN_VERSION);
    app.require_subcommand(1, 1);
    // The global options may come before the command too.
    app.add_flag("--json", request.json, "one JSON line on standard output");
    app.add_flag("-q,--quiet", request.quiet, "no progress bars");

    CLI::App* ports = app.add_subcommand("ports", "serial ports");
    ports->add_flag("--json", request.json, "one JSON line on standard output");

    CLI::App* info = app.add_subcommand("info", "what a firmware file is");
    info->add_flag("--json", request.json, "one JSON line on standard output");
    info->add_option("FILE", request.file, "firmware file")->required();
    CLI::App* history = app.add_subcommand("history", "recorded actions");
    HistoryQuery query;
    std::string historyCount;
    bool verify = false;
    history->add_option("-n", historyCount, "how many");
    history->add_flag("--json", query.json, "one JSON line on standard output");
    history->add_flag("--csv", query.csv, "CSV for auditors");
    history->add_flag("--verify", verify, "check the hash chain");
    history->add_option("--since", query.since, "from this day");
    history->add_option("--until", query.until, "to this day");
    history->add_option("--device", query.device, "one device")
        ->check(CLI::IsMember({"rpu", "cdu"}));

    CLI::App* policy = app.add_subcommand("policy", "the approved firmware list");
    policy->add_flag("--json", request.json, "one JSON line on standard output");
    std::vector<std::string> policyFiles;
    long long policySerial = 0;
    CLI::App* policyCheck = policy->add_subcommand("check", "whether files are approved");
    CLI::App* policyNew = policy->add_subcommand("new", "an approved list for files");
    for (CLI::App* sub : {policyCheck, policyNew}) {
        sub->add_flag("--json", request.json, "one JSON line on standard output");
        sub->add_option("FILE", policyFiles, "firmware files")->required();
    }
    policyNew->add_option("--serial", policySerial, "the list's serial")->required();

    CLI::App* rpu = app.add_subcommand("rpu", "receipt printer");
    CLI::App* cdu = app.add_subcommand("cdu", "cash dispenser");
    rpu->require_subcommand(1, 1);
    cdu->require_subcommand(1, 1);
    Command commands[] = {
        {AddAction(rpu, "version", "printer version and CRC", &request)},
        {AddAction(rpu, "download", "printer firmware download", &request)},
        {AddAction(cdu, "version", "dispenser version and cassette", &request)},
        {AddAction(cdu, "cassette", "set the cassette number", &request)},
        {AddAction(cdu, "download", "dispenser firmware download", &request)},
        {AddAction(rpu, "probe", "what the printer's ROM bootloader is", &request)},
        {AddAction(rpu, "verify", "does the printer's flash hold the file", &request)},
        {AddAction(cdu, "probe", "what the dispenser's ROM bootloader is", &request)},
        {AddAction(cdu, "verify", "does the dispenser's flash hold the file", &request)},
    };
    for (Command& command : commands) {
        const std::string& name = command.app->get_name();
        if (name == "download" || name == "verify") {
            command.app->add_flag("-q,--quiet", request.quiet, "no progress line");
            command.app->add_option("FILE", request.file, "firmware file")->required();
            command.app->add_option("--packet-size", request.packetSize, "128 or 256");
        }
        if (name == "download" || name == "verify" || name == "probe")
            command.app->add_option("--wait", request.wait, "seconds to wait for the unit");
        if (name == "download")
            command.app->add_flag("--skip-identical", request.skipIdentical,
                                  "nothing written when the flash holds the file");
    }
    commands[1].app->add_flag("--force", request.force, "skip the printer file check");
    commands[3]
        .app->add_option("N", request.cassette, "cassette number")
        ->required()
        ->check(CLI::Range(1, 6));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion&) {
        return PrintHelpOrVersion(false);
    } catch (const CLI::Success&) {
        // --help, on its own or after a command.
        return PrintHelpOrVersion(true);
    } catch (const CLI::ParseError& error) {
        // A word that names no command is left over; CLI11 would only say
        // that a command is missing.
        for (const CLI::App* level : {&app, rpu, cdu, policy}) {
            if (level->remaining().empty() || !level->get_subcommands().empty())
                continue;
            std::string word = level->remaining().front();
            return UsageError((word[0] == '-' ? "unknown option \"" : "unknown command \"") + word +
                              "\"");
        }
        for (const CLI::App* device : {rpu, cdu})
            if (device->parsed() && device->get_subcommands().empty())
                return UsageError(device->get_name() + " needs a command: " + CommandList(device));
        return UsageError(OneLine(error.what()));
    }

    // A signal before the result leaves one JSON object, for these too.
    for (const CLI::App* command : {ports, history})
        if (request.json && command->parsed())
            PrepareSignalLine({{"device", nullptr},
                               {"action", command->get_name()},
                               {"ok", false},
                               {"exit", EXIT_OTHER},
                               {"error", nullptr},
                               {"time", UtcTimeNow()},
                               {"kvfwdn", KVFWDN_VERSION}});
    if (ports->parsed())
        return ListPorts(request.json);
    if (info->parsed())
        return ShowFileInfo(request.file, request.json);
    if (history->parsed()) {
        // --json before the command counts too; a usage error's line needs it.
        query.json = query.json || request.json;
        request.json = query.json;
        if (query.json && query.csv)
            return UsageError("--csv and --json exclude each other");
        for (const std::string* date : {&query.since, &query.until})
            if (!date->empty() && !ValidDate(*date))
                return UsageError((date == &query.since ? "--since" : "--until") +
                                  std::string(": a date as YYYY-MM-DD is expected"));
        query.countGiven = history->count("-n") > 0;
        if (query.countGiven && !HistoryCountOf(historyCount, &query.count))
            return UsageError("-n: a whole number from 1 to 100000 is expected");
        if (verify && (query.csv || query.countGiven || !query.since.empty() ||
                       !query.until.empty() || !query.device.empty()))
            return UsageError("--verify checks the whole history and takes only --json");
        return verify ? VerifyHistory(query.json) : ShowHistory(query);
    }
    if (policyCheck->parsed())
        return CheckPolicyFiles(policyFiles, request.json);
    if (policyNew->parsed() && policySerial <= 0)
        return UsageError("--serial must be a positive integer");
    if (policyNew->parsed())
        return NewPolicyList(policySerial, policyFiles, request.json);
    if (policy->parsed())
        return ShowPolicy(request.json);
    for (Command& command : commands) {
        if (!command.app->parsed())
            continue;
        // The downloaders keep the port and the path in fixed fields; a
        // longer name must not be cut into another one.
        // A long link name (/dev/serial/by-id/...) is taken as the device it
        // names when that fits.
        std::string fitted;
        if (command.app->count("--port") > 0 &&
            (request.port.empty() || !FitPortName(request.port, &fitted)))
            return UsageError("the port name must be 1 to " + std::to_string(kPortNameField - 1) +
                              " characters");
        if (command.app->count("--port") > 0 && fitted != request.port) {
            NoteResolvedPortName(request.port, fitted);
            request.port = fitted;
        }
        if (request.file.size() > kPathMax)
            return UsageError("the file path must be at most " + std::to_string(kPathMax) +
                              " characters");
        bool waitGiven = command.app->get_option_no_throw("--wait") != nullptr &&
                         command.app->count("--wait") > 0;
        bool sizeGiven = command.app->get_option_no_throw("--packet-size") != nullptr &&
                         command.app->count("--packet-size") > 0;
        if (waitGiven && (request.wait < 1 || request.wait > 600))
            return UsageError("--wait wants 1 to 600 seconds");
        if (sizeGiven && request.packetSize != 128 && request.packetSize != 256)
            return UsageError("--packet-size wants 128 or 256");
        request.roadOptions = waitGiven || sizeGiven || request.skipIdentical;
        if (command.app->count("--ticket") > 0) {
            if (!ValidTicket(gTicket))
                return UsageError("--ticket: 1 to 64 printable characters without blanks are "
                                  "expected");
            SetRecordTicket(gTicket);
        } else if (!TakeEnvironmentTicket()) {
            return UsageError("KVFWDN_TICKET: 1 to 64 printable characters without blanks are "
                              "expected");
        }
        if (!request.trace.empty())
            SetWireTraceFile(request.trace.c_str()); // before $KVFWDN_TRACE
        return RunDeviceCommand(command.app->get_parent()->get_name(), command.app->get_name(),
                                request);
    }
    return UsageError("no command given");
}
