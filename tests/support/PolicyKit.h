// Policy folders for tests, with keys and signatures made by the real
// minisign program in a scratch folder; and the empty policy folder of
// every other test's kvfwdn.
#ifndef KV_TESTS_POLICYKIT_H
#define KV_TESTS_POLICYKIT_H

#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/ScratchDir.h"

// Points KVFWDN_POLICY_DIR at an empty folder of the build tree unless it is
// set: no /etc/kvfwdn on the machine changes a test.
void IsolatePolicy();

class PolicyKit {
  public:
    PolicyKit();           // the key pair "site", its public key in keys/
    std::string dir, list; // the folder and its approved.json
    // Another key pair, outside the folder; returns its secret key.
    std::string MakeKey(const std::string& name);
    std::string SiteKeyId() const; // as the .pub file's comment shows it
    // Writes approved.json (serial and (sha256, device) entries, or `text`)
    // and signs it with `key` (default the site's), legacy kind on request.
    bool Install(long long serial, const std::vector<std::pair<std::string, std::string>>& entries,
                 bool legacy = false, const std::string& key = "");
    bool InstallText(const std::string& text, bool legacy = false, const std::string& key = "");
    std::string Env() const { return "KVFWDN_POLICY_DIR=" + dir; } // for ToolOptions::env

  private:
    ScratchDir scratch_;
};

// The policy cases need root-owned files.
inline bool RunningAsRoot() {
    return geteuid() == 0;
}

#endif
