// kvsim: serves virtual devices on pseudo-terminals, so that kvfwdn can be
// tried without hardware. Each device gets a stable port path under the
// directory (default /tmp/kvsim, e.g. /tmp/kvsim/rpu). Commands switch modes
// and faults: typed at kvsim's own prompt, or written to the control FIFO
// (<dir>/control) while `--run CMD` has given the terminal to the tool.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kvsim/KvsimDevice.h"

namespace {

std::atomic<bool> gbStop{false};
volatile sig_atomic_t giChild = 0;

void OnStopSignal(int) {
    gbStop = true;
}

void OnForwardSignal(int signo) {
    if (giChild > 0)
        kill(giChild, signo);
}

struct Settings {
    std::string dir = "/tmp/kvsim";
    std::vector<KvsimOptions> deviceOptions; // one per device type, same order
    std::vector<std::string> run;            // CMD and its arguments; empty: interactive
    bool serve = false;                      // no prompt: serve until SIGINT or SIGTERM
};

// Usage errors exit as kvfwdn's do.
const int EXIT_USAGE = 64;
// A command line longer than this is dropped whole.
const size_t MAX_COMMAND_LINE = 4096;
// The mark of a directory that kvsim made or took; kept when it exits.
const char* const MARK = ".kvsim";
// kvsim's own names in the directory (the devices add theirs).
const char* const OWN_FILES[] = {"control", "kvsim.log", "kvsim.pid"};

void PrintUsage(FILE* out) {
    fprintf(out, "usage: kvsim [--dir DIR] [device options] [--serve | --run CMD [ARGS...]]\n"
                 "       kvsim --help | --version\n"
                 "\n"
                 "Serves virtual devices for kvfwdn on pseudo-terminals linked at DIR/<device>\n"
                 "(DIR defaults to /tmp/kvsim). With --run, starts the devices, runs CMD on this\n"
                 "terminal and stops the devices when CMD ends; with --serve, serves without a\n"
                 "prompt until SIGINT or SIGTERM (kvsim --serve & for scripts or a second\n"
                 "terminal); otherwise kvsim reads commands at its own prompt until \"quit\" or\n"
                 "Ctrl-C. A wrong option exits 64 before anything is touched.\n"
                 "\n"
                 "Commands (at the prompt, or: echo \"COMMAND\" > DIR/control):\n"
                 "  status                         show the devices\n"
                 "  quit                           stop kvsim (at its prompt only)\n");
    for (int i = 0; i < gKvsimDeviceTypeCount; ++i)
        fputs(gKvsimDeviceTypes[i].commands, out);
    fprintf(out,
            "Replies to control commands are appended to DIR/kvsim.log; a command line\n"
            "longer than %zu bytes is ignored.\n"
            "\n"
            "DIR is marked with a file .kvsim. kvsim refuses a DIR that another user owns\n"
            "or others may write to, and one that holds files named like its own but no\n"
            "mark. At start it removes the flash and image files of its last run.\n"
            "\n"
            "Device options:\n",
            MAX_COMMAND_LINE);
    for (int i = 0; i < gKvsimDeviceTypeCount; ++i)
        fputs(gKvsimDeviceTypes[i].usage, out);
}

// Splits "--rpu-mode" into the device index and the key "mode".
bool DeviceOption(const std::string& arg, int* device, std::string* key) {
    for (int i = 0; i < gKvsimDeviceTypeCount; ++i) {
        std::string prefix = std::string("--") + gKvsimDeviceTypes[i].name + "-";
        if (arg.compare(0, prefix.size(), prefix) == 0 && arg.size() > prefix.size()) {
            *device = i;
            *key = arg.substr(prefix.size());
            return true;
        }
    }
    return false;
}

int UsageError(const std::string& what) {
    fprintf(stderr, "kvsim: %s (see kvsim --help)\n", what.c_str());
    return EXIT_USAGE;
}

// The value of the option at argv[*i], which is never another option.
bool TakeValue(int argc, char** argv, int* i, std::string* value) {
    if (*i + 1 >= argc || strncmp(argv[*i + 1], "--", 2) == 0)
        return false;
    *value = argv[++*i];
    return true;
}

// Returns 0 to go on, otherwise the exit code. Every value is checked here,
// before the directory or any file is touched.
int ParseArguments(int argc, char** argv, Settings* settings) {
    settings->deviceOptions.resize(static_cast<size_t>(gKvsimDeviceTypeCount));
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        int device = 0;
        std::string key;
        std::string value;
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 1;
        } else if (arg == "--version" || arg == "-V") {
            printf("kvsim " KVSIM_VERSION "\n");
            return 1;
        } else if (arg == "--run") {
            if (i + 1 >= argc)
                return UsageError("--run needs a command");
            settings->run.assign(argv + i + 1, argv + argc);
            break;
        } else if (arg == "--serve") {
            settings->serve = true;
        } else if (arg == "--dir" || DeviceOption(arg, &device, &key)) {
            if (!TakeValue(argc, argv, &i, &value))
                return UsageError(arg + " needs a value");
            if (arg == "--dir")
                settings->dir = value;
            else
                settings->deviceOptions[static_cast<size_t>(device)].values[key] = value;
        } else {
            return UsageError("unknown option " + arg);
        }
    }
    if (settings->serve && !settings->run.empty())
        return UsageError("--serve and --run do not go together");
    for (int i = 0; i < gKvsimDeviceTypeCount; ++i) {
        std::string error;
        if (!gKvsimDeviceTypes[i].check(settings->deviceOptions[static_cast<size_t>(i)], &error))
            return UsageError(error);
    }
    for (KvsimOptions& options : settings->deviceOptions)
        options.dir = settings->dir;
    return 0;
}

