// The approved list: kvfwdn policy, policy check, policy new (its output,
// signed with minisign, is accepted), info's `approved`, and downloads on
// the command line and in the menus under a list.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "sim/VirtualBootloader.h"
#include "support/PolicyKit.h"
#include "support/RunTool.h"
#include "support/ServedDevice.h"
#include "test_cdu_util.h"
#include "test_e2e_cdu_dialogue.h"
#include "test_e2e_rpu_dialogue.h"

using nlohmann::json;

namespace {

ToolRun RunWith(const PolicyKit& kit, const std::vector<std::string>& args) {
    ToolOptions options = CapturingOptions();
    options.args = args;
    options.env = {kit.Env()};
    return RunTool("", options);
}

json JsonOf(const ToolRun& run) {
    json result = json::parse(run.output, nullptr, false);
    EXPECT_TRUE(result.is_object()) << run.output;
    if (!result.is_object())
        return json::object();
    EXPECT_EQ(result["exit"], run.exitCode);
    for (const char* key : {"time", "kvfwdn", "error", "ok", "exit", "action"})
        EXPECT_TRUE(result.contains(key) || result["action"] == "info") << key;
    return result;
}

} // namespace

// policy new writes the list, minisign signs it, kvfwdn policy shows it in
// force and policy check and info answer by it.
TEST(E2ePolicy, NewSignShowAndCheck) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    ScratchDir files;
    std::string rpu = files.write("rpu.bin", PrinterFirmware(400));
    std::string cdu = files.write("cdu.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
    std::string text = files.write("text", std::string("hi\n"));

    ToolRun run = RunWith(kit, {"policy"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, kit.dir() + ": no approved list (no " + kit.list() +
                              "); downloads are not checked\n");
    run = RunWith(kit, {"policy", "new", "--serial", "7", rpu});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "{\n  \"serial\": 7,\n  \"firmware\": [\n    {\n      \"sha256\": \"" +
                              Sha256Of(rpu) +
                              "\",\n      \"device\": \"rpu\",\n      \"name\": \"" + rpu +
                              "\"\n    }\n  ]\n}\n");
    ASSERT_TRUE(kit.InstallText(run.output));

    run = RunWith(kit, {"policy"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, kit.dir() + ": policy 7 in force, signed by key " + kit.KeyIdOf("site") +
                              ", 1 entry\n");
    json result = JsonOf(RunWith(kit, {"policy", "--json"}));
    EXPECT_EQ(result["action"], "policy");
    EXPECT_EQ(result["dir"], kit.dir());
    EXPECT_EQ(result["in_force"], true);
    EXPECT_EQ(result["serial"], 7);
    EXPECT_EQ(result["key_id"], kit.KeyIdOf("site"));
    EXPECT_EQ(result["entries"], 1);

    const std::string notListed =
        cdu + ": sha256 " + Sha256Of(cdu) + " is not in the approved list (policy 7)";
    run = RunWith(kit, {"policy", "check", rpu, cdu});
    EXPECT_EQ(run.exitCode, 10);
    EXPECT_EQ(run.output, rpu + ": approved for the printer (policy 7)\n" + cdu +
                              ": not approved (" + notListed.substr(cdu.size() + 2) + ")\n");
    EXPECT_EQ(run.errors, "kvfwdn: " + notListed + "\n");
    result = JsonOf(RunWith(kit, {"policy", "check", "--json", rpu, cdu}));
    EXPECT_EQ(result["error"], notListed);
    EXPECT_EQ(result["policy_serial"], 7);
    EXPECT_EQ(
        result["files"],
        json({{{"file", rpu}, {"sha256", Sha256Of(rpu)}, {"device", "rpu"}, {"approved", true}},
              {{"file", cdu}, {"sha256", Sha256Of(cdu)}, {"device", "cdu"}, {"approved", false}}}));
    EXPECT_EQ(RunWith(kit, {"policy", "check", rpu}).exitCode, 0);
    EXPECT_EQ(RunWith(kit, {"policy", "check", rpu, files.file("missing")}).exitCode, 1);
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", rpu}))["approved"], true);
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", cdu}))["approved"], false);
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", text}))["approved"], nullptr);

    // A list that cannot be trusted: exit 10, and info says false.
    chmod(kit.list().c_str(), 0664);
    run = RunWith(kit, {"policy"});
    EXPECT_EQ(run.exitCode, 10);
    EXPECT_EQ(run.errors, "kvfwdn: " + kit.list() + ": writable by group or others (mode 0664)\n");
    result = JsonOf(RunWith(kit, {"policy", "--json"}));
    EXPECT_EQ(result["in_force"], false);
    EXPECT_EQ(result["serial"], nullptr);
    EXPECT_EQ(result["error"], kit.list() + ": writable by group or others (mode 0664)");
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", rpu}))["approved"], false);
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", rpu}))["exit"], 0);
}

// policy new refuses what is firmware for neither device (8, nothing on
// standard output), a missing file (1) and a missing or bad serial (64).
TEST(E2ePolicy, NewRefusals) {
    PolicyKit kit;
    ScratchDir files;
    std::string rpu = files.write("rpu.bin", PrinterFirmware(400));
    std::string text = files.write("text", std::string("hi\n"));
    const struct {
        std::vector<std::string> args;
        int exit;
    } cases[] = {
        {{"policy", "new", "--serial", "3", rpu, text}, 8},
        {{"policy", "new", "--serial", "3", files.file("missing")}, 1},
        {{"policy", "new", rpu}, 64},
        {{"policy", "new", "--serial", "0", rpu}, 64},
        {{"policy", "new", "--serial", "-2", rpu}, 64},
    };
    for (const auto& c : cases) {
        ToolRun run = RunWith(kit, c.args);
        EXPECT_EQ(run.exitCode, c.exit) << c.args.back();
        EXPECT_EQ(run.output, "");
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        json result = JsonOf(RunWith(kit, args));
        EXPECT_EQ(result["ok"], false);
        EXPECT_TRUE(result["error"].is_string());
    }
}

namespace {

using BootDevice = ServedDevice<VirtualBootloader, BootloaderConfig>;

// The last record of the history file `path`.
json LastRecord(const std::string& path) {
    std::string history = ReadWholeFile(path);
    size_t start = history.rfind('{');
    return json::parse(start == std::string::npos ? "{}" : history.substr(start), nullptr, false);
}

const char* const NOT_APPROVED = " This file is not approved for this unit. Nothing was written.\n";

} // namespace

// Downloads on the command line under a list: approved goes through and is
// recorded with the serial; not listed, listed for the other device, a list
// that does not verify or is group-writable, --force: exit 10 before any
// port; the file check refuses first (8).
TEST(E2ePolicy, CommandLineDownloads) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    ScratchDir files;
    BootDevice rom;
    std::vector<unsigned char> image = PrinterFirmware(300);
    std::string rpu = files.write("rpu.bin", image);
    std::string other = files.write("other.bin", PrinterFirmware(200));
    std::string cdu = files.write("cdu.bin", Firmware(600, "IMBRA2_CDU_0G2A09_2020", 10));
    ASSERT_TRUE(kit.Install(7, {{Sha256Of(rpu), "rpu"}, {Sha256Of(other), "cdu"}}));
    const std::string notListed =
        cdu + ": sha256 " + Sha256Of(cdu) + " is not in the approved list (policy 7)";
    const std::string signature =
        kit.list() + ": signature does not verify with any key in " + kit.dir() + "/keys";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::function<void()> spoil;
        int exit;
        json approved, serial;
        std::string errors;
    } cases[] = {
        {"not listed",
         {"cdu", "download", cdu},
         nullptr,
         10,
         false,
         7,
         "kvfwdn: " + notListed + "\n"},
        {"the other device",
         {"rpu", "download", other},
         nullptr,
         10,
         false,
         7,
         "kvfwdn: " + other + ": sha256 " + Sha256Of(other) +
             " is approved for the dispenser, not the printer (policy 7)\n"},
        {"--force",
         {"rpu", "download", "--force", cdu},
         nullptr,
         10,
         false,
         7,
         "kvfwdn: --force does not pass the approved list\nkvfwdn: " + notListed + "\n"},
        {"the file check first", {"rpu", "download", cdu}, nullptr, 8, nullptr, nullptr, ""},
        {"tampered",
         {"rpu", "download", rpu},
         [&] {
             std::string text = ReadWholeFile(kit.list());
             text[text.find("rpu")] = 'c';
             std::ofstream(kit.list()) << text;
         },
         10,
         false,
         nullptr,
         "kvfwdn: " + signature + "\n"},
        {"group-writable keys",
         {"rpu", "download", rpu},
         [&] { chmod((kit.dir() + "/keys").c_str(), 0775); },
         10,
         false,
         nullptr,
         "kvfwdn: " + kit.dir() + "/keys: writable by group or others (mode 0775)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.spoil) {
            ASSERT_TRUE(kit.Install(7, {{Sha256Of(rpu), "rpu"}}));
            c.spoil();
        }
        ToolOptions options = CapturingOptions();
        options.args = c.args;
        options.args.insert(options.args.end(), {"-p", rom.port, "--json"});
        options.env = {kit.Env()};
        options.history = files.file("history.jsonl");
        ToolRun run = RunTool("", options);
        json result = JsonOf(run);
        EXPECT_EQ(result["exit"], c.exit);
        EXPECT_EQ(result["approved"], c.approved);
        EXPECT_EQ(result["policy_serial"], c.serial);
        if (c.exit == 10) {
            EXPECT_EQ(result["message"], "This file is not approved for this unit. Nothing was "
                                         "written.");
            EXPECT_EQ(run.errors, c.errors);
            EXPECT_EQ("kvfwdn: " + result.value("error", "") + "\n",
                      c.errors.substr(c.errors.rfind("kvfwdn: ")));
        }
        json record = LastRecord(options.history);
        EXPECT_EQ(record["approved"], c.approved);
        EXPECT_EQ(record["policy_serial"], c.serial);
        EXPECT_EQ(record["exit"], c.exit);
    }
    EXPECT_TRUE(rom.device.received().empty());

    ASSERT_TRUE(kit.Install(7, {{Sha256Of(rpu), "rpu"}}, true)); // the legacy kind
    chmod((kit.dir() + "/keys").c_str(), 0755);
    ToolOptions options = CapturingOptions();
    options.args = {"rpu", "download", "-q", "-p", rom.port, rpu, "--json"};
    options.env = {kit.Env()};
    options.history = files.file("history.jsonl");
    json result = JsonOf(RunTool("", options));
    EXPECT_EQ(result["exit"], 0);
    EXPECT_EQ(result["approved"], true);
    EXPECT_EQ(result["policy_serial"], 7);
    EXPECT_EQ(rom.device.memory(0x08000000, 300), image);
    json record = LastRecord(options.history);
    EXPECT_EQ(record["approved"], true);
    EXPECT_EQ(record["policy_serial"], 7);
}

