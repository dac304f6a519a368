// The history file and the system-log line of every device action.
#include "app/record/History.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/file/FirmwareCheck.h"
#include "app/record/HistoryFile.h"
#include "app/record/Prepared.h"
#include "app/record/SystemLog.h"
#include "fwdn/DnResult.h"
#include "serial/Clock.h"
#include "app/console/ReasonLine.h"
#include "app/console/WireTrace.h"

using nlohmann::json;

namespace {

const char* const RECORD_KEYS[] = {"time",
                                   "kvfwdn",
                                   "host",
                                   "user",
                                   "via",
                                   "device",
                                   "action",
                                   "port",
                                   "file",
                                   "file_hex",
                                   "bytes",
                                   "sha256",
                                   "file_version",
                                   "model",
                                   "road",
                                   "version",
                                   "cassette",
                                   "result",
                                   "exit",
                                   "ok",
                                   "seconds",
                                   "error",
                                   "bootloader",
                                   "product_id",
                                   "read_protected",
                                   "first_difference",
                                   "skipped",
                                   "unprotected",
                                   "approved",
                                   "policy_serial",
                                   "ticket",
                                   "prev"};

std::string gTicket; // empty: no change ticket

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0)
        return "";
    name[HOST_NAME_MAX] = '\0';
    return name;
}

// The account name of the real user, or its id as a number.
json UserName() {
    struct passwd* pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_name != nullptr)
        return pw->pw_name;
    return static_cast<long long>(getuid());
}

// HOME, else the passwd entry's folder; only an absolute one, else empty.
std::string HomeFolder() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd* pw = getpwuid(getuid());
    return pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/' ? pw->pw_dir : "";
}

