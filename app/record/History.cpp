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

#include "app/file/FirmwareCheck.h"
#include "app/record/Prepared.h"
#include "app/record/SystemLog.h"
#include "fwdn/DnResult.h"
#include "serial/Clock.h"
#include "serial/ConsoleSink.h"

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
                                   "unprotected"};

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

std::string HomeFolder() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    struct passwd* pw = getpwuid(getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
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

std::string LogLine(const json& keys) {
    std::string line;
    for (const char* key : {"device", "action", "port", "file", "sha256", "version", "cassette",
                            "result", "exit", "user", "error"}) {
        if (keys[key].is_null())
            continue;
        line += (line.empty() ? "" : " ") + std::string(key) + "=" + LogValue(keys[key]);
    }
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

std::string HistoryPath() {
    const char* set = getenv("KVFWDN_HISTORY");
    if (set != nullptr && set[0] != '\0')
        return strcmp(set, "off") == 0 ? "" : set;
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/kvfwdn/history.jsonl";
    std::string home = HomeFolder();
    // Without a home folder the record has nowhere to go; the relative path
    // makes the warning say so.
    return (home.empty() ? std::string("~") : home) + "/.local/state/kvfwdn/history.jsonl";
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
    ClearReasonLine(); // the reasons of this action from here on
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
        return RecordLine(keys);
    });
}

void FinishRecord(ActionRecord* record) {
    DropPreparedHistoryLines();
    json& keys = record->keys;
    if (keys["seconds"].is_null())
        keys["seconds"] = RecordSeconds(GetTickCount() - record->startMs);
    std::string path = HistoryPath();
    if (path.empty())
        return; // off: neither the file nor the system log
    std::string line = RecordLine(keys) + "\n";
    if (!MakeFolders(path)) {
        Warn(path, "its folder cannot be created");
    } else {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        // One write to a descriptor opened for appending: two tools writing
        // at once cannot interleave their lines.
        ssize_t n = fd < 0 ? -1 : write(fd, line.data(), line.size());
        int error = errno;
        if (fd < 0 || n != static_cast<ssize_t>(line.size()))
            Warn(path, n < 0 ? strerror(error) : "short write");
        else if (fdatasync(fd) != 0)
            Warn(path, strerror(errno));
        if (fd >= 0)
            close(fd);
    }
    SendSystemLog(!keys["ok"].get<bool>(), LogLine(keys));
}