// Both menus print the refusal at the file check's place and come back; the
// reason goes to standard error; nothing reaches the port.
TEST(E2ePolicy, MenusRefuseBeforeTheQuestion) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    ScratchDir files;
    BootDevice rom;
    std::string rpu = files.write("rpu.bin", PrinterFirmware(300));
    std::string cdu = files.write("cdu.bin", Firmware(600, "IMBRA2_CDU_0G2A09_2020", 10));
    ASSERT_TRUE(kit.Install(3, {{Sha256Of(cdu), "rpu"}}));
    ToolOptions options = CapturingOptions();
    options.env = {kit.Env()};

    ToolRun run = RunTool("1\n2\n" + rom.port + "\n" + rpu + "\nq\nq\n", options);
    EXPECT_EQ(run.output, rpu_dialogue::EnterRpuMenu() + dialogue::PortPrompt("/dev/ttyS4") + "\n" +
                              rpu_dialogue::PathPrompt("") + NOT_APPROVED +
                              rpu_dialogue::QuitBoth());
    EXPECT_EQ(run.errors, "kvfwdn: " + rpu + ": sha256 " + Sha256Of(rpu) +
                              " is not in the approved list (policy 3)\n");

    run = RunTool("2\n3\n" + rom.port + "\n" + cdu + "\nq\nq\n", options);
    EXPECT_EQ(run.output, cdu_dialogue::EnterCduMenu() + dialogue::PortPrompt("/dev/ttyS3") +
                              cdu_dialogue::DownloadStart("") + NOT_APPROVED +
                              cdu_dialogue::QuitBoth());
    EXPECT_EQ(run.errors, "kvfwdn: " + cdu + ": sha256 " + Sha256Of(cdu) +
                              " is approved for the printer, not the dispenser (policy 3)\n");
    EXPECT_TRUE(rom.device.received().empty());
}
