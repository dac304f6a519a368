// The approved list on the command line: kvfwdn policy, policy check, policy
// new (its output, signed with minisign, is accepted) and info's `approved`.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "support/PolicyKit.h"
#include "support/RunTool.h"
#include "test_cdu_util.h"

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
