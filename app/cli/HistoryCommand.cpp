// `kvfwdn history`: the last records of the history file, as text lines or
// one JSON array.
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <string>

#include "app/cli/CliResult.h"
#include "app/text/DeviceText.h"
#include "app/record/History.h"

using nlohmann::json;

namespace {

// Text from a record (device text among it) with every byte outside
// printable ASCII shown as '?'.
std::string Printable(const json& value) {
    return PrintableText(value.is_string() ? value.get<std::string>() : value.dump());
}

// "2026-12-08T19:31:02.123Z" in local time as "2026-12-08 20:31:02"; the
// text as it is when it is no such time.
std::string LocalTime(const json& value) {
    std::string text = Printable(value);
    struct tm utc = {};
    if (sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
               &utc.tm_hour, &utc.tm_min, &utc.tm_sec) != 6)
        return text;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    time_t when = timegm(&utc);
    struct tm local;
    char out[32];
    if (localtime_r(&when, &local) == nullptr ||
        strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return text;
    return out;
}

std::string Outcome(const json& record) {
    if (record["ok"] == true)
        return "ok";
    if (record["result"].is_number())
        return "failed (" + record["result"].dump() + ")";
    if (record["error"] == "cancelled")
        return "cancelled";
    return "failed";
}

std::string TextLine(json record) {
    for (const char* key :
         {"device", "action", "port", "file", "sha256", "version", "result", "error", "ok"})
        if (!record.contains(key))
            record[key] = nullptr;
    std::string line = LocalTime(record["time"]) + "  " + Printable(record["device"]) + " " +
                       Printable(record["action"]) + "  " + Printable(record["port"]);
    if (record["file"].is_string())
        line += "  " + Printable(record["file"]);
    if (record["sha256"].is_string())
        line += "  sha256 " + Printable(record["sha256"]).substr(0, 8) + "\u2026";
    if (record["action"] != "download" && record["version"].is_string())
        line += "  " + Printable(record["version"]);
    return line + "  " + Outcome(record);
}

} // namespace

int ShowHistory(int count, bool asJson) {
    std::deque<json> records;
    std::string path = HistoryPath();
    int broken = 0;
    if (!path.empty()) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            json record = json::parse(line, nullptr, false);
            if (record.is_discarded() || !record.is_object() || !record.contains("time")) {
                ++broken;
                continue;
            }
            records.push_back(record);
            if (records.size() > static_cast<size_t>(count))
                records.pop_front();
        }
    }
    if (broken > 0)
        fprintf(stderr, "kvfwdn: %d line%s of %s %s not a valid record and %s skipped\n", broken,
                broken == 1 ? "" : "s", path.c_str(), broken == 1 ? "is" : "are",
                broken == 1 ? "was" : "were");
    bool written = true;
    if (asJson) {
        written = PrintJsonLine(json(std::vector<json>(records.begin(), records.end())));
    } else {
        for (const json& record : records)
            written = puts(TextLine(record).c_str()) >= 0 && written;
        written = fflush(stdout) == 0 && written;
    }
    return written ? EXIT_OK : EXIT_OTHER;
}
