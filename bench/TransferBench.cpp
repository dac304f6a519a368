// Transfer benchmark, run by hand: downloads and verifies an image through the
// virtual bootloader on a pseudo-terminal and reports how close the host comes
// to what the serial line allows.
//
//   kv_bench_transfer            all three measurements
//   kv_bench_transfer fast       unthrottled 1 MiB image only
//   kv_bench_transfer line       64 KiB image on an emulated 115200-baud 8E1 line
//   kv_bench_transfer bars       the exact console output of a 300-byte download
//   kv_bench_transfer trace      both transfers with and without the wire trace
//
// The virtual bootloader runs in a child process, so that the CPU time and the
// peak resident memory reported are those of the host side alone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/console/ConsoleRenderer.h"
#include "app/console/WireTrace.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "stbl/STBLLib.h"

namespace {

const unsigned long FLASH_START = 0x08000000;
const unsigned long PACKET = 128;
const double BITS_PER_BYTE = 11.0; // 8E1: start, 8 data, parity, stop

// ---- The virtual bootloader in a child process -----------------------------

struct SimProcess {
    pid_t pid = -1;
    int toChild = -1;   // commands: 'c' clear the log, 'n' report its size, 'q' quit
    int fromChild = -1; // replies: one 8-byte count or one acknowledgement byte
};

bool ReadAll(int fd, void* buf, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

[[noreturn]] void SimChild(VirtualLine& line, const BootloaderConfig& cfg, int in, int out) {
    VirtualBootloader device(line, cfg);
    device.start();
    char cmd = 0;
    while (read(in, &cmd, 1) == 1 && cmd != 'q') {
        if (cmd == 'c') {
            device.clearLog();
            char ok = 'k';
            if (write(out, &ok, 1) != 1)
                break;
        } else if (cmd == 'n') {
            uint64_t n = device.received().size();
            if (write(out, &n, sizeof n) != static_cast<ssize_t>(sizeof n))
                break;
        }
    }
    device.stop();
    _exit(0);
}

bool StartSim(VirtualLine& line, const BootloaderConfig& cfg, SimProcess* sim) {
    int down[2], up[2];
    if (pipe(down) != 0)
        return false;
    if (pipe(up) != 0) {
        close(down[0]);
        close(down[1]);
        return false;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        close(down[1]);
        close(up[0]);
        SimChild(line, cfg, down[0], up[1]);
    }
    close(down[0]);
    close(up[1]);
    sim->pid = pid;
    sim->toChild = down[1];
    sim->fromChild = up[0];
    return true;
}

bool SimCommand(const SimProcess& sim, char cmd) {
    return write(sim.toChild, &cmd, 1) == 1;
}

bool SimClearLog(const SimProcess& sim) {
    char ok = 0;
    return SimCommand(sim, 'c') && ReadAll(sim.fromChild, &ok, 1) && ok == 'k';
}

uint64_t SimReceived(const SimProcess& sim) {
    uint64_t n = 0;
    if (!SimCommand(sim, 'n') || !ReadAll(sim.fromChild, &n, sizeof n))
        return 0;
    return n;
}

void StopSim(SimProcess* sim) {
    SimCommand(*sim, 'q');
    close(sim->toChild);
    close(sim->fromChild);
    int status = 0;
    waitpid(sim->pid, &status, 0);
    sim->pid = -1;
}

// ---- Host side ---------------------------------------------------------------

double Seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double CpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
}

long PeakRssKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Sends standard output to `path` until RestoreStdout.
int RedirectStdout(const char* path) {
    fflush(stdout);
    int saved = dup(1);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        dup2(fd, 1);
        close(fd);
    }
    return saved;
}

void RestoreStdout(int saved) {
    fflush(stdout);
    if (saved >= 0) {
        dup2(saved, 1);
        close(saved);
    }
}

unsigned char* MakeImage(size_t size) {
    unsigned char* image = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (image == nullptr)
        return nullptr;
    uint32_t x = 0x2545F491u;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = static_cast<unsigned char>(x);
    }
    return image;
}

// Bytes the protocol moves for download + verify of `size` bytes in 128-byte
// packets (0x79 dialect), each direction.
void LineBytes(unsigned long size, uint64_t* host, uint64_t* target) {
    uint64_t full = size / PACKET, r = size % PACKET;
    const uint64_t readFrame = 2 + 5 + 2; // command, address, count
    // Download: per full packet command, address, count, data, checksum; three ACKs.
    *host = full * (2 + 5 + 1 + PACKET + 1);
    *target = full * 3;
    // Verify: per full packet one read.
    *host += full * readFrame;
    *target += full * (3 + PACKET);
    if (r > 0) {
        uint64_t n = r - r % 4 + 4; // read-modify-write length
        uint64_t rv = r + (r % 2);  // verify read, raised to even
        *host += readFrame + (2 + 5 + 1 + n + 1) + readFrame;
        *target += (3 + n) + 3 + (3 + rv);
    }
}

