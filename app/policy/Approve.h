// The approved list's step of a download, for both front ends: after the
// file check and before the question or the port, the verdict for the bytes
// read, the --force line, the refusal's reason line and the record's keys.
#ifndef KV_APP_POLICY_APPROVE_H
#define KV_APP_POLICY_APPROVE_H

#include <nlohmann/json.hpp>

#include "app/policy/Policy.h"

// Loads the policy and answers for the file read at `path` going to
// `device`; with `force` and a list present it says on standard error that
// --force does not pass the list.
Approval ApproveDownload(const char* path, const FirmwareFacts& facts, FirmwareDevice device,
                         bool force);
// The refusal's reason line on standard error ("kvfwdn: SUBJECT: why").
void PrintRefusal(const Approval& approval);
// `approved` and `policy_serial` into a record's or a result's keys.
void SetApprovalKeys(nlohmann::json* keys, const Approval& approval);

#endif
