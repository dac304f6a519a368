// The approved list: minisign keys and signatures made by the real minisign
// (both signature kinds), what makes a policy untrusted, and the answer for
// one file.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sys/stat.h>

#include "app/policy/Minisign.h"
#include "app/policy/Policy.h"
#include "support/PolicyKit.h"

namespace {

const std::string A(64, 'a'), B(64, 'B'), C(64, 'c');

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Reason(const Policy& policy) {
    return policy.subject + ": " + policy.why;
}

} // namespace

// Both kinds verify, the key id is the one minisign writes in its comment,
// and a changed trusted comment breaks the signature.
TEST(Policy, BothSignatureKindsVerify) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    for (bool legacy : {false, true}) {
        ASSERT_TRUE(kit.Install(7, {{A, "rpu"}, {B, "cdu"}}, legacy));
        std::string sig = ReadWholeFile(kit.list() + ".minisig");
        EXPECT_NE(sig.find(legacy ? "\nRWQ" : "\nRUQ"), std::string::npos) << sig;
        Policy policy = LoadPolicyFrom(kit.dir(), true);
        EXPECT_EQ(policy.state, POLICY_IN_FORCE) << Reason(policy);
        EXPECT_EQ(policy.serial, 7);
        EXPECT_EQ(policy.keyId, kit.KeyIdOf("site"));
        ASSERT_EQ(policy.entries.size(), 2u);
        EXPECT_EQ(policy.entries[1].sha256, std::string(64, 'b'));
        EXPECT_EQ(policy.entries[1].device, FW_FOR_CDU);
        size_t at = sig.find("trusted comment: timestamp");
        ASSERT_NE(at, std::string::npos);
        sig[at + 18] = sig[at + 18] == '1' ? '2' : '1';
        MinisignSignature parsed;
        std::string why;
        ASSERT_TRUE(ParseMinisignSignature(sig, &parsed, &why)) << why;
        MinisignKey key;
        ASSERT_TRUE(ParseMinisignKey(ReadWholeFile(kit.dir() + "/keys/site.pub"), &key, &why));
        std::string list = ReadWholeFile(kit.list());
        EXPECT_FALSE(VerifyMinisign(parsed, key, (const unsigned char*)list.data(), list.size()));
    }
}

