// The command line end to end: kvfwdn run with arguments against missing
// ports and files and against kvsim's devices; exit status, the JSON keys
// and values, and nothing but the result on standard output.
#include <algorithm>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "app/text/MenuTexts.h"
#include "support/KvsimChild.h"
#include "support/Dialogue.h"
#include "support/LinkTest.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "sim/VirtualDispenser.h"
#include "sim/VirtualPrinter.h"
#include "test_cdu_util.h"

using nlohmann::json;

namespace {

const char* const MISSING_PORT = "/dev/kvfwdn-no-such-port";

// A menu text as the JSON message carries it: lines trimmed, one space apart.
std::string Joined(const std::string& text) {
    std::string joined;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        line.erase(0, line.find_first_not_of(' '));
        joined += (joined.empty() ? "" : " ") + line;
        start = end + 1;
    }
    return joined;
}

// Runs a command with --json. Standard output must be exactly one JSON
// object on one line, whose "exit" and "ok" agree with the exit status;
// returns it (null when it is not that) and the run.
json RunJson(std::vector<std::string> args, ToolRun* run = nullptr) {
    args.push_back("--json");
    ToolRun r = RunToolArgs(args, 60000);
    if (run != nullptr)
        *run = r;
    EXPECT_FALSE(r.timedOut);
    const std::string& out = r.output;
    EXPECT_TRUE(!out.empty() && out.find('\n') == out.size() - 1) << out;
    json result = json::parse(out, nullptr, false);
    if (result.is_discarded() || !result.is_object()) {
        ADD_FAILURE() << "not one JSON object: " << out;
        return nullptr;
    }
    EXPECT_EQ(result["exit"], r.exitCode) << out;
    EXPECT_EQ(result["ok"], r.exitCode == 0) << out;
    return result;
}

// The keys of every device result; `values` are the action's own keys,
// which must all be there and no others.
void ExpectResult(const json& result, const std::string& device, const std::string& action,
                  const std::string& port, int exit, const char* message, const json& values) {
    json expected = {{"device", device}, {"action", action}, {"port", port},
                     {"ok", exit == 0},  {"exit", exit},     {"message", Joined(message)},
                     {"ticket", nullptr}};
    // A download names the step it failed at; these cases fail before one.
    if (action == "download")
        expected.update({{"step", nullptr}, {"address", nullptr}});
    expected.update(values);
    // A failure carries its first reason; the cases that matter name it in
    // `values`, the others only need one.
    if (!values.contains("error")) {
        EXPECT_EQ(result.value("error", json()).is_string(), exit != 0) << result;
        expected["error"] = result.value("error", json());
    }
    // Every result carries when it ran and which tool gave it.
    json rest = result;
    if (rest.is_object()) {
        EXPECT_EQ(rest["kvfwdn"], KVFWDN_VERSION);
        EXPECT_EQ(rest["time"].get_ref<const std::string&>().size(), 24u) << rest["time"];
        rest.erase("kvfwdn");
        rest.erase("time");
    }
    EXPECT_EQ(rest, expected);
}

} // namespace