struct Session {
    VirtualLine line;
    SimProcess sim;
    CSTBLLib lib;
    bool ok = false;
};

// Opens the port on a fresh virtual bootloader, synchronises and erases.
bool OpenSession(Session* s, uint32_t flashSize, int lineRate) {
    if (!s->line.ok())
        return false;
    BootloaderConfig cfg;
    cfg.flashSize = flashSize;
    cfg.lineRate = lineRate;
    if (!StartSim(s->line, cfg, &s->sim))
        return false;
    std::string path = s->line.slavePath();
    unsigned char version = 0;
    Commands cmds;
    memset(&cmds, 0, sizeof cmds);
    if (s->lib.SetCOMSettings(&path[0], 115200, 8, 2, 1.0f) != SUCCESS ||
        s->lib.COM_Open() != SUCCESS) {
        fprintf(stderr, "cannot open %s\n", path.c_str());
        return false;
    }
    s->lib.SetPaketSize(PACKET);
    unsigned char st = s->lib.STBL_Init_BL();
    if (st == SUCCESS)
        st = s->lib.STBL_GET(&version, &cmds);
    if (st == SUCCESS)
        st = s->lib.STBL_ERASE(0xFFFF, nullptr);
    if (st != SUCCESS) {
        fprintf(stderr, "bootloader start / erase failed: %d\n", st);
        return false;
    }
    s->ok = true;
    return true;
}

void CloseSession(Session* s) {
    s->lib.COM_Close();
    if (s->sim.pid > 0)
        StopSim(&s->sim);
}

struct Figures {
    double download = 0, verify = 0, cpu = 0;
    uint64_t packets = 0, hostBytes = 0, expectHost = 0, targetBytes = 0;
};

// With `trace`, the line's events go to that file as --trace writes them.
bool Transfer(unsigned long size, int lineRate, Figures* f, const char* trace = nullptr) {
    Session s;
    uint32_t flash = static_cast<uint32_t>(size < 65536 ? 65536 : size);
    bool good = OpenSession(&s, flash, lineRate) && SimClearLog(s.sim);
    unsigned char* image = good ? MakeImage(size) : nullptr;
    if (image == nullptr) {
        CloseSession(&s);
        return false;
    }
    f->packets = size / PACKET + (size % PACKET ? 1 : 0);
    int saved = RedirectStdout("/dev/null");
    if (trace != nullptr) {
        SetWireTraceFile(trace);
        BeginWireTraceAction();
    }
    double cpu0 = CpuSeconds();
    double t0 = Now();
    s.lib.SetActivityTime(f->packets);
    unsigned char dn = s.lib.STBL_DNLOAD(FLASH_START, image, size, 0);
    double t1 = Now();
    s.lib.SetActivityTime(f->packets);
    unsigned char vf = dn == SUCCESS ? s.lib.STBL_VERIFY(FLASH_START, image, size, 0) : dn;
    FlushWireTrace();
    double t2 = Now();
    f->cpu = CpuSeconds() - cpu0;
    SetWireTraceFile(nullptr);
    RestoreStdout(saved);
    f->download = t1 - t0;
    f->verify = t2 - t1;
    f->hostBytes = SimReceived(s.sim);
    LineBytes(size, &f->expectHost, &f->targetBytes);
    free(image);
    CloseSession(&s);
    if (dn != SUCCESS || vf != SUCCESS) {
        fprintf(stderr, "transfer failed: download %d, verify %d\n", dn, vf);
        return false;
    }
    return true;
}

bool RunFast() {
    const unsigned long size = 1024 * 1024;
    Figures f;
    if (!Transfer(size, 0, &f))
        return false;
    printf("(a) unthrottled, %lu-byte image, %llu packets of %lu bytes\n", size,
           static_cast<unsigned long long>(f.packets), PACKET);
    printf("    download %.3f s, verify %.3f s, total %.3f s\n", f.download, f.verify,
           f.download + f.verify);
    printf("    per packet: write %.1f us, read %.1f us\n", f.download * 1e6 / f.packets,
           f.verify * 1e6 / f.packets);
    printf("    host CPU time %.3f s (%.0f%% of wall time)\n", f.cpu,
           100.0 * f.cpu / (f.download + f.verify));
    return true;
}

