// The firmware file is known before anything is erased: the printer
// download's file check in the menus and on the command line, kvfwdn info,
// --force, the error key of JSON results, and one read of the file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/FwDn.h"
#include "sim/VirtualBootloader.h"
#include "support/ConsoleChild.h"
#include "support/RunTool.h"
#include "support/ServedDevice.h"
#include "support/TtyScreen.h"
#include "test_cdu_util.h"
#include "test_e2e_cdu_dialogue.h"
#include "test_e2e_rpu_dialogue.h"

using nlohmann::json;

namespace {

// A ROM bootloader on a line of its own, started.
using BootDevice = ServedDevice<VirtualBootloader, BootloaderConfig>;

const char* const REFUSED = " This file is not printer firmware. Nothing was written.\n";

// An image whose first two words are `stack` and `reset`.
std::vector<unsigned char> WithVectors(size_t size, uint32_t stack, uint32_t reset) {
    std::vector<unsigned char> image = Firmware(size);
    for (int i = 0; i < 4; ++i) {
        image[i] = static_cast<unsigned char>(stack >> (8 * i));
        image[4 + i] = static_cast<unsigned char>(reset >> (8 * i));
    }
    return image;
}

json Json(const ToolRun& run) {
    json result = json::parse(run.output, nullptr, false);
    EXPECT_TRUE(result.is_object()) << run.output;
    if (!result.is_object())
        return json::object();
    EXPECT_EQ(result["exit"], run.exitCode);
    return result;
}

} // namespace

// The printer menu refuses what is not printer firmware right after the path
// and before the question; nothing reaches the port. The dispenser menu
// refuses a printer file the same way.
TEST(E2eFileCheck, MenusRefuseWrongFilesBeforeThePort) {
    using namespace rpu_dialogue;
    ScratchDir dir;
    BootDevice rom;
    std::string port = rom.port;
    const struct {
        std::string name;
        std::vector<unsigned char> bytes;
        std::string reason;
    } cases[] = {
        {"cdu.bin", Firmware(4000, "CDU_0W1500_", 100),
         "dispenser firmware (model MIRO), not printer firmware"},
        {"short.txt", {'a', 'b', '\n'}, "3 bytes, too short for a vector table"},
        {"stack.bin", WithVectors(400, 0x20005002, 0x08000101),
         "stack word 0x20005002 is not a word-aligned RAM address"},
        {"ram.bin", WithVectors(400, 0x20080004, 0x08000101),
         "stack word 0x20080004 is not a word-aligned RAM address"},
        {"outside.bin", WithVectors(400, 0x10010000, 0x08000191),
         "reset address 0x08000191 is not a Thumb address inside the image (0x08000008 to "
         "0x0800018F)"},
        {"even.bin", WithVectors(400, 0x20005000, 0x08000100),
         "reset address 0x08000100 is not a Thumb address inside the image (0x08000008 to "
         "0x0800018F)"},
    };
    for (const auto& c : cases) {
        std::string path = dir.write(c.name, c.bytes);
        ToolRun run = RunTool("1\n2\n" + port + "\n" + path + "\nq\nq\n", 60000, "", true);
        EXPECT_EQ(run.output, EnterRpuMenu() + dialogue::PortPrompt("/dev/ttyS4") + "\n" +
                                  PathPrompt("") + REFUSED + QuitBoth())
            << c.name;
        EXPECT_EQ(run.errors, "kvfwdn: " + path + ": " + c.reason + "\n");
    }
    EXPECT_TRUE(rom.device.received().empty());

    // A good file (core-coupled RAM stack, the last byte as reset target)
    // reaches the question, with the identity line before it.
    std::string good = dir.write("good.bin", WithVectors(400, 0x10010000, 0x0800018F));
    ToolRun run = RunTool("1\n2\n" + port + "\n" + good + "\nn\nq\nq\n", 60000, "", true);
    EXPECT_EQ(run.output, EnterRpuMenu() + dialogue::PortPrompt("/dev/ttyS4") +
                              DownloadQuestion("") + " Cancel firmware download.\n" + QuitBoth());
    EXPECT_EQ(run.errors, IdentityLine(good, "printer firmware"));

    std::string printer = dir.write("rpu.bin", PrinterFirmware(300));
    run = RunTool("2\n3\n" + port + "\n" + printer + "\nq\nq\n", 60000, "", true);
    EXPECT_EQ(run.output, cdu_dialogue::EnterCduMenu() + dialogue::PortPrompt("/dev/ttyS3") +
                              cdu_dialogue::DownloadStart("") + cdu_dialogue::NoFirmware() +
                              cdu_dialogue::QuitBoth());
    EXPECT_EQ(run.errors, "kvfwdn: " + printer + ": printer firmware, not dispenser firmware\n");
    EXPECT_TRUE(rom.device.received().empty());
}

