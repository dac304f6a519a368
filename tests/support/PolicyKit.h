// Policy folders for tests, with keys and signatures made by the real
// minisign program in a scratch folder; and the empty folder that every
// other test's kvfwdn takes as its policy folder.
#ifndef KV_TESTS_POLICYKIT_H
#define KV_TESTS_POLICYKIT_H

#include <string>
#include <utility>
#include <vector>

#include "support/ScratchDir.h"

// Points KVFWDN_POLICY_DIR at an empty folder of the build tree unless it is
// set: no /etc/kvfwdn on the machine changes a test.
void IsolatePolicy();

// Runs minisign with `args`, no standard input, its output dropped; true
// when it exits 0.
bool RunMinisign(const std::vector<std::string>& args);

class PolicyKit {
  public:
    // Makes the key pair "site" (its public key in keys/) and the folder.
    PolicyKit();
    const std::string& dir() const { return dir_; }
    std::string list() const { return dir_ + "/approved.json"; }
    // A key pair `name` outside the policy folder; returns the secret key.
    std::string MakeKey(const std::string& name);
    std::string siteKey() const { return secret_ + "/site.key"; }
    // The id in the public key file's comment.
    std::string KeyIdOf(const std::string& name) const;
    // Writes approved.json with `serial` and (sha256, device) entries and
    // signs it with `key` (default: the site's), legacy kind on request.
    bool Install(long long serial, const std::vector<std::pair<std::string, std::string>>& entries,
                 bool legacy = false, const std::string& key = "");
    // Writes `text` as approved.json and signs it.
    bool InstallText(const std::string& text, bool legacy = false, const std::string& key = "");
    // KVFWDN_POLICY_DIR=dir, for ToolOptions::env.
    std::string Env() const { return "KVFWDN_POLICY_DIR=" + dir_; }

  private:
    ScratchDir scratch_;
    std::string dir_, secret_;
};

// Whether the policy cases can run: they need root-owned files.
bool RunningAsRoot();

#endif
