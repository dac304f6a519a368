// kvsim's cash dispenser: the virtual dispenser in online mode, and in boot
// mode, by its model, its ROM bootloader (bootloader road) or the loader it
// takes as a push (loader road), all on one port. The mode is set by hand, like the
// dispenser's DIP switches, or chosen automatically from what the tool does
// on the line (see Choose).
//
// The loader must see the tool's every open of the line (it starts only when
// the tool listens again at 115200), so the loader and the bootloader sit
// directly on the port's line, one at a time. The online-mode dispenser runs
// all along on a line of its own and gets the tool's bytes through a relay
// in the watching thread, which stops passing them on the moment the tool
// sets the line for another mode: no byte meant for the next device can go
// to the dispenser.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "kvsim/KvsimDevice.h"
#include "kvsim/KvsimFiles.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualDispenser.h"
#include "sim/VirtualLoader.h"
#include "sim/SimClock.h"

const char* const gKvsimCduUsage =
    "  --cdu-mode auto|online|boot   dispenser mode at start (default auto: online mode for\n"
    "                                the version and cassette number, boot mode for a\n"
    "                                download)\n"
    "  --cdu-road loader|bootloader  the dispenser model's download road in boot mode\n"
    "                                (default loader: the tool pushes the loader, then\n"
    "                                XMODEM-1K blocks; bootloader: the MCU's ROM bootloader)\n"
    "  --cdu-fault LIST              faults, comma-separated: silent (no answer at all),\n"
    "                                noready (the pushed loader never starts), noack (the\n"
    "                                loader never acknowledges block 2), badreply (the loader\n"
    "                                answers block 2 with NAK), none\n"
    "  --cdu-version TEXT            version information the dispenser reports (13\n"
    "                                characters; the fifth is the cassette number)\n";

const char* const gKvsimCduCommands =
    "  cdu online|boot|auto           switch the dispenser's mode (a reset)\n"
    "  cdu road loader|bootloader     switch the model's download road\n"
    "  cdu reset                      press the dispenser's reset button\n"
    "  cdu fault LIST                 set the dispenser's faults (none to clear)\n"
    "  cdu save [FILE]                save what the ROM bootloader wrote into the flash\n";

const char* const gKvsimCduFiles[] = {
    "cdu",           "cdu-sample-loader.bin", "cdu-sample-bootloader.bin",
    "cdu-flash.bin", "cdu-image.bin",         nullptr};
const char* const gKvsimCduResults[] = {"cdu-flash.bin", "cdu-image.bin", nullptr};

