// `kvfwdn history`: the last records of the history file, read from its
// end, as text lines, one JSON array or CSV for auditors.
#include "app/cli/HistoryCommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <unistd.h>

#include "app/cli/CliResult.h"
#include "app/record/History.h"
#include "app/record/HistoryReader.h"
#include "app/text/DeviceText.h"

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

// The outcome with the failure's own reason: a result number alone means
// "port" for a query and "download failed" for a download.
std::string Outcome(const json& record) {
    if (record["ok"] == true)
        return "ok";
    if (record["error"] == "cancelled")
        return "cancelled";
    if (record["error"].is_string())
        return "failed: " + Printable(record["error"]);
    return "failed";
}

// The line cut to `width` characters, the last one then an ellipsis.
std::string Fitted(const std::string& line, size_t width) {
    size_t chars = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((line[i] & 0xC0) == 0x80)
            continue;
        if (++chars == width && width > 0) {
            size_t next = i + 1;
            while (next < line.size() && (line[next] & 0xC0) == 0x80)
                ++next;
            return next >= line.size() ? line : line.substr(0, i) + "\u2026";
        }
    }
    return line;
}

size_t LineWidth() {
    const char* columns = getenv("COLUMNS");
    long width = columns != nullptr ? strtol(columns, nullptr, 10) : 0;
    return width >= 20 && width <= 10000 ? static_cast<size_t>(width) : 100;
}

std::string TextLine(json record) {
    for (const char* key : {"device", "action", "port", "file", "sha256", "version", "cassette",
                            "result", "error", "ok"})
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
    if (record["cassette"].is_number())
        line += "  cassette " + record["cassette"].dump();
    return Fitted(line + "  " + Outcome(record), LineWidth());
}

// One CSV field, quoted as the fleet report quotes: a text a spreadsheet
// would take as a formula gets a leading '.
std::string CsvField(const json& value) {
    std::string text = value.is_null() ? ""
                       : value.is_string()
                           ? value.get<std::string>()
                           : value.dump(-1, ' ', false, json::error_handler_t::replace);
    if (value.is_string() && !text.empty() && strchr("=+-@", text[0]) != nullptr)
        text = "'" + text;
    std::string field = "\"";
    for (char c : text)
        field += c == '"' ? std::string("\"\"") : std::string(1, c);
    return field + "\"";
}

bool PrintCsvRow(const json& record, const std::vector<std::string>& columns) {
    std::string row;
    for (const std::string& key : columns)
        row += (row.empty() ? "" : ",") + CsvField(record.value(key, json()));
    row += "\r\n";
    return fputs(row.c_str(), stdout) >= 0;
}

bool Matches(const json& record, const HistoryQuery& query) {
    std::string day = record["time"].is_string() ? record["time"].get<std::string>() : "";
    day = day.substr(0, 10);
    if (!query.since.empty() && day < query.since)
        return false;
    if (!query.until.empty() && day > query.until)
        return false;
    return query.device.empty() || record.value("device", json()) == query.device;
}

void WarnSkipped(int broken, const std::string& path) {
    if (broken > 0)
        fprintf(stderr, "kvfwdn: %d line%s of %s %s not a valid record and %s skipped\n", broken,
                broken == 1 ? "" : "s", path.c_str(), broken == 1 ? "is" : "are",
                broken == 1 ? "was" : "were");
}

} // namespace

bool ValidDate(const std::string& text) {
    struct tm day = {};
    int year, month, mday;
    char rest;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &mday, &rest) != 3)
        return false;
    day.tm_year = year - 1900;
    day.tm_mon = month - 1;
    day.tm_mday = mday;
    time_t when = timegm(&day);
    struct tm back;
    return gmtime_r(&when, &back) != nullptr && back.tm_year == year - 1900 &&
           back.tm_mon == month - 1 && back.tm_mday == mday;
}

int OpenHistoryToShow(bool* failed) {
    *failed = false;
    std::string path = HistoryPath();
    if (path.empty()) {
        if (HistoryOff())
            fputs("kvfwdn: the record is off (KVFWDN_HISTORY=off)\n", stderr);
        else
            fprintf(stderr, "kvfwdn: there is no history: %s\n", NO_HOME_TEXT);
        return -1;
    }
    std::string why;
    int fd = OpenHistoryForReading(path, &why);
    if (fd < 0 && !why.empty()) {
        fprintf(stderr, "kvfwdn: the history %s cannot be read: %s\n", path.c_str(), why.c_str());
        *failed = true;
    }
    return fd;
}

int ShowHistory(const HistoryQuery& query) {
    // Many lines: written in blocks, not one by one (nothing is printed
    // before this).
    setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    std::string path = HistoryPath();
    bool failed = false;
    int fd = OpenHistoryToShow(&failed);
    if (failed)
        return EXIT_OTHER;
    std::vector<std::string> columns = RecordKeyOrder();
    bool written = true;
    if (query.csv) {
        std::string header;
        for (const std::string& key : columns)
            header += (header.empty() ? "" : ",") + key;
        written = fputs((header + "\r\n").c_str(), stdout) >= 0;
    }
    int broken = 0;
    bool read = true;
    // The matching lines as they are (a parsed record takes ten times the
    // room), parsed again one at a time to be shown.
    std::deque<std::string> lines;
    if (fd >= 0 && query.csv && !query.countGiven) {
        // Every matching record, streamed from the first.
        read = ReadLinesForward(fd, false, [&](const HistoryLine& line) {
            json record;
            if (!ParseRecord(line, &record))
                ++broken;
            else if (Matches(record, query))
                written = PrintCsvRow(record, columns) && written;
            return true;
        });
    } else if (fd >= 0) {
        // From the end, until enough records match.
        read = ReadLinesBackward(fd, [&](const HistoryLine& line) {
            json record;
            if (!ParseRecord(line, &record))
                ++broken;
            else if (Matches(record, query))
                lines.push_front(line.text);
            return lines.size() < static_cast<size_t>(query.count);
        });
    }
    if (fd >= 0)
        close(fd);
    WarnSkipped(broken, path);
    if (!read)
        fprintf(stderr, "kvfwdn: the history %s could not be read to its end\n", path.c_str());
    if (query.json)
        written = fputs("[", stdout) >= 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        json record = json::parse(lines[i], nullptr, false);
        if (query.json)
            written = fputs(((i == 0 ? "" : ",") +
                             record.dump(-1, ' ', false, json::error_handler_t::replace))
                                .c_str(),
                            stdout) >= 0 &&
                      written;
        else if (query.csv)
            written = PrintCsvRow(record, columns) && written;
        else
            written = puts(TextLine(record).c_str()) >= 0 && written;
    }
    if (query.json)
        written = fputs("]\n", stdout) >= 0 && written;
    written = fflush(stdout) == 0 && written;
    return written && read ? EXIT_OK : EXIT_OTHER;
}