bool MakeDirectories(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// True when kvsim may use `dir`: the user's own, writable by nobody else,
// and either marked as kvsim's or free of files named like kvsim's (a user's
// own `control` or `rpu` is never deleted). Marks it. Says why not.
bool TakeDirectory(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "kvsim: %s is not a directory\n", dir.c_str());
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        fprintf(stderr, "kvsim: %s is %s; give kvsim a directory of your own (--dir)\n",
                dir.c_str(), st.st_uid != geteuid() ? "another user's" : "writable by others");
        return false;
    }
    std::string mark = dir + "/" + MARK;
    if (Exists(mark))
        return true;
    std::vector<std::string> names(std::begin(OWN_FILES), std::end(OWN_FILES));
    for (int i = 0; i < gKvsimDeviceTypeCount; ++i)
        for (const char* const* name = gKvsimDeviceTypes[i].files; *name != nullptr; ++name)
            names.push_back(*name);
    std::string found;
    for (const std::string& name : names)
        if (Exists(dir + "/" + name))
            found += (found.empty() ? "" : ", ") + name;
    if (!found.empty()) {
        fprintf(stderr,
                "kvsim: %s holds files that kvsim would replace (%s) but is not kvsim's "
                "(no %s); nothing was touched: give kvsim another directory (--dir)\n",
                dir.c_str(), found.c_str(), MARK);
        return false;
    }
    int fd = open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "kvsim: cannot mark %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    const char text[] = "This directory is kvsim's: it replaces its files here.\n";
    bool written = write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
    close(fd);
    return written;
}

// The results of the last run's downloads go, so that a check never
// compares with them.
void RemoveOldResults(const std::string& dir) {
    for (int i = 0; i < gKvsimDeviceTypeCount; ++i)
        for (const char* const* name = gKvsimDeviceTypes[i].results; *name != nullptr; ++name)
            unlink((dir + "/" + *name).c_str());
}

// One kvsim per directory: a second one would steal the first one's links.
int LockDirectory(const std::string& dir) {
    std::string path = dir + "/kvsim.pid";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {0};
        ssize_t n = read(fd, pid, sizeof(pid) - 1);
        pid[n > 0 ? strcspn(pid, "\n") : 0] = '\0';
        fprintf(stderr, "kvsim: another kvsim (pid %s) is serving %s; stop it first\n",
                pid[0] != '\0' ? pid : "?", dir.c_str());
        close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) == 0) {
        std::string pid = std::to_string(getpid()) + "\n";
        if (write(fd, pid.data(), pid.size()) < 0) {
            // The pid is only a hint for the message above.
        }
    }
    return fd;
}

class Devices {
  public:
    ~Devices() { stopAll(); }

