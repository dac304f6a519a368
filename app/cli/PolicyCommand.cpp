// kvfwdn policy, policy check and policy new: the approved list as it
// stands, the verdict for files, and a list ready to sign.
#include <cstdio>

#include "app/cli/CliResult.h"
#include "app/file/FirmwareCheck.h"
#include "app/policy/Policy.h"
#include "app/record/History.h"
#include "app/text/FileKeys.h"
#include "fwdn/DnResult.h"
#include "serial/SafeText.h"
#include "app/console/ReasonLine.h"

using nlohmann::json;

namespace {

// The keys every result of these commands carries.
json Common(const char* action, int exitStatus) {
    json error = nullptr;
    if (exitStatus != EXIT_OK && FirstReasonLine() != nullptr)
        error = FirstReasonLine();
    return {{"action", action}, {"ok", exitStatus == EXIT_OK}, {"exit", exitStatus},
            {"error", error},   {"time", UtcTimeNow()},        {"kvfwdn", KVFWDN_VERSION}};
}

int Finish(const json& out, bool asJson, int exitStatus) {
    bool written = asJson ? PrintJsonLine(out) : fflush(stdout) == 0;
    return !written && exitStatus == EXIT_OK ? EXIT_OTHER : exitStatus;
}

// A read failure's exit status (1 missing, 2 unreadable) wins over the
// list's verdict.
int Worse(int now, int next) {
    if (now == EXIT_NOT_APPROVED || now == EXIT_OK)
        return next == EXIT_OK ? now : next;
    return now;
}

} // namespace

int ShowPolicy(bool asJson) {
    ClearReasonLine();
    Policy policy = LoadPolicy();
    bool inForce = policy.state == POLICY_IN_FORCE;
    int exitStatus = policy.state == POLICY_UNTRUSTED ? EXIT_NOT_APPROVED : EXIT_OK;
    std::string message;
    if (inForce)
        message = policy.dir + ": policy " + std::to_string(policy.serial) +
                  " in force, signed by key " + policy.keyId + ", " +
                  std::to_string(policy.entries.size()) +
                  (policy.entries.size() == 1 ? " entry" : " entries");
    else if (policy.state == POLICY_ABSENT)
        message = policy.dir + ": no approved list (no " + policy.dir +
                  "/approved.json); downloads are not checked";
    else
        message = policy.dir + ": the approved list cannot be trusted; every download is refused";
    if (policy.state == POLICY_UNTRUSTED)
        PrintReasonLine(policy.subject.c_str(), policy.why.c_str());
    json out = Common("policy", exitStatus);
    out.update({{"dir", policy.dir},
                {"in_force", inForce},
                {"serial", inForce ? json(policy.serial) : json(nullptr)},
                {"key_id", inForce ? json(policy.keyId) : json(nullptr)},
                {"entries", inForce ? json(policy.entries.size()) : json(nullptr)},
                {"message", message}});
    if (!asJson)
        puts(message.c_str());
    return Finish(out, asJson, exitStatus);
}

int CheckPolicyFiles(const std::vector<std::string>& paths, bool asJson) {
    ClearReasonLine();
    Policy policy = LoadPolicy();
    int exitStatus = EXIT_OK;
    json files = json::array();
    for (const std::string& path : paths) {
        FirmwareFile file;
        int loaded = file.Load(path.c_str());
        const FirmwareFacts& facts = file.facts();
        const char* device = FirmwareDeviceName(facts.device);
        json entry = {{"file", path},
                      {"sha256", loaded == DN_OK ? json(facts.sha256) : json(nullptr)},
                      {"device", device != nullptr ? json(device) : json(nullptr)},
                      {"approved", nullptr}};
        SetFileKeys(&entry, path);
        std::string line = TerminalSafeName(path) + ": ";
        if (loaded != DN_OK) {
            exitStatus = Worse(exitStatus, -loaded);
            line += "not checked (the file cannot be read)";
        } else {
            Approval approval = CheckApproval(policy, path, facts.sha256, facts.device);
            entry["approved"] = approval.approved;
            if (approval.approved.is_null()) {
                line += "no approved list installed";
            } else if (approval.approved == true) {
                line += std::string("approved for ") + DeviceWords(approval.device) + " (policy " +
                        std::to_string(policy.serial) + ")";
            } else {
                exitStatus = Worse(exitStatus, EXIT_NOT_APPROVED);
                line += "not approved (" + ApprovalReason(approval, TerminalSafeName(path)) + ")";
                PrintReasonLine(approval.subject.c_str(), approval.why.c_str());
            }
        }
        files.push_back(entry);
        if (!asJson)
            puts(line.c_str());
    }
    json out = Common("policy check", exitStatus);
    out.update(
        {{"dir", policy.dir},
         {"policy_serial", policy.state == POLICY_IN_FORCE ? json(policy.serial) : json(nullptr)},
         {"files", files}});
    return Finish(out, asJson, exitStatus);
}

int NewPolicyList(long long serial, const std::vector<std::string>& paths, bool asJson) {
    ClearReasonLine();
    nlohmann::ordered_json list = {{"serial", serial},
                                   {"firmware", nlohmann::ordered_json::array()}};
    int exitStatus = EXIT_OK;
    for (const std::string& path : paths) {
        FirmwareFile file;
        int loaded = file.Load(path.c_str());
        const FirmwareFacts& facts = file.facts();
        if (loaded != DN_OK) {
            exitStatus = -loaded;
            break;
        }
        if (facts.device == FW_FOR_NONE) {
            PrintReasonLine(path.c_str(), facts.reason.c_str());
            exitStatus = EXIT_NOT_FIRMWARE;
            break;
        }
        list["firmware"].push_back({{"sha256", facts.sha256},
                                    {"device", FirmwareDeviceName(facts.device)},
                                    {"name", path}});
    }
    if (exitStatus != EXIT_OK)
        return Finish(Common("policy new", exitStatus), asJson, exitStatus);
    std::string text = list.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return fputs(text.c_str(), stdout) >= 0 && fflush(stdout) == 0 ? EXIT_OK : EXIT_OTHER;
}
