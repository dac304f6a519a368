// What the command line says when something fails and how it shows a
// download: the failing step and address of every kvsim fault in the JSON
// result and the record, the wire trace, and the progress line's texts.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/console/ProgressLine.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualPrinter.h"
#include "support/HexText.h"
#include "support/KvsimChild.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "test_cdu_util.h"

using nlohmann::json;

namespace {

ToolRun RunCli(const std::vector<std::string>& args, const std::string& history = "off") {
    ToolOptions options = CapturingOptions();
    options.args = args;
    options.history = history;
    return RunTool("", options);
}

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The bytes of the trace's lines in one direction ('>' or '<'), as hex.
std::string TracedBytes(const std::vector<std::string>& lines, char direction) {
    std::string hex;
    for (const std::string& line : lines) {
        size_t at = line.find(' ');
        if (at != std::string::npos && line.size() > at + 3 && line[at + 1] == direction)
            hex += line.substr(at + 3) + " ";
    }
    return hex;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
    return bytes.empty() ? "" : HexDigits(bytes.data(), bytes.size(), false, " ") + " ";
}

} // namespace

// Every fault kvsim makes, on both roads: the reason line on standard error,
// and the same reason, step and address in the JSON result and the record.
TEST(E2eSay, EveryKvsimFaultNamesItsStep) {
    struct Case {
        const char* device;
        const char* fault;
        int exit;
        const char* step;
        const char* address; // nullptr: none
        const char* reason;
    };
    const Case cases[] = {
        {"rpu", "erase", 4, "erase", nullptr, "erase refused (NACK)"},
        {"rpu", "write", 4, "write", "0x08000200",
         "write refused at 0x08000200 (NACK after the data)"},
        {"rpu", "readback", 5, "verify", "0x08000080", "read-back differs at 0x08000080"},
        {"rpu", "silent", 3, "start", nullptr,
         "no answer from the ROM bootloader to the sync byte"},
        {"cdu", "badreply", 4, "blocks", nullptr, "loader refused block 2 (NAK)"},
        {"cdu", "noack", 4, "blocks", nullptr, "no ACK for block 2 within 5 s"},
        {"cdu", "noready", 3, "push", nullptr,
         "the loader did not start (no '~' within 10 s after the push)"},
    };
    ScratchDir records;
    std::string history = records.file("history.jsonl");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::string device = c.device;
        // A kvsim of its own for each fault: no reset waits for a device
        // still inside the last failed transfer.
        ScratchDir dir;
        Kvsim kvsim({"--dir", dir.path(), "--" + device + "-fault", c.fault});
        ASSERT_TRUE(kvsim.waitFor("kvsim> ", 10000)) << kvsim.output;
        std::string loaderFile =
            dir.write("cirn.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
        std::string port = dir.file(device);
        std::string file = device == "rpu" ? dir.file("rpu-sample.bin") : loaderFile;
        ToolRun run = RunCli({device, "download", "-p", port, file, "--json"}, history);
        EXPECT_EQ(run.exitCode, c.exit) << run.errors;
        std::string reason = port + ": " + c.reason;
        EXPECT_NE(run.errors.find("kvfwdn: " + reason + "\n"), std::string::npos) << run.errors;
        json result = json::parse(run.output, nullptr, false);
        EXPECT_EQ(result["error"], reason);
        EXPECT_EQ(result["step"], c.step);
        EXPECT_EQ(result["address"], c.address ? json(c.address) : json());
        std::vector<std::string> lines = Lines(history);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(json::parse(lines.back(), nullptr, false)["error"], reason);
        if (std::string(c.fault) != "silent")
            continue;
        // A silent printer's version query says which rates were tried.
        json version =
            json::parse(RunCli({"rpu", "version", "-p", port, "--json"}).output, nullptr, false);
        EXPECT_EQ(version["exit"], 7);
        EXPECT_EQ(version["error"],
                  port + ": no answer from the printer at 115200, 460800, 9600 or 57600 baud");
    }
}