// Creates the folders leading to `path`'s file that are missing, mode 0700.
bool MakeFolders(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    std::string folder = path.substr(0, slash);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (!MakeFolders(folder))
        return false;
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

void Warn(const std::string& path, const char* what) {
    fprintf(stderr, "kvfwdn: the history record could not be written to %s: %s\n", path.c_str(),
            what);
}

// Device text for the log line: printable ASCII only, quoted when it holds
// a blank or a quote.
std::string LogValue(const json& value) {
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    bool quote = text.empty();
    for (char& c : text) {
        if (c < 0x20 || c > 0x7E)
            c = '?';
        if (c == ' ' || c == '"')
            quote = true;
    }
    if (!quote)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    return quoted + "\"";
}

// The record's keys, then `record=` (the line's hash, as the next `prev`
// takes it, cut to 16 digits) and `ticket=`.
std::string LogLine(const json& keys, const char* recordHex) {
    std::string line;
    for (const char* key : {"device", "action", "port", "file", "sha256", "version", "cassette",
                            "result", "exit", "user", "error"}) {
        if (keys[key].is_null())
            continue;
        line += (line.empty() ? "" : " ") + std::string(key) + "=" + LogValue(keys[key]);
    }
    line += " record=" + std::string(recordHex, 16);
    if (keys["ticket"].is_string())
        line += " ticket=" + keys["ticket"].get<std::string>();
    return line;
}

std::string RecordLine(const json& keys) {
    return keys.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

std::string UtcTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

bool HistoryOff() {
    const char* set = getenv("KVFWDN_HISTORY");
    return set != nullptr && strcmp(set, "off") == 0;
}

std::string HistoryPath() {
    const char* set = getenv("KVFWDN_HISTORY");
    if (set != nullptr && set[0] != '\0')
        return strcmp(set, "off") == 0 ? "" : set;
    // A relative XDG_STATE_HOME is ignored, as the XDG rules say.
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/kvfwdn/history.jsonl";
    std::string home = HomeFolder();
    return home.empty() ? "" : home + "/.local/state/kvfwdn/history.jsonl";
}

const char* const NO_HOME_TEXT =
    "no home folder (HOME is unset or relative and the user has no passwd entry)";

std::vector<std::string> RecordKeyOrder() {
    json keys = json::object();
    for (const char* key : RECORD_KEYS)
        keys[key] = nullptr;
    std::vector<std::string> order;
    for (auto& item : keys.items())
        order.push_back(item.key());
    return order;
}

bool ValidTicket(const std::string& ticket) {
    if (ticket.empty() || ticket.size() > 64)
        return false;
    for (char c : ticket)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

void SetRecordTicket(const std::string& ticket) {
    gTicket = ticket;
}

json RecordTicket() {
    return gTicket.empty() ? json() : json(gTicket);
}

bool TakeEnvironmentTicket() {
    const char* ticket = getenv("KVFWDN_TICKET");
    bool good = ticket == nullptr || ticket[0] == '\0' || ValidTicket(ticket);
    SetRecordTicket(good && ticket != nullptr ? ticket : "");
    return good;
}

ActionRecord BeginRecord(const char* via, const char* device, const char* action,
                         const std::string& port) {
    ActionRecord record;
    record.keys = json::object();
    for (const char* key : RECORD_KEYS)
        record.keys[key] = nullptr;
    record.keys["time"] = UtcTimeNow();
    record.keys["kvfwdn"] = KVFWDN_VERSION;
    record.keys["host"] = HostName();
    record.keys["user"] = UserName();
    record.keys["via"] = via;
    record.keys["device"] = device;
    record.keys["action"] = action;
    record.keys["port"] = port;
    record.keys["ok"] = false;
    record.startMs = GetTickCount();
    ClearReasonLine();      // the reasons of this action from here on
    BeginWireTraceAction(); // and its line events
    return record;
}

json RegularFileSize(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    return static_cast<long long>(st.st_size);
}

double RecordSeconds(uint64_t ms) {
    return std::round(static_cast<double>(ms) / 10.0) / 100.0;
}

json RecordFactsKeys(const FirmwareFacts& facts) {
    json keys = {{"bytes", facts.bytes}, {"sha256", facts.sha256}};
    keys["file_version"] = facts.version.empty() ? json() : json(facts.version);
    keys["model"] = facts.model.empty() ? json() : json(facts.model);
    keys["road"] = facts.road == nullptr ? json() : json(facts.road);
    return keys;
}

void ArmRecord(ActionRecord* record) {
    record->startMs = GetTickCount();
    std::string path = HistoryPath();
    if (path.empty() || !MakeFolders(path))
        return; // FinishRecord tells
    json keys = record->keys;
    PrepareHistoryLines(path, [&keys](int sig, const char* error) {
        keys["exit"] = 128 + sig;
        keys["ok"] = false;
        keys["error"] = error;
        keys["prev"] = nullptr; // filled in by the signal path's append
        return RecordLine(keys);
    });
}

void FinishRecord(ActionRecord* record) {
    // The prepared lines stay armed while the record is written: a signal
    // meanwhile still leaves the result line, and its own record last.
    json& keys = record->keys;
    if (keys["seconds"].is_null())
        keys["seconds"] = RecordSeconds(GetTickCount() - record->startMs);
    std::string path = HistoryPath();
    if (path.empty() && HistoryOff())
        return; // off: neither the file nor the system log
    keys["prev"] = nullptr;
    std::string line = RecordLine(keys);
    ChainedLine chained = {line.data(), line.size(), PrevValueOffset(line)};
    std::vector<char> buffer(ChainedCapacity(line.size()));
    AppendResult appended;
    if (path.empty()) {
        fprintf(stderr, "kvfwdn: the history record could not be written: %s\n", NO_HOME_TEXT);
        Sha256Hex(line.data(), line.size(), appended.recordHex);
    } else if (!MakeFolders(path)) {
        Warn(path, "its folder cannot be created");
        Sha256Hex(line.data(), line.size(), appended.recordHex);
    } else {
        appended = AppendChained(path.c_str(), chained, buffer.data(), 10000, false);
        if (appended.fault != HISTORY_WRITTEN)
            Warn(path, HistoryFaultText(appended).c_str());
    }
    DropPreparedHistoryLines();
    SendSystemLog(!keys["ok"].get<bool>(), LogLine(keys, appended.recordHex));
}
