// Loading the policy folder. Everything in it must be root-owned and not
// writable by group or others, as whoever can write the keys can approve
// anything; the folders above it are not checked.
#include "app/policy/Policy.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/policy/Minisign.h"

#ifndef KV_POLICY_DIR
#define KV_POLICY_DIR "/etc/kvfwdn"
#endif

using nlohmann::json;

namespace {

const size_t MAX_LIST_BYTES = 1024 * 1024;
const size_t MAX_KEY_BYTES = 64 * 1024;

Policy Untrusted(Policy policy, const std::string& subject, const std::string& why) {
    policy.state = POLICY_UNTRUSTED;
    policy.subject = subject;
    policy.why = why;
    return policy;
}

// Empty when `st` is root-owned and not writable by group or others, else
// why not.
std::string OwnerFault(const struct stat& st) {
    char text[64];
    if (st.st_uid != 0) {
        snprintf(text, sizeof text, "owned by user %u, not by root", unsigned(st.st_uid));
        return text;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        snprintf(text, sizeof text, "writable by group or others (mode %04o)",
                 unsigned(st.st_mode & 07777));
        return text;
    }
    return "";
}

// Checks the folder `path`; empty or why it cannot be trusted.
std::string FolderFault(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "no such folder" : strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "not a folder";
    return OwnerFault(st);
}

// Reads the regular file `path` whole, at most `limit` bytes, checking its
// owner and mode on the open file; empty *why on success.
std::string ReadChecked(const std::string& path, size_t limit, std::string* why) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *why = errno == ENOENT ? "no such file" : strerror(errno);
        return text;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else if ((*why = OwnerFault(st)).empty() && size_t(st.st_size) > limit) {
        *why = "larger than " + std::to_string(limit / 1024) + " KiB";
    }
    char buffer[8192];
    while (why->empty()) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            *why = strerror(errno);
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
        if (text.size() > limit)
            *why = "larger than " + std::to_string(limit / 1024) + " KiB";
    }
    close(fd);
    return text;
}

// The names of the *.pub files in `folder`, sorted; false when it cannot
// be listed.
bool PublicKeyFiles(const std::string& folder, std::vector<std::string>* names) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0)
            names->push_back(name);
    }
    closedir(dir);
    std::sort(names->begin(), names->end());
    return true;
}

bool IsHex64(const json& value) {
    if (!value.is_string())
        return false;
    const std::string& text = value.get_ref<const std::string&>();
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return isxdigit((unsigned char)c); });
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(tolower((unsigned char)c));
    return text;
}

// The list's JSON into `policy`; empty or why it cannot be trusted.
std::string ParseList(const std::string& text, Policy* policy) {
    json list = json::parse(text, nullptr, false);
    if (list.is_discarded() || !list.is_object())
        return "not a JSON object";
    const json& serial = list.contains("serial") ? list["serial"] : json();
    if (!serial.is_number_integer() ||
        (serial.is_number_unsigned() && serial.get<unsigned long long>() > LLONG_MAX) ||
        serial.get<long long>() <= 0)
        return "\"serial\" is not a positive integer";
    policy->serial = serial.get<long long>();
    if (!list.contains("firmware") || !list["firmware"].is_array())
        return "no \"firmware\" list";
    int index = 0;
    for (const json& item : list["firmware"]) {
        ++index;
        std::string where = "firmware entry " + std::to_string(index);
        if (!item.is_object())
            return where + " is not an object";
        if (!item.contains("sha256") || !IsHex64(item["sha256"]))
            return where + ": \"sha256\" is not 64 hex digits";
        const json& device = item.contains("device") ? item["device"] : json();
        PolicyEntry entry;
        entry.sha256 = Lower(item["sha256"].get<std::string>());
        entry.device = device == "rpu" ? FW_FOR_RPU : device == "cdu" ? FW_FOR_CDU : FW_FOR_NONE;
        if (entry.device == FW_FOR_NONE)
            return where + ": \"device\" is not \"rpu\" or \"cdu\"";
        if (item.contains("name") && !item["name"].is_string())
            return where + ": \"name\" is not text";
        if (item.contains("name"))
            entry.name = item["name"].get<std::string>();
        policy->entries.push_back(entry);
    }
    return "";
}

std::string Trimmed(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

} // namespace