// The trace of a version query holds exactly the bytes on the wire; that of
// a download starts with the open at the bootloader's format and the sync
// byte, changes no setting unasked, and is appended to, 0600. A trace that
// cannot be written warns once and changes nothing else.
TEST(E2eSay, WireTraceOfAQueryAndADownload) {
    ScratchDir dir;
    std::string trace = dir.file("trace.txt");
    {
        VirtualLine line;
        VirtualPrinter printer(line, PrinterConfig());
        printer.start();
        ToolRun run = RunCli({"rpu", "version", "-p", line.slavePath(), "--trace", trace});
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        std::vector<std::string> lines = Lines(trace);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0].substr(lines[0].find(' ')), " open " + line.slavePath() + " 115200 8N1");
        EXPECT_EQ(lines.back().substr(lines.back().find(' ')), " close");
        // The device thread may take the last ACK after the tool has ended.
        for (int ms = 0; ms < 3000 && Hex(printer.received()) != TracedBytes(lines, '>'); ms += 10)
            usleep(10000);
        EXPECT_EQ(TracedBytes(lines, '>'), Hex(printer.received()));
        EXPECT_EQ(TracedBytes(lines, '<'), Hex(printer.sent()));
        for (const std::string& l : lines) {
            size_t dot = l.find('.');
            EXPECT_TRUE(dot != std::string::npos && l.find(' ') == dot + 7) << l;
        }
    }
    struct stat st;
    ASSERT_EQ(stat(trace.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    size_t before = Lines(trace).size();

    VirtualLine line;
    VirtualBootloader boot(line, BootloaderConfig());
    boot.start();
    std::string file = dir.write("fw.bin", PrinterFirmware(300));
    ToolOptions options = CapturingOptions();
    options.args = {"rpu", "download", "-p", line.slavePath(), file};
    options.env = {"KVFWDN_TRACE=" + trace};
    ToolRun run = RunTool("", options);
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    std::vector<std::string> lines = Lines(trace);
    ASSERT_GT(lines.size(), before + 4);
    EXPECT_EQ(lines[before].substr(lines[before].find(' ')),
              " open " + line.slavePath() + " 115200 8E1");
    EXPECT_EQ(lines[before + 1].substr(lines[before + 1].find(' ')), " > 7f");
    EXPECT_EQ(lines[before + 2].substr(lines[before + 2].find(' ')), " < 79");

    // A link in the trace's place is not followed.
    std::string link = dir.file("link.txt");
    ASSERT_EQ(symlink(trace.c_str(), link.c_str()), 0);
    run = RunCli({"rpu", "download", "-p", line.slavePath(), file, "--trace", link});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.errors.find("kvfwdn: the wire trace could not be written to " + link),
              std::string::npos)
        << run.errors;
    EXPECT_EQ(Lines(trace).size(), lines.size());
}

TEST(E2eSay, ProgressAndClosingLineTexts) {
    struct Case {
        ProgressPhase phase;
        unsigned long long done, total;
        uint64_t ms;
        const char* text;
    };
    const Case cases[] = {
        {PHASE_WRITE, 65536, 262144, 5714, "write  65536/262144 bytes  11.2 KiB/s  0:17 left"},
        {PHASE_VERIFY, 0, 262144, 0, "verify 0/262144 bytes  -- KiB/s  -- left"},
        {PHASE_BLOCKS, 1024, 4096000, 1000, "blocks 1024/4096000 bytes  1.0 KiB/s  1:06:39 left"},
        {PHASE_PUSH, 4096, 4096, 2000, "push   4096/4096 bytes  2.0 KiB/s  0:00 left"},
        {PHASE_ERASE, 0, 0, 2140, "erase  ... 2.1 s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressLineText(c.phase, c.done, c.total, c.ms), c.text);
    EXPECT_EQ(ClosingLineText(262144, false, 47300),
              "262144 bytes written and verified in 47.3 s (5.4 KiB/s)");
    EXPECT_EQ(ClosingLineText(3000, true, 1500), "3000 bytes sent in 1.5 s (2.0 KiB/s)");
}