namespace {

const char* const MODES[] = {"online", "boot"};
const char* const ROADS[] = {"loader", "bootloader"};
const std::vector<std::string> FAULT_NAMES = {"silent", "noready", "noack", "badreply"};
// Firmware files to try, one per road: the version code's second character
// names the model, its fourth the road ('A' to 'F': the ROM bootloader).
const char* const LOADER_SAMPLE_CODE = "CDU_17A100_";      // CIRN, loader road
const char* const BOOTLOADER_SAMPLE_CODE = "CDU2_0G2A09_"; // IMBRA, ROM bootloader
// The line closed this long means the tool is done with the device.
const int IDLE_MS = 500;

struct CduState {
    std::mutex mutex;
    std::string linkPath;
    std::string flashFile;
    std::string imageFile;
    std::string loaderSample;     // a firmware file for a loader-road model
    std::string bootloaderSample; // and one for a bootloader-road model
    std::string mode = "auto";
    std::string road = "loader"; // the model's boot-mode road: loader or bootloader
    std::vector<std::string> faults;
    DispenserConfig dispenserConfig;
    BootloaderConfig bootConfig;
    LoaderConfig loaderConfig;
    VirtualLine line;
    VirtualLine onlineLine; // the online-mode dispenser's own line
    int onlineFd = -1;      // the relay's end of it while the tool talks to it
    std::string current;    // the device on the line now
    std::unique_ptr<VirtualDispenser> dispenser;
    std::unique_ptr<VirtualBootloader> bootloader;
    std::vector<unsigned char> bootFlash;               // the flash across resets
    bool readProtected = false, writeProtected = false; // and its protection
    std::unique_ptr<VirtualLoader> loader;
    std::thread thread;
    std::atomic<bool> stop{false};
    bool hostOpen = false;
    long long closedAt = 0;
    bool resultsCleared = false; // this session has removed the old results
    std::string lastNote;        // what happened in the last download, for status
};

bool KnownMode(const std::string& mode) {
    for (const char* known : MODES)
        if (mode == known)
            return true;
    return mode == "auto";
}

bool KnownRoad(const std::string& road) {
    for (const char* known : ROADS)
        if (road == known)
            return true;
    return false;
}

std::string FaultText(const CduState& state) {
    return KvsimFaultText(state.faults);
}

bool SetFaults(CduState* state, const std::string& list, std::string* error) {
    if (!KvsimParseFaults(list, FAULT_NAMES, "dispenser", &state->faults, error))
        return false;
    state->dispenserConfig.line.silent = false;
    state->bootConfig.silent = false;
    state->loaderConfig = LoaderConfig();
    state->loaderConfig.idleAtBaud = 9600; // the online mode's speed
    for (const std::string& f : state->faults) {
        if (f == "silent") {
            state->dispenserConfig.line.silent = true;
            state->bootConfig.silent = true;
            state->loaderConfig.neverReady = true;
        } else if (f == "noready") {
            state->loaderConfig.neverReady = true;
        } else if (f == "noack") {
            state->loaderConfig.silentBlock = 2;
        } else if (f == "badreply") {
            state->loaderConfig.badReplyBlock = 2;
        }
    }
    return true;
}

bool SaveFlash(CduState* state, const std::string& path) {
    return state->bootloader && KvsimSaveFlash(state->bootloader->flash(), path);
}

// The relay's end of the online line is open while the tool has the port
// open in online mode, so that the dispenser sees the tool come and go.
void CloseOnline(CduState* state) {
    if (state->onlineFd >= 0)
        close(state->onlineFd);
    state->onlineFd = -1;
}

bool OpenOnline(CduState* state) {
    if (state->onlineFd >= 0)
        return true;
    int fd = open(state->onlineLine.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(fd, TCSANOW, &tio);
    }
    state->onlineFd = fd;
    return true;
}

// Copies what is waiting from `from` to `to`; never blocks on reading.
void Pass(int from, int to) {
    struct pollfd p = {from, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
        return;
    unsigned char buffer[4096];
    ssize_t n = read(from, buffer, sizeof buffer);
    for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (w > 0)
            done += w;
    }
}

// One round of the online relay.
void RelayOnline(CduState* state, bool hostOpen) {
    if (!hostOpen) {
        // The dispenser's last answer still goes out before the close.
        if (state->onlineFd >= 0) {
            Pass(state->line.masterFd(), state->onlineFd);
            Pass(state->onlineFd, state->line.masterFd());
        }
        CloseOnline(state);
        return;
    }
    if (!OpenOnline(state))
        return;
    Pass(state->line.masterFd(), state->onlineFd);
    Pass(state->onlineFd, state->line.masterFd());
}

// Takes the device now on the line off it, keeping what it holds.
void StopCurrent(CduState* state) {
    CloseOnline(state);
    if (state->bootloader) {
        state->bootloader->stop();
        SaveFlash(state, state->flashFile);
        state->bootFlash = state->bootloader->flash();
        state->readProtected = state->bootloader->readProtected();
        state->writeProtected = state->bootloader->writeProtected();
        state->bootloader.reset();
    }
    if (state->loader) {
        state->loader->stop();
        state->loader.reset();
    }
    state->current.clear();
}

void StartDevice(CduState* state, const std::string& which) {
    // The tool may have opened the port again before the relay saw it close:
    // what it sent in online mode (the ACK after the last reply) still goes
    // to the dispenser, not to the loader, whose first bytes come only some
    // 20 ms after the open (the ROM bootloader takes nothing before its sync
    // byte and gets its bytes straight away).
    if (state->current == "online" && which == "loader" && state->onlineFd >= 0)
        Pass(state->line.masterFd(), state->onlineFd);
    StopCurrent(state);
    if (which == "bootloader") {
        BootloaderConfig config = state->bootConfig;
        if (!state->bootFlash.empty()) {
            config.readProtected = state->readProtected;
            config.writeProtected = state->writeProtected;
        }
        state->bootloader.reset(new VirtualBootloader(state->line, config));
        if (!state->bootFlash.empty())
            state->bootloader->setMemory(config.flashBase, state->bootFlash);
        state->bootloader->start();
    } else if (which == "loader") {
        state->loader.reset(new VirtualLoader(state->line, state->loaderConfig));
        state->loader->start();
    }
    state->current = which;
}

// What the tool is talking to. In mode auto the speed tells: 9600 is the
// link protocol (online mode), any other speed boot mode, where the
// dispenser model decides the road (a pseudo-terminal keeps no parity bit,
// so the ROM bootloader's 8E1 cannot be told from the loader road's 8N1).
std::string Choose(CduState* state) {
    if (state->mode == "online")
        return "online";
    if (state->mode == "boot")
        return state->road;
    return state->line.baud() == 9600 ? "online" : state->road;
}

// Notes what the loader received and saves the image of a completed
// transfer. False when the loader has not been used.
bool SaveLoaderImage(CduState* state) {
    VirtualLoader& loader = *state->loader;
    if (loader.pushed().empty() && loader.blocks().empty())
        return false;
    if (loader.eotSeen()) {
        std::vector<unsigned char> image = loader.image();
        bool saved = KvsimWriteFile(state->imageFile, image);
        state->lastNote = "loader road: " + std::to_string(image.size()) + " bytes received" +
                          (saved ? ", saved to " + state->imageFile : "");
    } else if (loader.pushResult() == VirtualLoader::PushAccepted) {
        state->lastNote = "loader road: loader pushed, transfer not completed";
    } else {
        const char* why =
            loader.pushResult() == VirtualLoader::PushWrongBytes ? "wrong bytes" : "incomplete";
        state->lastNote = "loader road: the loader push was not taken (" + std::string(why) + ": " +
                          std::to_string(loader.pushed().size()) + " bytes at " +
                          std::to_string(loader.pushBaud()) + " baud)";
    }
    return true;
}

// A loader that has been used is replaced by a fresh one once the tool has
// let go of the line, as after a reset of the dispenser.
void AfterLoaderRoad(CduState* state) {
    if (SaveLoaderImage(state))
        StartDevice(state, "loader");
}

void Watch(CduState* state) {
    while (!state->stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard<std::mutex> lock(state->mutex);
        bool open = state->line.slaveOpen();
        if (open) {
            std::string wanted = Choose(state);
            if (wanted != state->current)
                StartDevice(state, wanted);
            // A download that begins removes the last one's results (after
            // the device it replaces has saved its own), so that an
            // interrupted one is never compared with them.
            if (wanted != "online" && !state->resultsCleared) {
                unlink(state->flashFile.c_str());
                unlink(state->imageFile.c_str());
                state->resultsCleared = true;
            }
            state->hostOpen = true;
        }
        if (state->current == "online")
            RelayOnline(state, open);
        if (open)
            continue;
        if (state->hostOpen) {
            state->hostOpen = false;
            state->closedAt = NowMs();
            // A loader that has taken a whole transfer is done at once: the
            // next download may follow right away.
            if (state->current == "loader" && state->loader && state->loader->eotSeen())
                AfterLoaderRoad(state);
        }
        if (state->closedAt != 0 && NowMs() - state->closedAt >= IDLE_MS) {
            state->closedAt = 0;
            state->resultsCleared = false; // the session has ended
            if (state->current == "bootloader")
                SaveFlash(state, state->flashFile);
            if (state->current == "loader" && state->loader)
                AfterLoaderRoad(state);
        }
    }
}

// Four lines for kvsim's banner.
std::string Describe(CduState* state) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return " Dispenser: mode " + state->mode + ", " + state->road + " road, faults " +
           FaultText(*state) + "; firmware to try:\n   " + state->loaderSample +
           " (loader road) or\n   " + state->bootloaderSample +
           " (bootloader road);\n   a download is saved to " + state->imageFile +
           " or cdu-flash.bin\n";
}

