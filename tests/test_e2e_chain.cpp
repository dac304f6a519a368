// The record's hash chain and its faults: `history --verify` on edited and
// removed lines, a torn last line, a line too deep or too long, what is not
// a regular file at the history path, the CSV export and `-n` read from the
// end of a large file.
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/VirtualLine.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"

using nlohmann::json;

namespace {

const std::string NO_PORT = "/dev/kvfwdn-no-such-port";

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

ToolRun RunHistory(const std::vector<std::string>& args, const std::string& history,
                   const std::vector<std::string>& env = {}) {
    ToolOptions options = CapturingOptions();
    options.args = args;
    options.history = history;
    options.env = env;
    return RunTool("", options);
}

// `count` records made by the tool (queries that fail at once).
std::vector<std::string> MadeRecords(const std::string& history, int count) {
    for (int i = 0; i < count; ++i)
        RunHistory({"rpu", "version", "-p", NO_PORT}, history);
    return FileLines(history);
}

} // namespace

TEST(E2eChain, VerifyFindsEditedRemovedAndUnchainedLines) {
    ScratchDir dir;
    std::string history = dir.path() + "/h.jsonl";
    MadeRecords(history, 4);
    // The signal path's record joins the chain too.
    VirtualLine silent;
    ToolOptions options = CapturingOptions();
    options.args = {"rpu", "version", "-p", silent.slavePath()};
    options.history = history;
    options.signal = SIGINT;
    options.signalAfterMs = 700;
    EXPECT_EQ(RunTool("", options).exitCode, 128 + SIGINT);
    std::vector<std::string> lines = FileLines(history);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(json::parse(lines[4])["error"], "interrupted by SIGINT");
    ToolRun run = RunHistory({"history", "--verify"}, history);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "5 records, chain intact\n");

    // Records written before the chain lead the file: counted, not faulted.
    json old = json::parse(lines[0]);
    old.erase("prev");
    std::vector<std::string> edited = lines;
    edited[2].replace(edited[2].find("\"exit\":6"), 8, "\"exit\":0");
    std::vector<std::string> removed = lines;
    removed.erase(removed.begin() + 1);
    std::vector<std::string> unchained = lines;
    unchained[3] = old.dump();
    unchained.insert(unchained.begin(), old.dump());
    const struct {
        std::vector<std::string> lines;
        std::string breaks;
        long long records;
    } cases[] = {
        {edited, "line 4: prev does not match line 3 (a line was edited or removed)\n", 5},
        {removed, "line 2: prev does not match line 1 (a line was edited or removed)\n", 4},
        {unchained,
         "line 2: prev missing or null after the chain began\n"
         "line 5: prev missing or null after the chain began\n"
         "line 6: prev does not match line 5 (a line was edited or removed)\n",
         6},
        {{lines[2], lines[3], "{\"time\": torn"},
         "line 1: prev does not match the start of the file (a line was removed)\n"
         "line 3: not a valid record\n",
         2},
    };
    for (const auto& c : cases) {
        std::string path = dir.write("case.jsonl", Join(c.lines));
        run = RunHistory({"history", "--verify"}, path);
        EXPECT_EQ(run.exitCode, 12);
        EXPECT_EQ(run.output, c.breaks + std::to_string(c.records) + " records, chain broken\n");
        run = RunHistory({"history", "--verify", "--json"}, path);
        EXPECT_EQ(run.exitCode, 12);
        json result = json::parse(run.output, nullptr, false);
        EXPECT_EQ(json::array({result["records"], result["intact"], result["ok"], result["exit"],
                               result["action"]}),
                  json::array({c.records, false, false, 12, "history"}));
        std::string texts;
        for (const json& b : result["breaks"])
            texts += "line " + b["line"].dump() + ": " + b["reason"].get<std::string>() + "\n";
        EXPECT_EQ(texts, c.breaks) << run.output;
    }
}