TEST(E2eCli, HelpVersionPortsAndUsageErrors) {
    ToolRun help = RunToolArgs({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : {"kvfwdn ports", "kvfwdn rpu version", "kvfwdn rpu download",
                                "kvfwdn cdu version", "kvfwdn cdu cassette", "kvfwdn cdu download"})
        EXPECT_NE(help.output.find(command), std::string::npos) << command;
    for (const char* flag : {"-V", "--version"}) {
        ToolRun version = RunToolArgs({flag});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.output, "kvfwdn " KVFWDN_VERSION "\n");
    }

    ToolRun ports = RunToolArgs({"ports", "--json"});
    EXPECT_EQ(ports.exitCode, 0);
    json list = json::parse(ports.output, nullptr, false);
    ASSERT_TRUE(list.is_array()) << ports.output;
    for (const json& port : list)
        for (const char* key : {"path", "by_id", "driver", "description", "console"})
            EXPECT_TRUE(port.contains(key)) << port.dump();

    const std::vector<std::vector<std::string>> usageErrors = {
        {"frobnicate"},
        {"rpu"},
        {"rpu", "flash"},
        {"--json"},
        {"rpu", "version", "-z"},
        {"rpu", "version", "extra", "--json"},
        {"rpu", "download", "--json"},
        {"cdu", "cassette"},
        {"cdu", "cassette", "0"},
        {"cdu", "cassette", "7", "--json"},
        {"cdu", "cassette", "x"},
        {"cdu", "cassette", "3", "4"},
        {"cdu", "version", "-p", ""},
        {"cdu", "version", "-p", "", "--json"},
        {"rpu", "version", "-p", "a", "-p", "b", "--json"},
        {"cdu", "version", "-p", std::string(100, 'p')},
        {"rpu", "download", std::string(256, 'f')},
        {"ports", "extra"},
    };
    for (const std::vector<std::string>& args : usageErrors) {
        ToolRun run = RunToolArgs(args);
        std::string what = args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(run.exitCode, 64) << what;
        // With --json the error is one JSON line too; without, nothing.
        if (std::find(args.begin(), args.end(), "--json") == args.end()) {
            EXPECT_EQ(run.output, "") << what;
        } else {
            json line = json::parse(run.output, nullptr, false);
            EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << what << ": " << run.output;
            EXPECT_EQ(line["ok"], false) << what << ": " << run.output;
            EXPECT_EQ(line["exit"], 64) << what << ": " << run.output;
            EXPECT_TRUE(line["port"].is_null()) << what << ": " << run.output;
        }
        EXPECT_NE(run.errors.find("--help"), std::string::npos) << what << ": " << run.errors;
        EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << what << ": " << run.errors;
    }
    EXPECT_EQ(RunToolArgs({"rpu", "flash"}).errors,
              "kvfwdn: unknown command \"flash\" (see kvfwdn --help)\n");
}

// --help and --version give one JSON line with --json; every spelling of the
// flag the parser takes counts, before the command too; the device words
// alone name their commands; -n says what it takes.
TEST(E2eCli, HelpVersionJsonAndCommandLineSnags) {
    std::string usage = RunToolArgs({"--help"}).output;
    for (const char* flag : {"--help", "-h", "-V", "--version"}) {
        ToolRun run = RunToolArgs({flag, "--json"});
        EXPECT_EQ(run.exitCode, 0) << flag;
        json line = json::parse(run.output, nullptr, false);
        ASSERT_TRUE(line.is_object()) << flag << ": " << run.output;
        bool help = flag[1] == 'h' || flag[2] == 'h';
        EXPECT_EQ(line["time"].get_ref<const std::string&>().size(), 24u) << run.output;
        line.erase("time");
        json expected = {{"device", nullptr}, {"action", help ? "help" : "version"},
                         {"ok", true},        {"exit", 0},
                         {"error", nullptr},  {"kvfwdn", KVFWDN_VERSION}};
        if (help)
            expected["usage"] = usage;
        EXPECT_EQ(line, expected) << flag;
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"rpu", "version", "--json=true", "-x"}, {"--json=1", "frobnicate"}}) {
        ToolRun run = RunToolArgs(args);
        EXPECT_EQ(run.exitCode, 64) << args[0];
        EXPECT_EQ(json::parse(run.output, nullptr, false).value("exit", 0), 64) << run.output;
    }
    ToolRun before = RunToolArgs({"--json", "-q", "rpu", "version", "-p", MISSING_PORT});
    EXPECT_EQ(before.exitCode, 6);
    EXPECT_EQ(json::parse(before.output, nullptr, false).value("exit", 0), 6) << before.output;

    for (const char* device : {"rpu", "cdu"}) {
        ToolRun run = RunToolArgs({device});
        EXPECT_EQ(run.exitCode, 64);
        std::string head = "kvfwdn: " + std::string(device) + " needs a command: version, ";
        EXPECT_EQ(run.errors.compare(0, head.size(), head), 0) << run.errors;
        EXPECT_NE(run.errors.find(", download"), std::string::npos) << run.errors;
        EXPECT_EQ(run.errors.find(" (see kvfwdn --help)\n"), run.errors.size() - 21) << run.errors;
    }
    for (const char* count : {"abc", "0", "100001", "-5", "1e3"}) {
        ToolRun run = RunToolArgs({"history", "-n", count});
        EXPECT_EQ(run.exitCode, 64) << count;
        EXPECT_EQ(run.errors, "kvfwdn: -n: a whole number from 1 to 100000 is expected (see "
                              "kvfwdn --help)\n")
            << count;
    }
}

