// Command-line parsing and dispatch: which command, which options, and the
// one place where every command ends.
#include "app/cli/Cli.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "app/cli/CliResult.h"
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
    "  kvfwdn history [-n N] [--json]          the last N recorded actions (default 20)\n"
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
    "  --json           the result as one JSON line on standard output\n"
    "  -q, --quiet      no progress bars on standard error\n"
    "  --force          download a file that is not printer firmware all the same\n"
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
    "failure; 11 verify: the flash is read-protected; 64 a usage error. Before a download the "
    "file's size,\n"
    "SHA-256 and device go to standard error; a JSON result's \"error\" is the first reason\n"
    "on standard error, or null.\n"
    "Progress and the menus' hints go to standard error.\n";

std::string Usage() {
    return std::string(USAGE_HEAD) + kRpuDefaultPort + " printer, " + kCduDefaultPort +
           " dispenser)\n" + USAGE_TAIL;
}

struct Command {
    CLI::App* app;
};

CLI::App* AddAction(CLI::App* device, const char* name, const char* what, CliRequest* request) {
    CLI::App* sub = device->add_subcommand(name, what);
    sub->add_option("-p,--port", request->port, "serial device");
    sub->add_flag("--json", request->json, "one JSON line on standard output");
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
    gArgc = argc;
    gArgv = argv;

    CliRequest request;
    CLI::App app("kvfwdn", "kvfwdn");
    app.set_version_flag("-V,--version", "kvfwdn " KVFWDN_VERSION);
    app.require_subcommand(1, 1);

    CLI::App* ports = app.add_subcommand("ports", "serial ports");
    ports->add_flag("--json", request.json, "one JSON line on standard output");

    CLI::App* info = app.add_subcommand("info", "what a firmware file is");
    info->add_flag("--json", request.json, "one JSON line on standard output");
    info->add_option("FILE", request.file, "firmware file")->required();
    CLI::App* history = app.add_subcommand("history", "recorded actions");
    int historyCount = 20;
    history->add_option("-n", historyCount, "how many")->check(CLI::NonNegativeNumber);
    history->add_flag("--json", request.json, "one JSON line on standard output");

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
            command.app->add_flag("-q,--quiet", request.quiet, "no progress bars");
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
        puts("kvfwdn " KVFWDN_VERSION);
        return fflush(stdout) == 0 ? EXIT_OK : EXIT_OTHER;
    } catch (const CLI::Success&) {
        // --help, on its own or after a command.
        fputs(Usage().c_str(), stdout);
        return fflush(stdout) == 0 ? EXIT_OK : EXIT_OTHER;
    } catch (const CLI::ParseError& error) {
        // A word that names no command is left over; CLI11 would only say
        // that a command is missing.
        for (const CLI::App* level : {&app, rpu, cdu}) {
            if (level->remaining().empty() || !level->get_subcommands().empty())
                continue;
            std::string word = level->remaining().front();
            return UsageError((word[0] == '-' ? "unknown option \"" : "unknown command \"") + word +
                              "\"");
        }
        return UsageError(OneLine(error.what()));
    }

    if (ports->parsed())
        return ListPorts(request.json);
    if (info->parsed())
        return ShowFileInfo(request.file, request.json);
    if (history->parsed())
        return ShowHistory(historyCount, request.json);
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
        return RunDeviceCommand(command.app->get_parent()->get_name(), command.app->get_name(),
                                request);
    }
    return UsageError("no command given");
}