std::string PolicyFolder(bool* named) {
    const char* set = getenv("KVFWDN_POLICY_DIR");
    *named = set != nullptr && set[0] != '\0';
    return Trimmed(*named ? set : KV_POLICY_DIR);
}

Policy LoadPolicy() {
    bool named = false;
    std::string dir = PolicyFolder(&named);
    return LoadPolicyFrom(dir, named);
}

Policy LoadPolicyFrom(const std::string& folder, bool named) {
    Policy policy;
    policy.dir = Trimmed(folder);
    const std::string& dir = policy.dir;
    std::string listPath = dir + "/approved.json";
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT && !named)
        return policy; // no policy folder on this machine
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && lstat(listPath.c_str(), &st) != 0 &&
        errno == ENOENT)
        return policy; // a folder without a list
    // Ownership and modes of everything first, then the keys, the
    // signature, the list.
    std::string why = FolderFault(dir);
    if (!why.empty())
        return Untrusted(policy, dir, why);
    std::string keysDir = dir + "/keys";
    if (!(why = FolderFault(keysDir)).empty())
        return Untrusted(policy, keysDir, why);
    std::vector<std::string> names;
    if (!PublicKeyFiles(keysDir, &names))
        return Untrusted(policy, keysDir, strerror(errno));
    std::vector<std::string> keyTexts;
    for (const std::string& name : names) {
        keyTexts.push_back(ReadChecked(keysDir + "/" + name, MAX_KEY_BYTES, &why));
        if (!why.empty())
            return Untrusted(policy, keysDir + "/" + name, why);
    }
    std::string list = ReadChecked(listPath, MAX_LIST_BYTES, &why);
    if (!why.empty())
        return Untrusted(policy, listPath, why);
    std::string sigPath = listPath + ".minisig";
    std::string sigText = ReadChecked(sigPath, MAX_KEY_BYTES, &why);
    if (!why.empty())
        return Untrusted(policy, sigPath, why == "no such file" ? "no signature: " + why : why);

    std::vector<MinisignKey> keys(names.size());
    for (size_t i = 0; i < names.size(); ++i)
        if (!ParseMinisignKey(keyTexts[i], &keys[i], &why))
            return Untrusted(policy, keysDir + "/" + names[i], why);
    MinisignSignature signature;
    if (!ParseMinisignSignature(sigText, &signature, &why))
        return Untrusted(policy, sigPath, why);
    const MinisignKey* signer = nullptr;
    for (const MinisignKey& key : keys)
        if (VerifyMinisign(signature, key, reinterpret_cast<const unsigned char*>(list.data()),
                           list.size()))
            signer = &key;
    if (signer == nullptr)
        return Untrusted(policy, listPath, "signature does not verify with any key in " + keysDir);
    policy.keyId = MinisignKeyId(signer->id);
    if (!(why = ParseList(list, &policy)).empty()) {
        policy.entries.clear();
        return Untrusted(policy, listPath, why);
    }
    policy.state = POLICY_IN_FORCE;
    return policy;
}

const char* DeviceWords(FirmwareDevice device) {
    return device == FW_FOR_RPU ? "the printer" : "the dispenser";
}

Approval CheckApproval(const Policy& policy, const std::string& path, const std::string& sha256,
                       FirmwareDevice device) {
    Approval approval;
    if (policy.state == POLICY_ABSENT)
        return approval;
    approval.approved = false;
    if (policy.state == POLICY_UNTRUSTED) {
        approval.subject = policy.subject;
        approval.why = policy.why;
        return approval;
    }
    approval.serial = policy.serial;
    std::string hex = Lower(sha256);
    const PolicyEntry* other = nullptr;
    for (const PolicyEntry& entry : policy.entries) {
        if (entry.sha256 != hex)
            continue;
        if (entry.device == device || device == FW_FOR_NONE) {
            approval.approved = true;
            approval.device = entry.device;
            return approval;
        }
        other = &entry;
    }
    std::string tail = " (policy " + std::to_string(policy.serial) + ")";
    approval.subject = path;
    if (other != nullptr)
        approval.why = "sha256 " + hex + " is approved for " + DeviceWords(other->device) +
                       ", not " + DeviceWords(device) + tail;
    else
        approval.why = "sha256 " + hex + " is not in the approved list" + tail;
    return approval;
}

std::string ApprovalReason(const Approval& approval, const std::string& path) {
    return approval.subject == path ? approval.why : approval.subject + ": " + approval.why;
}