// Standard output that cannot be written (a full disk) fails help, version
// and ports as it fails every other command.
TEST(E2eCli, FullStandardOutputExitsNine) {
    ScratchDir sysfs;
    ASSERT_EQ(system(("mkdir -p " + sysfs.path() + "/class/tty/ttyS0 && echo 4 >" + sysfs.path() +
                      "/class/tty/ttyS0/type")
                         .c_str()),
              0);
    for (const char* args : {"--help", "-V", "--help --json", "ports", "ports --json"}) {
        std::string command = "KVFWDN_HISTORY=off KVFWDN_SYSFS=" + sysfs.path() +
                              " " KVFWDN_EXE " " + args + " >/dev/full 2>/dev/null";
        int status = system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 9) << args;
    }
}

// What can be told without a device: files that cannot be used and ports
// that cannot be opened.
TEST(E2eCli, MissingPortsAndBadFiles) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string empty = dir.write("empty.bin", "");
    std::string plain = dir.write("plain.bin", PrinterFirmware(500));
    std::string loaderFile = dir.write("cirn.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
    const json noQuery = {{"version", nullptr}, {"crc", nullptr}, {"baud", nullptr}};
    const std::string port = MISSING_PORT;

    ExpectResult(RunJson({"rpu", "version", "-p", port}), "rpu", "version", port, 6,
                 CANNOT_OPEN_PORT_TEXT, noQuery);
    ExpectResult(RunJson({"cdu", "version", "-p", port}), "cdu", "version", port, 6,
                 CANNOT_OPEN_PORT_TEXT, {{"version", nullptr}, {"cassette", nullptr}});
    ExpectResult(RunJson({"cdu", "cassette", "-p", port, "3"}), "cdu", "cassette", port, 6,
                 CANNOT_OPEN_PORT_TEXT, {{"cassette", nullptr}});

    auto download = [&](const std::string& file, const json& bytes, const json& result) {
        return json{{"file", file},
                    {"file_hex", nullptr},
                    {"bytes", bytes},
                    {"sha256", bytes.is_number() && bytes != 0 ? json(Sha256Of(file)) : json()},
                    {"road", "bootloader"},
                    {"result", result},
                    {"seconds", nullptr},
                    {"approved", nullptr},
                    {"policy_serial", nullptr},
                    {"skipped", false},
                    {"unprotected", nullptr}};
    };
    // The time taken is whatever it was; the rest is exact.
    auto timed = [](json result) {
        EXPECT_TRUE(result["seconds"].is_number()) << result;
        result["seconds"] = nullptr;
        return result;
    };
    std::string missing = dir.file("missing.bin");
    ExpectResult(timed(RunJson({"rpu", "download", "-p", port, missing})), "rpu", "download", port,
                 1, ResultMessageText(-1), download(missing, nullptr, -1));
    ExpectResult(timed(RunJson({"rpu", "download", empty, "-p", port})), "rpu", "download", port, 2,
                 ResultMessageText(-2), download(empty, 0, -2));
    ExpectResult(timed(RunJson({"rpu", "download", "-q", "-p", port, plain})), "rpu", "download",
                 port, 6, ResultMessageText(-6), download(plain, 500, -6));

    json refused = download(plain, 500, nullptr);
    refused.update({{"road", nullptr}, {"model", nullptr}});
    ExpectResult(RunJson({"cdu", "download", "-p", port, plain}), "cdu", "download", port, 8,
                 NOT_FIRMWARE_TEXT, refused);
    json cirn = download(loaderFile, 3000, -6);
    cirn.update({{"road", "loader"}, {"model", "CIRN"}});
    ExpectResult(timed(RunJson({"cdu", "download", "-p", port, loaderFile})), "cdu", "download",
                 port, 6, ResultMessageText(-6), cirn);

    // Text: the menu's words, one line each, and nothing on standard error
    // but the reason.
    ToolRun text = RunToolArgs({"cdu", "download", missing, "--port", port});
    EXPECT_EQ(text.exitCode, 1); // a missing file, before any classification
    EXPECT_EQ(text.output, "The file was not found or it is not a firmware file\n");
}

