// The record of every action: the history file from the menus and the
// command line, appends from two tools at once, an unwritable file, `off`,
// the system-log line and `kvfwdn history`.
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "sim/VirtualPrinter.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "test_cdu_util.h"

using nlohmann::json;

namespace {

const char* const KEYS[] = {"time",
                            "kvfwdn",
                            "host",
                            "user",
                            "via",
                            "device",
                            "action",
                            "port",
                            "file",
                            "file_hex",
                            "bytes",
                            "sha256",
                            "file_version",
                            "model",
                            "road",
                            "version",
                            "cassette",
                            "result",
                            "exit",
                            "ok",
                            "seconds",
                            "error",
                            "bootloader",
                            "product_id",
                            "read_protected",
                            "first_difference",
                            "skipped",
                            "unprotected",
                            "approved",
                            "policy_serial",
                            "ticket",
                            "prev"};

// One record: valid JSON holding every key and no other.
json Record(const std::string& line) {
    json record = json::parse(line, nullptr, false);
    EXPECT_TRUE(record.is_object()) << line;
    if (!record.is_object())
        return json::object();
    EXPECT_EQ(record.size(), sizeof KEYS / sizeof KEYS[0]) << line;
    for (const char* key : KEYS)
        EXPECT_TRUE(record.contains(key)) << key << " missing: " << line;
    EXPECT_TRUE(std::regex_match(record["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << line;
    EXPECT_EQ(record["kvfwdn"], KVFWDN_VERSION);
    return record;
}

ToolOptions Cli(const std::vector<std::string>& args, const std::string& history) {
    ToolOptions options = CapturingOptions();
    options.args = args;
    options.history = history;
    return options;
}

const std::string NO_PORT = "/dev/kvfwdn-no-such-port";

} // namespace

TEST(E2eHistory, MenuDownloadAndCliQueryEachLeaveOneRecord) {
    ScratchDir dir;
    std::string history = dir.path() + "/state/kvfwdn/history.jsonl";
    VirtualLine line;
    VirtualBootloader boot(line, BootloaderConfig());
    boot.start();
    std::string file = dir.write("rpu.bin", PrinterFirmware(4096));
    ToolOptions menu = Cli({}, history);
    ToolRun run = RunTool("1\n2\n" + line.slavePath() + "\n" + file + "\ny\nq\nq\n", menu);
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.output.find(" Download operation finished successfully."), std::string::npos);
    std::vector<std::string> lines = FileLines(history);
    ASSERT_EQ(lines.size(), 1u);
    json download = Record(lines[0]);
    json expected = {{"via", "menu"},
                     {"device", "rpu"},
                     {"action", "download"},
                     {"port", line.slavePath()},
                     {"file", file},
                     {"bytes", 4096},
                     {"road", "bootloader"},
                     {"result", 0},
                     {"exit", 0},
                     {"ok", true},
                     {"error", nullptr},
                     {"version", nullptr},
                     {"sha256", Sha256Of(file)},
                     {"file_version", nullptr},
                     {"model", nullptr}};
    for (auto& key : expected.items())
        EXPECT_EQ(download[key.key()], key.value()) << key.key();
    EXPECT_TRUE(download["seconds"].is_number());
    struct stat st;
    ASSERT_EQ(stat(history.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir.path() + "/state/kvfwdn").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    VirtualLine printerLine;
    VirtualPrinter printer(printerLine);
    printer.start();
    run = RunTool("", Cli({"rpu", "version", "-p", printerLine.slavePath(), "--json"}, history));
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    lines = FileLines(history);
    ASSERT_EQ(lines.size(), 2u);
    json query = Record(lines[1]);
    EXPECT_EQ(query["via"], "cli");
    EXPECT_EQ(query["action"], "version");
    EXPECT_EQ(query["version"], "V1.23");
    EXPECT_EQ(query["result"], 0);
    EXPECT_EQ(query["ok"], true);
    EXPECT_TRUE(query["file"].is_null());
    // The result line carries the record's time and the tool's version.
    json result = json::parse(run.output, nullptr, false);
    EXPECT_EQ(result["time"], query["time"]);
    EXPECT_EQ(result["kvfwdn"], KVFWDN_VERSION);
}

TEST(E2eHistory, TwoToolsAppendingAtOnceKeepWholeLinesAndOneChain) {
    ScratchDir dir;
    std::string history = dir.path() + "/history.jsonl";
    // Long port names make long records; each query fails at once.
    std::string port = NO_PORT + std::string(60, 'x');
    std::string input;
    for (int i = 0; i < 100; ++i)
        input += "1\n1\n" + port + "\nq\n";
    ToolRun runs[2];
    std::thread other([&] { runs[1] = RunTool(input, Cli({}, history)); });
    runs[0] = RunTool(input, Cli({}, history));
    other.join();
    std::vector<std::string> lines = FileLines(history);
    ASSERT_EQ(lines.size(), 200u);
    // Each record's `prev` is the hash of the line before it: the chain
    // did not fork.
    for (size_t i = 0; i < lines.size(); ++i) {
        json record = json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(record.is_object()) << lines[i];
        EXPECT_EQ(record["port"], port);
        EXPECT_EQ(record["result"], -4);
        EXPECT_EQ(record["prev"], i == 0 ? json() : json(Sha256OfText(lines[i - 1]))) << i;
    }
    ToolRun verify = RunTool("", Cli({"history", "--verify"}, history));
    EXPECT_EQ(verify.exitCode, 0);
    EXPECT_EQ(verify.output, "200 records, chain intact\n");
}

TEST(E2eHistory, UnwritableHistoryWarnsOnceAndChangesNothingElse) {
    ScratchDir dir;
    std::string plain = dir.write("plain", "x");
    std::vector<std::string> args = {"rpu", "version", "-p", NO_PORT, "--json"};
    ToolRun off = RunTool("", Cli(args, "off"));
    json offResult = json::parse(off.output, nullptr, false);
    offResult.erase("time");
    // A folder that is a file, and a file that is a folder.
    for (const std::string& history : {plain + "/history.jsonl", dir.path()}) {
        ToolRun run = RunTool("", Cli(args, history));
        EXPECT_EQ(run.exitCode, 6);
        json result = json::parse(run.output, nullptr, false);
        result.erase("time");
        EXPECT_EQ(result, offResult);
        EXPECT_EQ(run.errors, "kvfwdn: the history record could not be written to " + history +
                                  (history == dir.path() ? ": Is a directory\n"
                                                         : ": its folder cannot be created\n") +
                                  off.errors);
    }
}

TEST(E2eHistory, SystemLogLineAndOff) {
    ScratchDir dir;
    std::string socketPath = dir.path() + "/log";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    auto received = [fd] {
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };

    ToolOptions options = Cli({"rpu", "version", "-p", NO_PORT}, dir.path() + "/h.jsonl");
    options.env = {"KVFWDN_SYSLOG_SOCKET=" + socketPath};
    ToolRun run = RunTool("", options);
    EXPECT_EQ(run.exitCode, 6);
    std::string datagram = received();
    std::cout << "system log: " << datagram << "\n";
    std::smatch anchor;
    EXPECT_TRUE(std::regex_match(
        datagram, anchor,
        std::regex("<11>[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d kvfwdn\\[\\d+\\]: "
                   "device=rpu action=version port=" +
                   NO_PORT + " result=-4 exit=6 user=\\S+ error=\"" + NO_PORT +
                   ": No such file or directory\" record=([0-9a-f]{16})")))
        << datagram;
    EXPECT_EQ(received(), "");
    // `record=` anchors the line in the file, as the next `prev` hashes it.
    std::vector<std::string> lines = FileLines(options.history);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(anchor[1].str(), Sha256OfText(lines[0]).substr(0, 16));

    // The change ticket: --ticket wins over KVFWDN_TICKET; record, result
    // and log line carry it. A bad one is a usage error.
    options.args = {"rpu", "version", "-p", NO_PORT, "--json", "--ticket", "CHG-42/b"};
    options.env.push_back("KVFWDN_TICKET=ENV-1");
    run = RunTool("", options);
    EXPECT_EQ(json::parse(run.output, nullptr, false)["ticket"], "CHG-42/b") << run.output;
    EXPECT_EQ(Record(FileLines(options.history).back())["ticket"], "CHG-42/b");
    datagram = received();
    EXPECT_EQ(datagram.substr(datagram.size() - 16), " ticket=CHG-42/b") << datagram;
    options.args.resize(5);
    run = RunTool("", options);
    EXPECT_EQ(Record(FileLines(options.history).back())["ticket"], "ENV-1");
    EXPECT_NE(received().find(" ticket=ENV-1"), std::string::npos);
    for (const std::string& bad :
         std::vector<std::string>{"two words", "", std::string(65, 'x'), "caf\xc3\xa9"}) {
        options.args = {"rpu", "version", "-p", NO_PORT, "--ticket", bad};
        run = RunTool("", options);
        EXPECT_EQ(run.exitCode, 64) << bad;
        EXPECT_EQ(run.errors, "kvfwdn: --ticket: 1 to 64 printable characters without blanks are "
                              "expected (see kvfwdn --help)\n");
    }
    // The menus ask nothing new: a bad KVFWDN_TICKET gives one warning and
    // records without a ticket.
    options.args = {};
    options.env.back() = "KVFWDN_TICKET=bad ticket";
    run = RunTool("1\n1\n" + NO_PORT + "\nq\nq\n", options);
    EXPECT_EQ(run.errors.find("kvfwdn: KVFWDN_TICKET is no valid change ticket"), 0u) << run.errors;
    EXPECT_EQ(Record(FileLines(options.history).back())["ticket"], nullptr);
    EXPECT_EQ(received().find("ticket="), std::string::npos);
    EXPECT_EQ(FileLines(options.history).size(), 4u);
    options.env.pop_back();
    options.args = {"rpu", "version", "-p", NO_PORT};

    // off: no file anywhere, no log line.
    options.history = "off";
    options.env.push_back("XDG_STATE_HOME=" + dir.path() + "/state");
    options.env.push_back("HOME=" + dir.path() + "/home");
    run = RunTool("", options);
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(received(), "");
    struct stat st;
    EXPECT_NE(stat((dir.path() + "/state").c_str(), &st), 0);
    EXPECT_NE(stat((dir.path() + "/home").c_str(), &st), 0);
    close(fd);
}

TEST(E2eHistory, HistoryCommandTextAndJsonSkipBrokenLines) {
    ScratchDir dir;
    std::string sha = "1f3a9c0d" + std::string(56, 'e');
    json records[3] = {{{"time", "2026-12-08T20:31:02.123Z"},
                        {"device", "rpu"},
                        {"action", "download"},
                        {"port", "/dev/ttyUSB0"},
                        {"file", "fw.bin"},
                        {"sha256", sha},
                        {"result", 0},
                        {"ok", true},
                        {"version", nullptr},
                        {"error", nullptr}},
                       {{"time", "2026-12-08T20:35:00.000Z"},
                        {"device", "rpu"},
                        {"action", "download"},
                        {"port", "/dev/ttyUSB0"},
                        {"file", "fw.bin"},
                        {"sha256", nullptr},
                        {"result", -4},
                        {"ok", false},
                        {"version", nullptr},
                        {"error", "Failed"}},
                       {{"time", "2026-12-08T20:40:00.000Z"},
                        {"device", "cdu"},
                        {"action", "version"},
                        {"port", "/dev/ttyS3"},
                        {"file", nullptr},
                        {"sha256", nullptr},
                        {"result", 0},
                        {"ok", true},
                        {"version", "DSP\x1b]0;x"},
                        {"error", nullptr}}};
    std::string text = records[0].dump() + "\n{\"time\": broken\n" + records[1].dump() +
                       "\nnot json at all\n" + records[2].dump() + "\n";
    std::string history = dir.write("history.jsonl", text);
    ToolOptions options = Cli({"history", "-n", "2"}, history);
    options.env = {"TZ=UTC"};
    ToolRun run = RunTool("", options);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              "2026-12-08 20:35:00  rpu download  /dev/ttyUSB0  fw.bin  failed: Failed\n"
              "2026-12-08 20:40:00  cdu version  /dev/ttyS3  DSP?]0;x  ok\n");
    // Read from the end: only the broken lines among those read are told.
    EXPECT_EQ(run.errors,
              "kvfwdn: 1 line of " + history + " is not a valid record and was skipped\n");
    // One line per record, cut to the terminal's width.
    options.env.push_back("COLUMNS=40");
    run = RunTool("", options);
    EXPECT_EQ(run.output, "2026-12-08 20:35:00  rpu download  /dev\u2026\n"
                          "2026-12-08 20:40:00  cdu version  /dev/\u2026\n");
    options.env.pop_back();
    options.args = {"history"};
    run = RunTool("", options);
    std::string first =
        "2026-12-08 20:31:02  rpu download  /dev/ttyUSB0  fw.bin  sha256 1f3a9c0d\u2026  ok\n";
    EXPECT_EQ(run.output.substr(0, first.size()), first);
    options.args = {"history", "--json"};
    run = RunTool("", options);
    EXPECT_EQ(json::parse(run.output, nullptr, false), json(records));
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1);

    // Missing: nothing, or an empty array; no warning.
    options.history = dir.path() + "/none.jsonl";
    run = RunTool("", options);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "[]\n");
    EXPECT_EQ(run.errors, "");
    options.args = {"history"};
    run = RunTool("", options);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.exitCode, 0);
}
