// Time and peak memory of `kvfwdn history` on a large history: a chained
// file of about 200 MB (or the size given, in MB) is written to a scratch
// folder, then each command runs as a child with its output to /dev/null.
// A second argument names another kvfwdn to run (an older one, to compare).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nettle/sha2.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* gTool = KVFWDN_EXE;

std::string Hex(const std::string& bytes) {
    struct sha256_ctx ctx;
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    sha256_digest(&ctx, sizeof digest, digest);
    std::string hex;
    char two[3];
    for (unsigned char b : digest) {
        snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

// Records as the tool writes them, each chained to the one before.
long long WriteHistory(const std::string& path, long long bytes) {
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr)
        return 0;
    std::string prev = "null";
    long long written = 0, count = 0;
    while (written < bytes) {
        char line[1024];
        int n = snprintf(
            line, sizeof line,
            "{\"action\":\"download\",\"bytes\":262144,\"cassette\":null,\"device\":\"rpu\","
            "\"error\":null,\"exit\":0,\"file\":\"/srv/firmware/rpu-2.41.bin\",\"file_version\":"
            "\"2.41\",\"host\":\"kiosk-0417\",\"kvfwdn\":\"1.0.0\",\"model\":null,\"ok\":true,"
            "\"port\":\"/dev/ttyS4\",\"prev\":%s,\"result\":0,\"road\":\"bootloader\","
            "\"seconds\":67.12,\"sha256\":\"%064lld\",\"ticket\":\"CHG-%06lld\",\"time\":"
            "\"2026-%02lld-%02lldT10:00:00.000Z\",\"user\":\"tech\",\"version\":null,\"via\":"
            "\"cli\"}",
            prev.c_str(), count, count % 1000000, 1 + count / 40000 % 12, 1 + count / 1500 % 28);
        fprintf(out, "%s\n", line);
        prev = "\"" + Hex(std::string(line, static_cast<size_t>(n))) + "\"";
        written += n + 1;
        ++count;
    }
    fclose(out);
    return count;
}

void Measure(const std::string& history, const std::vector<const char*>& args) {
    fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("KVFWDN_HISTORY", history.c_str(), 1);
        if (freopen("/dev/null", "w", stdout) == nullptr)
            _exit(127);
        std::vector<char*> argv = {const_cast<char*>(gTool)};
        for (const char* arg : args)
            argv.push_back(const_cast<char*>(arg));
        argv.push_back(nullptr);
        execv(gTool, argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string line = "kvfwdn";
    for (const char* arg : args)
        line += std::string(" ") + arg;
    printf("| `%s` | %.3f s | %.3f s | %ld KiB | %d |\n", line.c_str(), seconds,
           usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
               usage.ru_stime.tv_usec / 1e6,
           usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    long long mb = argc > 1 ? atoll(argv[1]) : 200;
    if (argc > 2)
        gTool = argv[2];
    char folder[] = "/tmp/kvbench.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    std::string history = std::string(folder) + "/history.jsonl";
    long long records = WriteHistory(history, mb * 1024 * 1024);
    printf("%lld records, %lld MB\n\n", records, mb);
    printf("| command | wall | CPU | peak RSS | exit |\n|---|---|---|---|---|\n");
    Measure(history, {"history", "-n", "3"});
    Measure(history, {"history", "-n", "3", "--json"});
    Measure(history, {"history", "-n", "100000", "--json"});
    Measure(history, {"history", "--verify"});
    Measure(history, {"history", "--csv"});
    Measure(history, {"history", "--csv", "--since", "2026-06-01", "--until", "2026-06-30"});
    unlink(history.c_str());
    rmdir(folder);
    return 0;
}