bool Command(CduState* state, const std::vector<std::string>& words, std::string* reply) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (words.size() == 1 && KnownMode(words[0])) {
        state->mode = words[0];
        StopCurrent(state); // a reset: the next open starts the chosen device
        *reply = "cdu: mode " + words[0] + " (the dispenser was reset)";
        return true;
    }
    if (words.size() == 2 && words[0] == "fault") {
        std::string error;
        if (!SetFaults(state, words[1], &error)) {
            *reply = "cdu: " + error;
            return false;
        }
        // The ROM bootloader takes its faults as it runs; a loader not yet
        // pushed starts with them.
        if (state->current == "bootloader")
            state->bootloader->reconfigure(state->bootConfig);
        else if (state->current == "loader")
            StopCurrent(state);
        state->dispenser->setConfig(state->dispenserConfig);
        *reply = "cdu: faults " + FaultText(*state);
        return true;
    }
    if (words.size() == 1 && words[0] == "reset") {
        StopCurrent(state); // the next open starts the device afresh
        *reply = "cdu: the dispenser was reset";
        return true;
    }
    if (!words.empty() && words[0] == "save") {
        std::string path = words.size() > 1 ? words[1] : state->flashFile;
        bool ok = SaveFlash(state, path);
        *reply = ok ? "cdu: flash saved to " + path
                    : "cdu: no bootloader flash to save (or cannot write " + path + ")";
        return ok;
    }
    if (words.size() == 2 && words[0] == "road" && KnownRoad(words[1])) {
        state->road = words[1];
        // Only a device of the other road leaves the line.
        if (state->current != "online" && state->current != words[1])
            StopCurrent(state);
        *reply = "cdu: boot-mode road " + words[1];
        return true;
    }
    *reply = "cdu: commands are online, boot, auto, reset, road loader|bootloader, fault LIST, "
             "save [FILE]";
    return false;
}