    bool startAll(const Settings& settings) {
        for (int i = 0; i < gKvsimDeviceTypeCount; ++i) {
            std::string error;
            KvsimDevice* device =
                gKvsimDeviceTypes[i].start(settings.deviceOptions[static_cast<size_t>(i)], &error);
            if (device == nullptr) {
                fprintf(stderr, "kvsim: %s: %s\n", gKvsimDeviceTypes[i].name, error.c_str());
                return false;
            }
            devices_.push_back(device);
        }
        return true;
    }

    void stopAll() {
        for (KvsimDevice* device : devices_) {
            device->stop();
            delete device;
        }
        devices_.clear();
    }

    // One line a device, with the port path to type last.
    std::string ports() const {
        std::string text;
        for (const KvsimDevice* device : devices_)
            text += " " + device->title + " port: " + device->linkPath + "\n";
        return text;
    }

    std::string describe() const {
        std::string text;
        for (const KvsimDevice* device : devices_)
            text += device->describe();
        return text;
    }

    // Runs one command line; false for "quit".
    bool execute(const std::string& line, std::string* reply) {
        std::vector<std::string> words;
        std::istringstream in(line);
        std::string word;
        while (in >> word)
            words.push_back(word);
        reply->clear();
        if (words.empty())
            return true;
        if (words[0] == "quit" || words[0] == "exit")
            return false;
        if (words[0] == "status") {
            for (const KvsimDevice* device : devices_)
                *reply += device->status() + "\n";
            return true;
        }
        for (KvsimDevice* device : devices_) {
            if (words[0] == device->name) {
                std::string answer;
                device->command(std::vector<std::string>(words.begin() + 1, words.end()), &answer);
                *reply = answer + "\n";
                return true;
            }
        }
        *reply = "kvsim: unknown command \"" + words[0] + "\" (try status, or see kvsim --help)\n";
        return true;
    }

  private:
    std::vector<KvsimDevice*> devices_;
};

void AppendLog(const std::string& path, const std::string& text) {
    FILE* log = fopen(path.c_str(), "a");
    if (log == nullptr)
        return;
    fputs(text.c_str(), log);
    fclose(log);
}

// Command lines as they come in, each at most MAX_COMMAND_LINE bytes.
struct LineInput {
    std::string pending;
    bool overlong = false; // the line being read is dropped up to its newline
    int dropped = 0;       // overlong lines dropped, for the caller to tell
};

// Waits up to `timeoutMs` for input on `fd` and moves the complete lines
// (without their newlines) to `lines`. False when a read finds the end of
// the input or fails.
bool ReadLines(int fd, int timeoutMs, LineInput* input, std::vector<std::string>* lines) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return true;
    char buffer[256];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0)
        return false;
    for (ssize_t i = 0; i < n; ++i) {
        char c = buffer[i];
        if (c == '\n') {
            if (!input->overlong)
                lines->push_back(input->pending);
            input->pending.clear();
            input->overlong = false;
        } else if (input->overlong) {
            // dropped
        } else if (input->pending.size() >= MAX_COMMAND_LINE) {
            input->pending.clear();
            input->overlong = true;
            ++input->dropped;
        } else {
            input->pending += c;
        }
    }
    return true;
}

std::string DroppedNote(LineInput* input) {
    if (input->dropped == 0)
        return "";
    input->dropped = 0;
    return "kvsim: a command line longer than " + std::to_string(MAX_COMMAND_LINE) +
           " bytes was ignored\n";
}

// Reads command lines from the control FIFO. The FIFO is held open for
// writing too, so that a writer that comes and goes never ends the reading.
void ControlLoop(Devices* devices, const std::string& fifo, const std::string& log,
                 std::atomic<bool>* done) {
    int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    LineInput input;
    std::vector<std::string> lines;
    while (!*done) {
        lines.clear();
        ReadLines(fd, 100, &input, &lines);
        std::string note = DroppedNote(&input);
        if (!note.empty())
            AppendLog(log, note);
        for (const std::string& line : lines) {
            std::string reply;
            if (!devices->execute(line, &reply))
                reply = "kvsim: quit is not taken from the control file; end the tool instead\n";
            AppendLog(log, "> " + line + "\n" + reply);
        }
    }
    close(fd);
}