// Every command against kvsim's devices, and the failures its faults make.
TEST(E2eCli, CommandsAgainstKvsim) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    Kvsim kvsim({"--dir", dir.path()});
    ASSERT_TRUE(kvsim.waitFor("kvsim> ", 10000)) << kvsim.output;
    std::string rpu = dir.file("rpu");
    std::string cdu = dir.file("cdu");
    std::string sample = dir.file("rpu-sample.bin");
    std::string loaderFile = dir.write("cirn.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
    std::string bootFile = dir.write("imbra.bin", Firmware(2000, "IMBRA2_CDU_0G2A09_2020", 16));

    ToolRun run = RunToolArgs({"rpu", "version", "-p", rpu});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              rpu + " answered at 115200 baud\nCurrent F/W Ver : V1.23, CRC : 0x0AB3\n");
    EXPECT_EQ(run.errors, "");
    ExpectResult(RunJson({"rpu", "version", "-p", rpu}), "rpu", "version", rpu, 0,
                 " Current F/W Ver : V1.23, CRC : 0x0AB3",
                 {{"version", "V1.23"}, {"crc", "0AB3"}, {"baud", 115200}});

    ExpectResult(RunJson({"cdu", "version", "-p", cdu}), "cdu", "version", cdu, 0,
                 " Current F/W Ver : DSP12A0105R00, CST : 2",
                 {{"version", "DSP12A0105R00"}, {"cassette", 2}});
    ExpectResult(RunJson({"cdu", "cassette", "4", "-p", cdu}), "cdu", "cassette", cdu, 0,
                 " Current F/W Ver : DSP14A0105R00, CST : 4", {{"cassette", 4}});
    run = RunToolArgs({"cdu", "version", "-p", cdu});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "Current F/W Ver : DSP14A0105R00, CST : 4\n");

    // Downloads: the progress bars and the menus' lines are not on standard
    // output, and not on standard error either when it is not a terminal.
    run = RunToolArgs({"rpu", "download", "-p", rpu, sample});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.find(sample + ": 4000 bytes, bootloader road, "), 0u) << run.output;
    EXPECT_NE(run.output.find("\nDownload operation finished successfully.\nPlease change the "
                              "device to online mode and check the version.\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.errors, IdentityLine(sample, "printer firmware"));
    // Again without a reset: the ROM bootloader is still running.
    json result = RunJson({"rpu", "download", "-p", rpu, sample}, &run);
    EXPECT_EQ(result["exit"], 0);
    EXPECT_EQ(result["bytes"], 4000);
    EXPECT_EQ(result["result"], 0);
    EXPECT_EQ(run.errors, IdentityLine(sample, "printer firmware") + "kvfwdn: " + rpu +
                              ": the ROM bootloader was already running (no reset since the "
                              "last action)\n");
    EXPECT_EQ(result["error"], nullptr) << "a note is no error";
    result = RunJson({"cdu", "download", "-p", cdu, loaderFile}, &run);
    EXPECT_EQ(result["exit"], 0) << run.errors;
    EXPECT_EQ(result["road"], "loader");
    EXPECT_EQ(result["model"], "CIRN");
    ASSERT_TRUE(KvsimControl(dir.path(), "cdu road bootloader"));
    result = RunJson({"cdu", "download", "-p", cdu, bootFile}, &run);
    EXPECT_EQ(result["exit"], 0) << run.errors;
    EXPECT_EQ(result["road"], "bootloader");
    EXPECT_EQ(result["model"], "IMBRA");
    EXPECT_EQ(result["message"], Joined(ResultMessageText(0)));

    // Faults of the printer's bootloader: exit status minus the result code,
    // the reason line naming the step, and the boot-mode hint on standard
    // error where the bootloader does not take the command list. A fault on a
    // numbered packet counts from the last reset.
    struct Fault {
        const char* name;
        int exit;
        const char* reason;
    };
    const Fault faults[] = {{"get", 3, "Get refused (NACK)"},
                            {"erase", 4, "erase refused (NACK)"},
                            {"readback", 5, "read-back differs at 0x08000080"}};
    for (const Fault& fault : faults) {
        ASSERT_TRUE(KvsimControl(dir.path(), std::string("rpu fault ") + fault.name));
        ASSERT_TRUE(KvsimControl(dir.path(), "rpu reset"));
        result = RunJson({"rpu", "download", "-p", rpu, sample}, &run);
        EXPECT_EQ(run.exitCode, fault.exit) << fault.name;
        EXPECT_EQ(result["result"], -fault.exit);
        EXPECT_EQ(result["message"], Joined(ResultMessageText(-fault.exit)));
        EXPECT_EQ(result["error"], rpu + ": " + fault.reason);
        EXPECT_EQ(run.errors, IdentityLine(sample, "printer firmware") + "kvfwdn: " + rpu + ": " +
                                  fault.reason + "\n" +
                                  (fault.exit == 3 ? std::string(RPU_BOOT_HINT) + "\n" : ""));
    }
}

// A dispenser that answers nothing: version and cassette requests end with
// 7 and the online-mode hint (each waits out the link's time-outs).
TEST(E2eCli, SilentDispenserExitsSeven) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    Kvsim kvsim({"--dir", dir.path(), "--cdu-fault", "silent"});
    ASSERT_TRUE(kvsim.waitFor("kvsim> ", 10000)) << kvsim.output;
    std::string cdu = dir.file("cdu");
    ToolRun run;
    const std::string silent = cdu + ": the dispenser did not answer at 9600 baud";
    ExpectResult(RunJson({"cdu", "version", "-p", cdu}, &run), "cdu", "version", cdu, 7,
                 NO_ANSWER_TEXT, {{"version", nullptr}, {"cassette", nullptr}, {"error", silent}});
    EXPECT_EQ(run.errors, std::string(dialogue::PLACEHOLDER_TABLE_WARNING) + "kvfwdn: " + cdu +
                              ": the dispenser did not answer at 9600 baud\n" + CDU_ONLINE_HINT +
                              "\n");
    ExpectResult(RunJson({"cdu", "cassette", "-p", cdu, "6"}), "cdu", "cassette", cdu, 7,
                 NO_ANSWER_TEXT, {{"cassette", nullptr}, {"error", silent}});
}

// A version reply too short for its field, or with an empty version, is no
// answer: exit 7 and no version, never ok with the frame's tail as text.
TEST(E2eCli, ShortVersionReplyExitsSeven) {
    VirtualLine cduLine;
    DispenserConfig cduConfig;
    cduConfig.rawReply = Frame({'O', 'A', 'B'});
    VirtualDispenser dispenser(cduLine, cduConfig);
    dispenser.start();
    ToolRun run;
    json result = RunJson({"cdu", "version", "-p", cduLine.slavePath()}, &run);
    EXPECT_EQ(result["exit"], 7) << run.errors;
    EXPECT_EQ(result["version"], nullptr);

    VirtualLine rpuLine;
    PrinterConfig rpuConfig;
    rpuConfig.version = std::string("\0V123", 5);
    VirtualPrinter printer(rpuLine, rpuConfig);
    printer.start();
    result = RunJson({"rpu", "version", "-p", rpuLine.slavePath()}, &run);
    EXPECT_EQ(result["exit"], 7) << run.errors;
    EXPECT_EQ(result["version"], nullptr);
    EXPECT_GE(printer.requests(), 1);
}