std::string Status(CduState* state) {
    std::lock_guard<std::mutex> lock(state->mutex);
    std::string text =
        "cdu: " + state->linkPath + " -> " + state->line.slavePath() + ", mode " + state->mode +
        ", road " + state->road + ", faults " + FaultText(*state) +
        ", on the line: " + (state->current.empty() ? std::string("nothing yet") : state->current);
    if (!state->lastNote.empty())
        text += "\ncdu: " + state->lastNote;
    return text;
}

void Stop(CduState* state) {
    state->stop = true;
    if (state->thread.joinable())
        state->thread.join();
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->current == "loader" && state->loader)
        SaveLoaderImage(state);
    StopCurrent(state);
    state->dispenser->stop();
    KvsimRemoveLink(state->linkPath, state->line.slavePath());
}

// Checks one option's value; says what is wanted when it is wrong.
bool CheckOption(const std::string& key, const std::string& value, std::string* error) {
    std::vector<std::string> faults;
    const char* wanted = nullptr;
    if (key == "mode") {
        if (!KnownMode(value))
            wanted = "wants auto, online or boot";
    } else if (key == "road") {
        if (!KnownRoad(value))
            wanted = "wants loader or bootloader";
    } else if (key == "fault") {
        return KvsimParseFaults(value, FAULT_NAMES, "dispenser", &faults, error);
    } else if (key == "version") {
        if (value.size() != 13)
            wanted = "wants 13 characters";
    } else {
        *error = "unknown option --cdu-" + key;
        return false;
    }
    if (wanted != nullptr)
        *error = "--cdu-" + key + " " + wanted;
    return wanted == nullptr;
}

bool ApplyOptions(CduState* state, const KvsimOptions& options, std::string* error) {
    for (const auto& option : options.values) {
        const std::string& key = option.first;
        const std::string& value = option.second;
        if (!CheckOption(key, value, error))
            return false;
        if (key == "mode")
            state->mode = value;
        else if (key == "road")
            state->road = value;
        else if (key == "fault")
            SetFaults(state, value, error);
        else if (key == "version")
            state->dispenserConfig.version = value;
    }
    return true;
}

} // namespace

bool KvsimCheckCdu(const KvsimOptions& options, std::string* error) {
    return KvsimCheckEach(options, CheckOption, error);
}

KvsimDevice* KvsimStartCdu(const KvsimOptions& options, std::string* error) {
    std::shared_ptr<CduState> state = std::make_shared<CduState>();
    state->linkPath = options.dir + "/cdu";
    state->flashFile = options.dir + "/cdu-flash.bin";
    state->imageFile = options.dir + "/cdu-image.bin";
    state->loaderSample = options.dir + "/cdu-sample-loader.bin";
    state->bootloaderSample = options.dir + "/cdu-sample-bootloader.bin";
    if (!ApplyOptions(state.get(), options, error))
        return nullptr;
    // 4000 bytes: four loader blocks, the last one partial.
    if (!KvsimWriteFile(state->loaderSample,
                        KvsimSampleImage(4000, 20240602u, LOADER_SAMPLE_CODE)) ||
        !KvsimWriteFile(state->bootloaderSample,
                        KvsimSampleImage(4000, 20240603u, BOOTLOADER_SAMPLE_CODE))) {
        *error = "cannot write the firmware files to try in " + options.dir;
        return nullptr;
    }
    if (!state->line.ok() || !state->onlineLine.ok()) {
        *error = "cannot create a pseudo-terminal";
        return nullptr;
    }
    unlink(state->linkPath.c_str());
    if (symlink(state->line.slavePath().c_str(), state->linkPath.c_str()) != 0) {
        *error = "cannot create the link " + state->linkPath;
        return nullptr;
    }
    state->dispenser.reset(new VirtualDispenser(state->onlineLine, state->dispenserConfig));
    state->dispenser->start();
    CduState* raw = state.get();
    state->thread = std::thread([raw] { Watch(raw); });

    return KvsimNewDevice("cdu", state->linkPath, "Cash dispenser (CDU)", state, Describe, Command,
                          Status, Stop);
}