int RunCommand(const std::vector<std::string>& command) {
    std::vector<char*> args;
    for (const std::string& arg : command)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "kvsim: cannot start %s: %s\n", args[0], strerror(errno));
        return 127;
    }
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        execvp(args[0], args.data());
        fprintf(stderr, "kvsim: cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    giChild = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    giChild = 0;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void InteractiveLoop(Devices* devices) {
    LineInput input;
    printf("kvsim> ");
    fflush(stdout);
    std::vector<std::string> lines;
    while (!gbStop) {
        lines.clear();
        if (!ReadLines(STDIN_FILENO, 200, &input, &lines))
            return;
        fputs(DroppedNote(&input).c_str(), stdout);
        for (const std::string& line : lines) {
            std::string reply;
            if (!devices->execute(line, &reply))
                return;
            fputs(reply.c_str(), stdout);
            printf("kvsim> ");
            fflush(stdout);
        }
    }
}

// Serves until SIGINT or SIGTERM, never reading standard input: started in
// the background it neither ends at an empty input nor stops for a terminal.
void ServeLoop() {
    while (!gbStop)
        poll(nullptr, 0, 200);
}

void InstallSignals(bool forward) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    if (forward) {
        // The tool has the terminal: Ctrl-C reaches it directly; kvsim stays
        // to stop the devices once it has ended.
        action.sa_handler = SIG_IGN;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGQUIT, &action, nullptr);
        action.sa_handler = OnForwardSignal;
    } else {
        action.sa_handler = OnStopSignal;
        sigaction(SIGINT, &action, nullptr);
    }
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Runs kvsim in the directory it has locked; its exit code.
int Serve(const Settings& settings) {
    RemoveOldResults(settings.dir);
    std::string fifo = settings.dir + "/control";
    std::string log = settings.dir + "/kvsim.log";
    unlink(fifo.c_str());
    unlink(log.c_str()); // the log tells about this run only
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        fprintf(stderr, "kvsim: cannot create the control FIFO %s\n", fifo.c_str());
        return 2;
    }

    int result = 0;
    {
        Devices devices;
        if (!devices.startAll(settings)) {
            unlink(fifo.c_str());
            return 2;
        }
        std::atomic<bool> controlDone{false};
        std::thread control(ControlLoop, &devices, fifo, log, &controlDone);

        // At most 15 lines, the port paths last: in a small terminal they
        // are still on screen when the tool asks for them.
        bool runMode = !settings.run.empty();
        printf("\n kvsim " KVSIM_VERSION ": virtual devices are running; in mode auto they answer\n"
               " whatever the tool asks, no switch or button needed.\n%s",
               devices.describe().c_str());
        printf(" Commands: echo \"rpu fault erase\" > %s (replies in kvsim.log);\n"
               "   every command: kvsim --help.\n",
               fifo.c_str());
        if (runMode)
            printf(" Starting %s; the devices stop when it ends.\n", settings.run[0].c_str());
        else if (settings.serve)
            printf(" Serving until SIGINT or SIGTERM (kill %ld).\n", static_cast<long>(getpid()));
        printf("%s", devices.ports().c_str());
        fflush(stdout);
        InstallSignals(runMode);
        if (runMode) {
            result = RunCommand(settings.run);
        } else if (settings.serve) {
            ServeLoop();
        } else {
            InteractiveLoop(&devices);
            printf("\n");
        }
        controlDone = true;
        control.join();
        devices.stopAll();
    }
    unlink(fifo.c_str());
    return result;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    int parsed = ParseArguments(argc, argv, &settings);
    if (parsed != 0)
        return parsed == 1 ? 0 : parsed;

    if (!MakeDirectories(settings.dir)) {
        fprintf(stderr, "kvsim: cannot create the directory %s\n", settings.dir.c_str());
        return 2;
    }
    if (!TakeDirectory(settings.dir))
        return 2;
    int lock = LockDirectory(settings.dir);
    if (lock < 0)
        return 2;
    int result = Serve(settings);
    // The pid file goes on every exit once it is this kvsim's.
    unlink((settings.dir + "/kvsim.pid").c_str());
    close(lock);
    return result;
}