TEST(E2eChain, TornDeepAndLongLinesStayOneBadLineEach) {
    ScratchDir dir;
    std::string history = dir.path() + "/h.jsonl";
    std::vector<std::string> lines = MadeRecords(history, 1);
    // A record cut short by a full disk, then the next action.
    std::string torn = lines[0].substr(0, 50);
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string longLine = "{\"time\":\"" + std::string(70 * 1024, 'x') + "\"}";
    dir.write("h.jsonl", lines[0] + "\n" + deep + "\n" + longLine + "\n" + torn);
    MadeRecords(history, 1);
    lines = FileLines(history);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], torn);
    json next = json::parse(lines[4], nullptr, false);
    EXPECT_EQ(next["prev"], Sha256OfText(torn));

    ToolRun run = RunHistory({"history", "--json"}, history);
    EXPECT_EQ(run.exitCode, 0);
    json shown = json::parse(run.output, nullptr, false);
    ASSERT_TRUE(shown.is_array()) << run.output;
    EXPECT_EQ(shown.size(), 2u);
    EXPECT_EQ(run.errors,
              "kvfwdn: 3 lines of " + history + " are not a valid record and were skipped\n");
    run = RunHistory({"history", "--verify"}, history);
    EXPECT_EQ(run.output, "line 2: not a valid record\nline 3: not a valid record\n"
                          "line 4: not a valid record\n2 records, chain broken\n");
}

TEST(E2eChain, WhatIsNoWritableRegularFileGetsNoRecordAndNeverBlocks) {
    ScratchDir dir;
    std::string target = dir.write("target.jsonl", "");
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string link = dir.file("link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    std::string readOnly = dir.write("read-only.jsonl", "");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    const struct {
        std::string path;
        std::string cause;
    } cases[] = {
        {fifo, "it is a FIFO, not a regular file"},
        {link, "it is a symbolic link, which the record does not follow"},
        {readOnly, "the file is read-only"},
        {"/dev/null", "it is a device, not a regular file"},
    };
    VirtualLine silent; // a port that never answers, for the signal path
    for (const auto& c : cases) {
        ToolRun run = RunHistory({"rpu", "version", "-p", NO_PORT, "--json"}, c.path);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 6);
        EXPECT_EQ(json::parse(run.output, nullptr, false)["exit"], 6) << run.output;
        EXPECT_EQ(run.errors.find("kvfwdn: the history record could not be written to " + c.path +
                                  ": " + c.cause + "\n"),
                  0u)
            << run.errors;
        // A signal mid-action: its JSON line, and nothing waits on the path.
        ToolOptions options = CapturingOptions();
        options.args = {"rpu", "version", "-p", silent.slavePath(), "--json"};
        options.history = c.path;
        options.signal = SIGTERM;
        options.signalAfterMs = 700;
        options.timeoutMs = 10000;
        run = RunTool("", options);
        EXPECT_FALSE(run.timedOut) << c.path;
        EXPECT_EQ(run.exitCode, 128 + SIGTERM);
        EXPECT_EQ(json::parse(run.output, nullptr, false)["exit"], 128 + SIGTERM) << run.output;
    }
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(stat(readOnly.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ToolRun run = RunHistory({"history"}, fifo);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 9);
    EXPECT_EQ(run.errors, "kvfwdn: the history " + fifo +
                              " cannot be read: it is a FIFO, not a regular file\n");
    run = RunHistory({"history"}, "off");
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "kvfwdn: the record is off (KVFWDN_HISTORY=off)\n");
}