// kvfwdn info opens no port: text and JSON for both devices' files, a file
// that is neither, and files that cannot be read.
TEST(E2eFileCheck, InfoTextAndJson) {
    ScratchDir dir;
    std::string rpu = dir.write("rpu.bin", WithVectors(4000, 0x20005000, 0x08000131));
    std::string cdu = dir.write("cdu.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
    std::string text = dir.write("text", std::string("hi\n"));
    std::string empty = dir.write("empty.bin", std::string());

    ToolRun run = RunToolArgs({"info", rpu});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, rpu + ": 4000 bytes, sha256 " + Sha256Of(rpu) +
                              "\nprinter firmware: stack 0x20005000, reset 0x08000131\n");
    EXPECT_EQ(run.errors, "");
    run = RunToolArgs({"info", cdu});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, cdu + ": 3000 bytes, sha256 " + Sha256Of(cdu) +
                              "\ndispenser firmware: model CIRN, version 17A100, loader road\n");
    run = RunToolArgs({"info", text});
    EXPECT_EQ(run.exitCode, 8);
    EXPECT_EQ(run.output, text + ": 3 bytes, sha256 " + Sha256Of(text) +
                              "\nnot firmware for either device: 3 bytes, too short for a "
                              "vector table\n");
    EXPECT_EQ(run.errors, "kvfwdn: " + text + ": 3 bytes, too short for a vector table\n");

    // Like every result, it says when it ran and which tool gave it.
    json info = Json(RunToolArgs({"info", rpu, "--json"}));
    EXPECT_EQ(info["kvfwdn"], KVFWDN_VERSION);
    EXPECT_EQ(info["time"].get_ref<const std::string&>().size(), 24u) << info;
    info.erase("time");
    EXPECT_EQ(info, json({{"action", "info"},
                          {"file", rpu},
                          {"file_hex", nullptr},
                          {"kvfwdn", KVFWDN_VERSION},
                          {"bytes", 4000},
                          {"sha256", Sha256Of(rpu)},
                          {"device", "rpu"},
                          {"model", nullptr},
                          {"version", nullptr},
                          {"road", nullptr},
                          {"stack", "20005000"},
                          {"reset", "08000131"},
                          {"approved", nullptr},
                          {"ok", true},
                          {"exit", 0},
                          {"message", "printer firmware: stack 0x20005000, reset 0x08000131"},
                          {"error", nullptr}}));
    json result = Json(RunToolArgs({"info", cdu, "--json"}));
    EXPECT_EQ(result["device"], "cdu");
    EXPECT_EQ(result["model"], "CIRN");
    EXPECT_EQ(result["version"], "17A100");
    EXPECT_EQ(result["road"], "loader");
    EXPECT_EQ(result["stack"], nullptr);
    result = Json(RunToolArgs({"info", "--json", text}));
    EXPECT_EQ(result["device"], nullptr);
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["error"], text + ": 3 bytes, too short for a vector table");
    result = Json(RunToolArgs({"info", "--json", dir.file("missing")}));
    EXPECT_EQ(result["exit"], 1);
    EXPECT_EQ(result["error"], dir.file("missing") + ": No such file or directory");
    result = Json(RunToolArgs({"info", "--json", empty}));
    EXPECT_EQ(result["exit"], 2);
    EXPECT_EQ(result["error"], empty + ": empty file");
    EXPECT_EQ(RunToolArgs({"info", dir.path()}).exitCode, 2);
}

