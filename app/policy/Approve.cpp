#include "app/policy/Approve.h"

#include <cstdio>

#include "serial/ConsoleSink.h"

Approval ApproveDownload(const char* path, const FirmwareFacts& facts, FirmwareDevice device,
                         bool force) {
    Policy policy = LoadPolicy();
    if (force && policy.state != POLICY_ABSENT)
        fputs("kvfwdn: --force does not pass the approved list\n", stderr);
    return CheckApproval(policy, path, facts.sha256, device);
}

void PrintRefusal(const Approval& approval) {
    PrintReasonLine(approval.subject.c_str(), approval.why.c_str());
}

void SetApprovalKeys(nlohmann::json* keys, const Approval& approval) {
    (*keys)["approved"] = approval.approved;
    (*keys)["policy_serial"] = approval.serial;
}
