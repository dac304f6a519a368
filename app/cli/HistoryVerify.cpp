// `kvfwdn history --verify`: every line a valid record whose `prev` is the
// hash of the line before it; the breaks as they are found (text lines, or
// the entries of one JSON line), then the count.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "app/cli/CliResult.h"
#include "app/cli/HistoryCommand.h"
#include "app/record/History.h"
#include "app/record/HistoryReader.h"

using nlohmann::json;

namespace {

const char* const AFTER_CHAIN = "prev missing or null after the chain began";

struct Check {
    long long line = 0;
    long long records = 0;
    long long breaks = 0;
    bool chained = false; // a record with `prev` was seen
    std::string lastHex;  // the hash of the line before
    bool json = false;
};

void Break(Check* check, const std::string& reason) {
    if (check->json)
        printf("%s%s", check->breaks > 0 ? "," : "",
               json({{"line", check->line}, {"reason", reason}}).dump().c_str());
    else
        printf("line %lld: %s\n", check->line, reason.c_str());
    ++check->breaks;
}

void Visit(Check* check, const HistoryLine& line) {
    ++check->line;
    json record;
    if (!ParseRecord(line, &record)) {
        Break(check, "not a valid record");
    } else {
        ++check->records;
        if (!record.contains("prev")) {
            // Written before the chain: counted, not faulted, at the start.
            if (check->chained)
                Break(check, AFTER_CHAIN);
        } else {
            check->chained = true;
            const json& prev = record["prev"];
            if (prev.is_null() && check->line > 1)
                Break(check, AFTER_CHAIN);
            else if (!prev.is_null() && check->line == 1)
                Break(check, "prev does not match the start of the file (a line was removed)");
            else if (!prev.is_null() && prev != check->lastHex)
                Break(check, "prev does not match line " + std::to_string(check->line - 1) +
                                 " (a line was edited or removed)");
        }
    }
    check->lastHex = line.hex;
}

} // namespace

int VerifyHistory(bool asJson) {
    // Many lines: written in blocks, not one by one (nothing is printed
    // before this).
    setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    Check check;
    check.json = asJson;
    std::string time = UtcTimeNow();
    bool failed = false;
    int fd = OpenHistoryToShow(&failed);
    if (asJson)
        fputs("{\"action\":\"history\",\"breaks\":[", stdout);
    bool read = fd < 0 || ReadLinesForward(fd, true, [&check](const HistoryLine& line) {
                    Visit(&check, line);
                    return true;
                });
    if (fd >= 0)
        close(fd);
    failed = failed || !read;
    bool intact = check.breaks == 0 && !failed;
    int status = failed ? EXIT_OTHER : intact ? EXIT_OK : EXIT_CHAIN_BROKEN;
    if (!read)
        fprintf(stderr, "kvfwdn: the history %s could not be read to its end\n",
                HistoryPath().c_str());
    std::string error = failed ? "the history cannot be read" : intact ? "" : "chain broken";
    if (asJson) {
        json rest = {{"error", error.empty() ? json() : json(error)},
                     {"exit", status},
                     {"intact", intact},
                     {"kvfwdn", KVFWDN_VERSION},
                     {"ok", status == EXIT_OK},
                     {"records", check.records},
                     {"time", time}};
        std::string tail = rest.dump();
        printf("],%s\n", tail.c_str() + 1);
    } else if (!failed) {
        printf("%lld records, chain %s\n", check.records, intact ? "intact" : "broken");
    }
    if (fflush(stdout) != 0 && status == EXIT_OK)
        return EXIT_OTHER;
    return status;
}
