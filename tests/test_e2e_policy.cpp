// The approved list on the command line and in the menus: kvfwdn policy,
// policy check, policy new (its output, signed with minisign, is accepted),
// info's `approved`, and downloads under a list.
#include <gtest/gtest.h>

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

using BootDevice = ServedDevice<VirtualBootloader, BootloaderConfig>;

const char* const NOT_APPROVED = " This file is not approved for this unit. Nothing was written.\n";

ToolRun RunWith(const PolicyKit& kit, const std::vector<std::string>& args,
                const std::string& history = "off", const std::string& input = "") {
    ToolOptions options = CapturingOptions();
    options.args = args;
    options.env = {kit.Env()};
    options.history = history;
    return RunTool(input, options);
}

// The one JSON line of a run, with the keys every result has.
json JsonOf(const ToolRun& run) {
    json result = json::parse(run.output, nullptr, false);
    if (!result.is_object())
        return json({{"output", run.output}});
    EXPECT_EQ(result["exit"], run.exitCode);
    for (const char* key : {"time", "kvfwdn", "error", "ok", "exit", "action"})
        EXPECT_TRUE(result.contains(key) || result["action"] == "info") << key;
    return result;
}

json LastRecord(const std::string& path) {
    std::string history = ReadWholeFile(path);
    size_t at = history.rfind('{');
    return json::parse(at == std::string::npos ? "{}" : history.substr(at), nullptr, false);
}

std::string NotListed(const std::string& file, int serial) {
    return file + ": sha256 " + Sha256Of(file) + " is not in the approved list (policy " +
           std::to_string(serial) + ")";
}

} // namespace

// policy new writes the list, minisign signs it, kvfwdn policy shows it in
// force, policy check and info answer by it; an untrusted list exits 10.
TEST(E2ePolicy, NewSignShowAndCheck) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    ScratchDir files;
    std::string rpu = files.write("rpu.bin", PrinterFirmware(400));
    std::string cdu = files.write("cdu.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
    EXPECT_EQ(RunWith(kit, {"policy"}).output,
              kit.dir + ": no approved list (no " + kit.list + "); downloads are not checked\n");
    ToolRun run = RunWith(kit, {"policy", "new", "--serial", "7", rpu});
    EXPECT_EQ(run.output, "{\n  \"serial\": 7,\n  \"firmware\": [\n    {\n      \"sha256\": \"" +
                              Sha256Of(rpu) +
                              "\",\n      \"device\": \"rpu\",\n      \"name\": \"" + rpu +
                              "\"\n    }\n  ]\n}\n");
    ASSERT_TRUE(kit.InstallText(run.output));

    run = RunWith(kit, {"policy"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              kit.dir + ": policy 7 in force, signed by key " + kit.SiteKeyId() + ", 1 entry\n");
    json result = JsonOf(RunWith(kit, {"policy", "--json"}));
    EXPECT_EQ(result, json({{"action", "policy"},
                            {"dir", kit.dir},
                            {"in_force", true},
                            {"serial", 7},
                            {"key_id", kit.SiteKeyId()},
                            {"entries", 1},
                            {"ok", true},
                            {"exit", 0},
                            {"error", nullptr},
                            {"message", run.output.substr(0, run.output.size() - 1)},
                            {"time", result["time"]},
                            {"kvfwdn", KVFWDN_VERSION}}));

    run = RunWith(kit, {"policy", "check", rpu, cdu});
    EXPECT_EQ(run.exitCode, 10);
    EXPECT_EQ(run.output, rpu + ": approved for the printer (policy 7)\n" + cdu +
                              ": not approved (" + NotListed(cdu, 7).substr(cdu.size() + 2) +
                              ")\n");
    EXPECT_EQ(run.errors, "kvfwdn: " + NotListed(cdu, 7) + "\n");
    result = JsonOf(RunWith(kit, {"policy", "check", "--json", rpu, cdu}));
    EXPECT_EQ(result["error"], NotListed(cdu, 7));
    EXPECT_EQ(result["files"][1], json({{"file", cdu},
                                        {"file_hex", nullptr},
                                        {"sha256", Sha256Of(cdu)},
                                        {"device", "cdu"},
                                        {"approved", false}}));
    EXPECT_EQ(RunWith(kit, {"policy", "check", rpu}).exitCode, 0);
    EXPECT_EQ(RunWith(kit, {"policy", "check", rpu, files.file("missing")}).exitCode, 1);
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", rpu}))["approved"], true);
    EXPECT_EQ(JsonOf(RunWith(kit, {"info", "--json", cdu}))["approved"], false);

    chmod(kit.list.c_str(), 0664);
    result = JsonOf(RunWith(kit, {"policy", "--json"}));
    EXPECT_EQ(result["exit"], 10);
    EXPECT_EQ(result["serial"], nullptr);
    EXPECT_EQ(result["error"], kit.list + ": writable by group or others (mode 0664)");
    result = JsonOf(RunWith(kit, {"info", "--json", rpu}));
    EXPECT_EQ(result["approved"], false);
    EXPECT_EQ(result["exit"], 0);
}

// policy new: firmware for neither device 8, a missing file 1, a missing or
// bad serial 64; nothing on standard output, one JSON line with --json.
TEST(E2ePolicy, NewRefusals) {
    PolicyKit kit;
    ScratchDir files;
    std::string rpu = files.write("rpu.bin", PrinterFirmware(400));
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--serial", "3", rpu, files.write("text", std::string("hi\n"))}, 8},
        {{"--serial", "3", files.file("missing")}, 1},
        {{rpu}, 64},
        {{"--serial", "0", rpu}, 64},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"policy", "new"};
        args.insert(args.end(), c.first.begin(), c.first.end());
        EXPECT_EQ(RunWith(kit, args).output, "");
        args.push_back("--json");
        json result = JsonOf(RunWith(kit, args));
        EXPECT_EQ(result["exit"], c.second);
        EXPECT_TRUE(result["error"].is_string()) << result;
    }
}