TEST(E2eChain, CsvExportWithFiltersAndFormulaLikeValues) {
    ScratchDir dir;
    std::string history = dir.path() + "/h.jsonl";
    std::vector<std::string> lines = MadeRecords(history, 1);
    // The columns: the keys of a record, in the order its line gives them.
    json a = json::parse(lines[0]);
    std::string header;
    for (auto& item : a.items())
        header += (header.empty() ? "" : ",") + item.key();
    a["time"] = "2026-11-30T23:59:59.999Z";
    json b = a;
    b["time"] = "2026-12-01T00:00:00.000Z";
    b["device"] = "cdu";
    b["error"] = "=HYPERLINK(\"x\")";
    json c = a;
    c["time"] = "2026-12-02T10:00:00.000Z";
    dir.write("h.jsonl", Join({a.dump(), "broken", b.dump(), c.dump()}));
    auto row = [&](const json& record) {
        std::string text;
        for (auto& item : record.items()) {
            std::string value = item.value().is_null()     ? ""
                                : item.value().is_string() ? item.value().get<std::string>()
                                                           : item.value().dump();
            if (item.key() == "error" && value[0] == '=')
                value = "'=HYPERLINK(\"\"x\"\")";
            text += (text.empty() ? "\"" : ",\"") + value + "\"";
        }
        return text + "\r\n";
    };
    const struct {
        std::vector<std::string> args;
        std::string rows;
    } cases[] = {
        {{}, row(a) + row(b) + row(c)},
        {{"--since", "2026-12-01"}, row(b) + row(c)},
        {{"--until", "2026-12-01", "--device", "rpu"}, row(a)},
        {{"--device", "rpu", "-n", "1"}, row(c)},
    };
    for (const auto& k : cases) {
        std::vector<std::string> args = {"history", "--csv"};
        args.insert(args.end(), k.args.begin(), k.args.end());
        ToolRun run = RunHistory(args, history);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, header + "\r\n" + k.rows) << k.args.size();
    }
    // The filters work for the other forms too; bad dates and mixed forms
    // are usage errors.
    ToolRun run = RunHistory({"history", "--json", "--device", "cdu"}, history);
    EXPECT_EQ(json::parse(run.output, nullptr, false), json::array({b}));
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--since", "2026-02-30"},
                                                {"--until", "1.12.2026"},
                                                {"--csv", "--json"},
                                                {"-n", "0"},
                                                {"-n", "100001"},
                                                {"--verify", "-n", "3"}}) {
        std::vector<std::string> args = {"history"};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunHistory(args, history).exitCode, 64) << bad[0];
    }
}

TEST(E2eChain, LastRecordsReadFromTheEndOfALargeFile) {
    ScratchDir dir;
    std::string history = dir.path() + "/h.jsonl";
    std::vector<std::string> made = MadeRecords(history, 1);
    json record = json::parse(made[0]);
    std::ofstream out(history);
    std::vector<std::string> lines;
    for (int i = 0; i < 12000; ++i) { // about 5 MB
        record["seconds"] = i;
        lines.push_back(record.dump());
        out << lines.back() << "\n";
    }
    out.close();
    std::string counted = dir.file("read");
    // A sanitizer build wants its runtime first; the interposer comes first here.
    std::vector<std::string> env = {"LD_PRELOAD=" KV_COUNT_READS, "KV_COUNT_READS_OF=" + history,
                                    "KV_COUNT_READS_TO=" + counted,
                                    "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    ToolRun run = RunHistory({"history", "-n", "3", "--json"}, history, env);
    EXPECT_EQ(run.exitCode, 0);
    json expected = json::array();
    for (size_t i = lines.size() - 3; i < lines.size(); ++i)
        expected.push_back(json::parse(lines[i]));
    EXPECT_EQ(json::parse(run.output, nullptr, false), expected);
    long long bytes = -1;
    std::ifstream(counted) >> bytes;
    // One chunk from the end (and the last byte), not the file.
    EXPECT_GT(bytes, 0);
    EXPECT_LE(bytes, 64 * 1024 + 1);
    // The export streams the whole file once.
    run = RunHistory({"history", "--csv"}, history, env);
    std::ifstream(counted) >> bytes;
    struct stat st;
    ASSERT_EQ(stat(history.c_str(), &st), 0);
    EXPECT_EQ(bytes, st.st_size);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 12001);
}