// The printer download refuses a dispenser file with 8 unless --force, which
// says so and writes the very bytes of the file; the dispenser download
// refuses a printer file with 8.
TEST(E2eFileCheck, ForceAndExitEight) {
    ScratchDir dir;
    BootDevice rom;
    std::vector<unsigned char> image = Firmware(600, "CDU_0W1500_", 100);
    std::string cdu = dir.write("cdu.bin", image);
    std::string rpu = dir.write("rpu.bin", PrinterFirmware(300));
    const std::string reason = "dispenser firmware (model MIRO), not printer firmware";

    ToolRun run = RunToolArgs({"rpu", "download", "-p", rom.port, cdu, "--json"});
    json result = Json(run);
    EXPECT_EQ(result["exit"], 8);
    EXPECT_EQ(result["message"], "This file is not printer firmware. Nothing was written.");
    EXPECT_EQ(result["error"], cdu + ": " + reason);
    EXPECT_EQ(result["sha256"], Sha256Of(cdu));
    EXPECT_EQ(run.errors, "kvfwdn: " + cdu + ": " + reason + "\n");
    EXPECT_TRUE(rom.device.received().empty());

    run = RunToolArgs({"cdu", "download", "-p", rom.port, rpu});
    EXPECT_EQ(run.exitCode, 8);
    EXPECT_EQ(run.errors, "kvfwdn: " + rpu + ": printer firmware, not dispenser firmware\n");
    EXPECT_TRUE(rom.device.received().empty());

    run = RunToolArgs({"rpu", "download", "--force", "-p", rom.port, cdu, "--json"});
    result = Json(run);
    EXPECT_EQ(result["exit"], 0);
    EXPECT_EQ(result["error"], nullptr);
    EXPECT_EQ(run.errors, "kvfwdn: " + cdu + ": not printer firmware (" + reason +
                              "); downloading it anyway (--force)\n" +
                              IdentityLine(cdu, "dispenser firmware, model MIRO"));
    EXPECT_EQ(rom.device.memory(0x08000000, 600), image);
}

// A port that cannot be opened: error is the OS's reason, not the menu text;
// the identity line before it does not count.
TEST(E2eFileCheck, ErrorKeyOnPortFailure) {
    ScratchDir dir;
    std::string rpu = dir.write("rpu.bin", PrinterFirmware(300));
    const std::string port = "/dev/kvfwdn-no-such-port";
    ToolRun run = RunToolArgs({"rpu", "download", "-p", port, rpu, "--json"});
    json result = Json(run);
    EXPECT_EQ(result["exit"], 6);
    EXPECT_EQ(result["error"], port + ": No such file or directory");
    EXPECT_EQ(run.errors, IdentityLine(rpu, "printer firmware") + "kvfwdn: " + port +
                              ": No such file or directory\n");
    result = Json(RunToolArgs({"rpu", "version", "-p", port, "--json"}));
    EXPECT_EQ(result["error"], port + ": No such file or directory");
    result = Json(RunToolArgs({"cdu", "download", "-p", port, dir.file("none"), "--json"}));
    EXPECT_EQ(result["exit"], 1);
    EXPECT_EQ(result["error"], dir.file("none") + ": No such file or directory");
}

// The file is read once: a file replaced while the question waits is not
// what gets written; the bytes classified and shown are.
TEST(E2eFileCheck, FileReplacedAtTheQuestionIsNotFlashed) {
    ScratchDir dir;
    BootDevice rom;
    std::vector<unsigned char> image = Firmware(300, "IMBRA2_CDU_0G2A09_2020", 10);
    std::string path = dir.write("fw.bin", image);
    std::string port = rom.port;

    VirtualLine console;
    ASSERT_TRUE(console.ok());
    TtyChild child = StartConsoleChildOnTty(console.slavePath(), [] {
        DisplayCDUMenu();
        return 0;
    });
    ASSERT_GT(child.pid, 0);
    TtyScreen screen(console, 10000);
    ASSERT_TRUE(screen.waitFor("ANY KEY")) << screen.seen;
    screen.type("3\n");
    ASSERT_TRUE(screen.waitFor("Port Name")) << screen.seen;
    screen.type(port + "\n");
    ASSERT_TRUE(screen.waitFor("path : ")) << screen.seen;
    screen.type(path + "\n");
    ASSERT_TRUE(screen.waitFor("(Y/n) : ")) << screen.seen;
    dir.write("fw.bin", Firmware(900, "CDU_0W1500_", 40)); // another model, another road
    screen.type("y\n");
    ASSERT_TRUE(screen.waitFor("Download operation finished")) << screen.seen;
    screen.type("q\n");
    ChildResult result = FinishConsoleChild(child);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(rom.device.memory(0x08000000, 300), image);
    EXPECT_EQ(rom.device.memory(0x08000000 + 300, 4), std::vector<unsigned char>(4, 0xFF));
}