// Downloads under a list: approved goes through and is recorded with the
// serial (legacy signature); not listed, listed for the other device,
// --force and a tampered list exit 10 before any port, the file check
// first (8); both menus refuse at the file check's place.
TEST(E2ePolicy, DownloadsUnderTheList) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    ScratchDir files;
    BootDevice rom;
    std::string rpu = files.write("rpu.bin", PrinterFirmware(300));
    std::string other = files.write("other.bin", PrinterFirmware(200));
    std::string cdu = files.write("cdu.bin", Firmware(600, "IMBRA2_CDU_0G2A09_2020", 10));
    ASSERT_TRUE(kit.Install(7, {{Sha256Of(rpu), "rpu"}, {Sha256Of(other), "cdu"}}, true));
    const std::string history = files.file("history.jsonl");
    const struct {
        std::vector<std::string> args;
        int exit;
        json approved, serial;
        std::string errors;
    } cases[] = {
        {{"cdu", "download", cdu}, 10, false, 7, NotListed(cdu, 7)},
        {{"rpu", "download", other},
         10,
         false,
         7,
         other + ": sha256 " + Sha256Of(other) +
             " is approved for the dispenser, not the printer (policy 7)"},
        {{"rpu", "download", "--force", cdu},
         10,
         false,
         7,
         "--force does not pass the approved list\nkvfwdn: " + NotListed(cdu, 7)},
        {{"rpu", "download", cdu}, 8, nullptr, nullptr, ""},
        {{"rpu", "download", "-q", rpu}, 0, true, 7, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-p", rom.port, "--json"});
        ToolRun run = RunWith(kit, args, history);
        json result = JsonOf(run), record = LastRecord(history);
        EXPECT_EQ(result["exit"], c.exit) << args[2];
        for (const json& keys : {result, record}) {
            EXPECT_EQ(keys["approved"], c.approved) << args[2];
            EXPECT_EQ(keys["policy_serial"], c.serial) << args[2];
        }
        if (c.exit == 10) {
            EXPECT_EQ(run.errors, "kvfwdn: " + c.errors + "\n");
            size_t at = c.errors.rfind("kvfwdn: ");
            EXPECT_EQ(result["error"], c.errors.substr(at == std::string::npos ? 0 : at + 8));
        }
        EXPECT_EQ(rom.device.received().empty(), c.exit != 0);
    }

    std::string text = ReadWholeFile(kit.list); // one byte changed after signing
    text[text.find("rpu")] = 'R';
    files.write("tampered", text);
    rename(files.file("tampered").c_str(), kit.list.c_str());
    json result = JsonOf(RunWith(kit, {"rpu", "download", "-p", rom.port, rpu, "--json"}));
    EXPECT_EQ(result["error"],
              kit.list + ": signature does not verify with any key in " + kit.dir + "/keys");
    EXPECT_EQ(result["policy_serial"], nullptr);

    ToolRun run = RunWith(kit, {}, "off", "1\n2\n" + rom.port + "\n" + rpu + "\nq\nq\n");
    EXPECT_EQ(run.output, rpu_dialogue::EnterRpuMenu() + dialogue::PortPrompt("/dev/ttyS4") + "\n" +
                              rpu_dialogue::PathPrompt("") + NOT_APPROVED +
                              rpu_dialogue::QuitBoth());
    EXPECT_EQ(run.errors, "kvfwdn: " + result["error"].get<std::string>() + "\n");
    ASSERT_TRUE(kit.Install(3, {{Sha256Of(cdu), "rpu"}}));
    run = RunWith(kit, {}, "off", "2\n3\n" + rom.port + "\n" + cdu + "\nq\nq\n");
    EXPECT_EQ(run.output, cdu_dialogue::EnterCduMenu() + dialogue::PortPrompt("/dev/ttyS3") +
                              cdu_dialogue::DownloadStart("") + NOT_APPROVED +
                              cdu_dialogue::QuitBoth());
    EXPECT_EQ(run.errors, "kvfwdn: " + cdu + ": sha256 " + Sha256Of(cdu) +
                              " is approved for the printer, not the dispenser (policy 3)\n");
}