// Every way a policy cannot be trusted, and the ways there is none.
TEST(Policy, UntrustedAndAbsent) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    const std::string SIGNED = "signature does not verify with any key in ";
    const struct {
        const char* what;
        std::function<void(PolicyKit&)> spoil;
        std::string subject, why; // subject relative to the folder
    } cases[] = {
        {"one byte changed after signing",
         [](PolicyKit& kit) {
             std::string text = ReadWholeFile(kit.list());
             text[text.find('7')] = '8';
             WriteFile(kit.list(), text);
         },
         "/approved.json", SIGNED + "DIR/keys"},
        {"signed by a key not in keys/",
         [](PolicyKit& kit) {
             kit.Install(7, {{A, "rpu"}}, false, kit.MakeKey("other"));
         },
         "/approved.json", SIGNED + "DIR/keys"},
        {"group-writable keys folder",
         [](PolicyKit& kit) { chmod((kit.dir() + "/keys").c_str(), 0775); }, "/keys",
         "writable by group or others (mode 0775)"},
        {"other-writable list", [](PolicyKit& kit) { chmod(kit.list().c_str(), 0646); },
         "/approved.json", "writable by group or others (mode 0646)"},
        {"a key owned by another user",
         [](PolicyKit& kit) { EXPECT_EQ(chown((kit.dir() + "/keys/site.pub").c_str(), 1, 1), 0); },
         "/keys/site.pub", "owned by user 1, not by root"},
        {"no signature", [](PolicyKit& kit) { remove((kit.list() + ".minisig").c_str()); },
         "/approved.json.minisig", "no signature: no such file"},
        {"a .pub that is no key",
         [](PolicyKit& kit) { WriteFile(kit.dir() + "/keys/x.pub", "hello\n"); }, "/keys/x.pub",
         "not a minisign public key file"},
        {"not JSON", [](PolicyKit& kit) { kit.InstallText("{\"serial\": 7,"); }, "/approved.json",
         "not a JSON object"},
        {"serial 0", [](PolicyKit& kit) { kit.InstallText("{\"serial\": 0, \"firmware\": []}"); },
         "/approved.json", "\"serial\" is not a positive integer"},
        {"a short sha256",
         [](PolicyKit& kit) {
             kit.Install(7, {{A, "rpu"}, {"abc", "cdu"}});
         },
         "/approved.json", "firmware entry 2: \"sha256\" is not 64 hex digits"},
        {"an unknown device",
         [](PolicyKit& kit) {
             kit.Install(7, {{A, "atm"}});
         },
         "/approved.json", "firmware entry 1: \"device\" is not \"rpu\" or \"cdu\""},
        {"over 1 MiB",
         [](PolicyKit& kit) {
             kit.InstallText("{\"serial\": 7, \"firmware\": [], \"pad\": \"" +
                             std::string(1024 * 1024, ' ') + "\"}");
         },
         "/approved.json", "larger than 1024 KiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PolicyKit kit;
        ASSERT_TRUE(kit.Install(7, {{A, "rpu"}}));
        c.spoil(kit);
        Policy policy = LoadPolicyFrom(kit.dir(), true);
        std::string why = c.why;
        if (why.find("DIR") != std::string::npos)
            why.replace(why.find("DIR"), 3, kit.dir());
        EXPECT_EQ(policy.state, POLICY_UNTRUSTED);
        EXPECT_EQ(Reason(policy), kit.dir() + c.subject + ": " + why);
        Approval approval = CheckApproval(policy, "f.bin", A, FW_FOR_RPU);
        EXPECT_EQ(approval.approved, false);
        EXPECT_TRUE(approval.serial.is_null());
    }
    PolicyKit kit;
    EXPECT_EQ(LoadPolicyFrom(kit.dir() + "/missing", true).state, POLICY_UNTRUSTED);
    EXPECT_EQ(LoadPolicyFrom(kit.dir() + "/missing", false).state, POLICY_ABSENT);
    Policy none = LoadPolicyFrom(kit.dir(), true); // no approved.json yet
    EXPECT_EQ(none.state, POLICY_ABSENT);
    EXPECT_TRUE(CheckApproval(none, "f.bin", A, FW_FOR_RPU).approved.is_null());
}

// Listed, listed for the other device, not listed; either case of hex.
TEST(Policy, ApprovalOfOneFile) {
    Policy policy;
    policy.state = POLICY_IN_FORCE;
    policy.serial = 7;
    policy.entries = {{A, FW_FOR_RPU, "rpu 1.24"}, {std::string(64, 'b'), FW_FOR_CDU, ""}};
    const struct {
        std::string sha;
        FirmwareDevice device;
        bool approved;
        std::string why;
    } cases[] = {
        {std::string(64, 'A'), FW_FOR_RPU, true, ""},
        {B, FW_FOR_CDU, true, ""},
        {A, FW_FOR_CDU, false,
         "sha256 " + A + " is approved for the printer, not the dispenser (policy 7)"},
        {B, FW_FOR_RPU, false,
         "sha256 " + std::string(64, 'b') +
             " is approved for the dispenser, not the printer (policy 7)"},
        {C, FW_FOR_RPU, false, "sha256 " + C + " is not in the approved list (policy 7)"},
    };
    for (const auto& c : cases) {
        Approval approval = CheckApproval(policy, "f.bin", c.sha, c.device);
        EXPECT_EQ(approval.approved, c.approved) << c.sha;
        EXPECT_EQ(approval.serial, 7);
        EXPECT_EQ(approval.why, c.why);
        EXPECT_EQ(approval.subject, c.approved ? "" : "f.bin");
    }
}
