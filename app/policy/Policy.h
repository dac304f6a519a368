// The approved list of a site: the policy folder (keys/*.pub, approved.json
// and its minisign signature), loaded and trusted or not, and the answer to
// "may this file be downloaded to this device".
#ifndef KV_APP_POLICY_POLICY_H
#define KV_APP_POLICY_POLICY_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/file/FirmwareCheck.h"

enum PolicyState {
    POLICY_ABSENT,    // no approved.json: downloads are not checked
    POLICY_IN_FORCE,  // signed, well-formed, root-owned: every download is checked
    POLICY_UNTRUSTED, // there but not to be trusted: every download is refused
};

struct PolicyEntry {
    std::string sha256; // 64 lower-case hex digits
    FirmwareDevice device = FW_FOR_NONE;
    std::string name;
};

struct Policy {
    PolicyState state = POLICY_ABSENT;
    std::string dir;
    long long serial = 0; // in force
    std::string keyId;    // in force: the key whose signature verified
    std::vector<PolicyEntry> entries;
    std::string subject, why; // untrusted: the file or folder at fault and the cause
};

// The policy folder: $KVFWDN_POLICY_DIR, else the built-in one; *named says
// which (a named folder that is missing cannot be trusted).
std::string PolicyFolder(bool* named);
// Loads the policy of PolicyFolder().
Policy LoadPolicy();
Policy LoadPolicyFrom(const std::string& dir, bool named);

struct Approval {
    nlohmann::json approved;             // true, false, or null without a policy
    nlohmann::json serial;               // the serial of a trusted policy, else null
    FirmwareDevice device = FW_FOR_NONE; // approved: the device it is listed for
    std::string subject, why;            // not approved: the reason line's two parts
};

// Whether the file `path` whose bytes have the SHA-256 `sha256` may be
// downloaded to `device` under `policy`.
Approval CheckApproval(const Policy& policy, const std::string& path, const std::string& sha256,
                       FirmwareDevice device);

// Why the file `path` is not approved, without the path when the reason is
// about the file itself.
std::string ApprovalReason(const Approval& approval, const std::string& path);

// "the printer" or "the dispenser".
const char* DeviceWords(FirmwareDevice device);

#endif