bool RunLine() {
    const unsigned long size = 64 * 1024;
    const int rate = 115200;
    Figures f;
    if (!Transfer(size, rate, &f))
        return false;
    uint64_t bytes = f.hostBytes + f.targetBytes;
    double bound = static_cast<double>(bytes) * BITS_PER_BYTE / rate;
    double total = f.download + f.verify;
    printf("(b) emulated %d-baud 8E1 line, %lu-byte image, %llu packets\n", rate, size,
           static_cast<unsigned long long>(f.packets));
    printf("    download %.3f s, verify %.3f s, total %.3f s\n", f.download, f.verify, total);
    printf("    bytes on the line: %llu host->target (%llu expected), %llu target->host,"
           " %llu in all\n",
           static_cast<unsigned long long>(f.hostBytes),
           static_cast<unsigned long long>(f.expectHost),
           static_cast<unsigned long long>(f.targetBytes), static_cast<unsigned long long>(bytes));
    printf("    line-time bound %.3f s (%.2f ms per packet); measured/bound = %.4f (goal <= 1.03)"
           " %s\n",
           bound, bound * 1e3 / (2.0 * f.packets), total / bound,
           total / bound <= 1.03 ? "MET" : "NOT MET");
    return true;
}

// (e) the same transfers with and without the wire trace.
bool RunTrace() {
    char path[] = "/tmp/kv_bench_traceXXXXXX";
    int tmp = mkstemp(path);
    if (tmp >= 0)
        close(tmp);
    struct Leg {
        const char* what;
        unsigned long size;
        int rate;
    };
    const Leg legs[] = {{"unthrottled", 1024 * 1024, 0}, {"115200-baud line", 64 * 1024, 115200}};
    printf("(e) wire trace (--trace) off and on, the best of 3 runs each, alternating\n");
    for (const Leg& leg : legs) {
        double best[2] = {1e9, 1e9}, cpu[2] = {1e9, 1e9};
        for (int round = 0; round < 6; ++round) {
            Figures f;
            bool traced = round % 2 == 1;
            unlink(path);
            if (!Transfer(leg.size, leg.rate, &f, traced ? path : nullptr))
                return false;
            double total = f.download + f.verify;
            if (total < best[traced])
                best[traced] = total;
            if (f.cpu < cpu[traced])
                cpu[traced] = f.cpu;
        }
        struct stat st;
        long long bytes = stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        printf("    %s, %lu bytes: %.3f s without, %.3f s with (%+.1f%%); host CPU %.3f s /"
               " %.3f s; trace file %lld bytes\n",
               leg.what, leg.size, best[0], best[1], 100.0 * (best[1] - best[0]) / best[0], cpu[0],
               cpu[1], bytes);
    }
    unlink(path);
    return true;
}

bool RunBars() {
    Session s;
    if (!OpenSession(&s, 65536, 0)) {
        CloseSession(&s);
        return false;
    }
    const unsigned long size = 300;
    unsigned char* image = MakeImage(size);
    char path[] = "/tmp/kv_bench_barsXXXXXX";
    int tmp = mkstemp(path);
    if (tmp >= 0)
        close(tmp);
    int saved = RedirectStdout(path);
    s.lib.SetActivityTime(3);
    unsigned char st = s.lib.STBL_DNLOAD(FLASH_START, image, size, 0);
    RestoreStdout(saved);
    free(image);
    CloseSession(&s);
    printf("(d) console output of a %lu-byte download (status %d), escaped:\n    \"", size, st);
    FILE* fp = fopen(path, "rb");
    int c;
    while (fp != nullptr && (c = fgetc(fp)) != EOF) {
        if (c == '\r')
            printf("\\r");
        else if (c == '\n')
            printf("\\n");
        else
            putchar(c);
    }
    printf("\"\n");
    if (fp != nullptr)
        fclose(fp);
    unlink(path);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Measured runs are no technician's actions: nothing the benchmark
    // starts may write the user's history.
    setenv("KVFWDN_HISTORY", "off", 1);
    long rssStart = PeakRssKiB();
    InstallConsoleRenderer(); // the bars as the tool draws them
    std::string mode = argc > 1 ? argv[1] : "all";
    bool ok = true;
    if (mode == "all" || mode == "fast")
        ok = RunFast() && ok;
    if (mode == "all" || mode == "line")
        ok = RunLine() && ok;
    if (mode == "all" || mode == "bars")
        ok = RunBars() && ok;
    if (mode == "all" || mode == "trace")
        ok = RunTrace() && ok;
    long rss = PeakRssKiB();
    printf("(c) host peak resident memory %ld KiB: %ld KiB at the start of main (program and shared"
           " libraries), +%ld KiB during the run\n",
           rss, rssStart, rss - rssStart);
    if (mode == "all" || mode == "fast") {
        const long limit = 1024 + 2048; // KiB: the 1 MiB image plus 2 MiB
        printf("    goal < %ld KiB (1 MiB image + 2 MiB): absolute %s, growth during the run %s\n",
               limit, rss < limit ? "MET" : "NOT MET", rss - rssStart < limit ? "MET" : "NOT MET");
    }
    return ok ? 0 : 1;
}
