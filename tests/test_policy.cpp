// The approved list: minisign keys and signatures made by the real minisign
// (both signature kinds), and what makes a policy untrusted or absent.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sys/stat.h>

#include "app/policy/Minisign.h"
#include "app/policy/Policy.h"
#include "support/PolicyKit.h"

namespace {

const std::string A(64, 'a');

} // namespace

// Both kinds verify, the key id is the one minisign writes in its comment,
// and a changed trusted comment breaks the signature.
TEST(Policy, BothSignatureKindsVerify) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    PolicyKit kit;
    for (bool legacy : {false, true}) {
        ASSERT_TRUE(kit.Install(7, {{A, "rpu"}, {std::string(64, 'B'), "cdu"}}, legacy));
        std::string sig = ReadWholeFile(kit.list + ".minisig");
        EXPECT_NE(sig.find(legacy ? "\nRW" : "\nRU"), std::string::npos) << sig; // Ed, ED
        Policy policy = LoadPolicyFrom(kit.dir, true);
        EXPECT_EQ(policy.state, POLICY_IN_FORCE) << policy.subject << ": " << policy.why;
        EXPECT_EQ(policy.serial, 7);
        EXPECT_EQ(policy.keyId, kit.SiteKeyId());
        const unsigned char high[8] = {0x0A, 0, 0, 0, 0, 0, 0, 0x10}, low[8] = {0x01};
        EXPECT_EQ(MinisignKeyId(high) + " " + MinisignKeyId(low), "100000000000000A 1");
        ASSERT_EQ(policy.entries.size(), 2u);
        EXPECT_EQ(policy.entries[1].sha256, std::string(64, 'b'));
        EXPECT_EQ(policy.entries[1].device, FW_FOR_CDU);

        sig[sig.find("timestamp:") + 10] ^= 1;
        MinisignSignature parsed;
        MinisignKey key;
        std::string why, list = ReadWholeFile(kit.list);
        ASSERT_TRUE(ParseMinisignSignature(sig, &parsed, &why)) << why;
        ASSERT_TRUE(ParseMinisignKey(ReadWholeFile(kit.dir + "/keys/site.pub"), &key, &why));
        EXPECT_FALSE(VerifyMinisign(parsed, key, (const unsigned char*)list.data(), list.size()));
    }
}

// Every way a policy cannot be trusted, and the ways there is none.
TEST(Policy, UntrustedAndAbsent) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "the policy files must be root-owned";
    auto write = [](const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    };
    const struct {
        const char* what;
        std::function<void(PolicyKit&)> spoil;
        std::string subject, why; // subject after the folder; "DIR" stands for it
    } cases[] = {
        {"one byte changed after signing",
         [&](PolicyKit& kit) {
             std::string text = ReadWholeFile(kit.list);
             text[text.find('7')] = '8';
             write(kit.list, text);
         },
         "/approved.json", "signature does not verify with any key in DIR/keys"},
        {"signed by a key not in keys/",
         [](PolicyKit& kit) {
             kit.Install(7, {{A, "rpu"}}, false, kit.MakeKey("other"));
         },
         "/approved.json", "signature does not verify with any key in DIR/keys"},
        {"group-writable keys folder",
         [](PolicyKit& kit) { chmod((kit.dir + "/keys").c_str(), 0775); }, "/keys",
         "writable by group or others (mode 0775)"},
        {"a key owned by another user",
         [](PolicyKit& kit) { EXPECT_EQ(chown((kit.dir + "/keys/site.pub").c_str(), 1, 1), 0); },
         "/keys/site.pub", "owned by user 1, not by root"},
        {"no signature", [](PolicyKit& kit) { remove((kit.list + ".minisig").c_str()); },
         "/approved.json.minisig", "no signature: no such file"},
        {"a .pub that is no key", [&](PolicyKit& kit) { write(kit.dir + "/keys/x.pub", "hi\n"); },
         "/keys/x.pub", "not a minisign public key file"},
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
             kit.InstallText("{\"serial\": 7, \"firmware\": []}" + std::string(1024 * 1024, ' '));
         },
         "/approved.json", "larger than 1024 KiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PolicyKit kit;
        ASSERT_TRUE(kit.Install(7, {{A, "rpu"}}));
        c.spoil(kit);
        Policy policy = LoadPolicyFrom(kit.dir, true);
        std::string why = c.why;
        if (why.find("DIR") != std::string::npos)
            why.replace(why.find("DIR"), 3, kit.dir);
        EXPECT_EQ(policy.state, POLICY_UNTRUSTED);
        EXPECT_EQ(policy.subject + ": " + policy.why, kit.dir + c.subject + ": " + why);
        Approval approval = CheckApproval(policy, "f.bin", A, FW_FOR_RPU);
        EXPECT_EQ(approval.approved, false);
        EXPECT_TRUE(approval.serial.is_null());
    }
    PolicyKit kit; // no approved.json yet
    EXPECT_EQ(LoadPolicyFrom(kit.dir + "/missing", true).state, POLICY_UNTRUSTED);
    EXPECT_EQ(LoadPolicyFrom(kit.dir + "/missing", false).state, POLICY_ABSENT);
    EXPECT_TRUE(
        CheckApproval(LoadPolicyFrom(kit.dir, true), "f", A, FW_FOR_RPU).approved.is_null());
}
