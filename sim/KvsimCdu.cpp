// kvsim's cash dispenser: the virtual dispenser in online mode, and in boot
// mode its ROM bootloader (bootloader road) or the loader it takes as a push
// (loader road), all on one port. The mode is set by hand, like the
// dispenser's DIP switches, or chosen automatically from the line settings
// the tool uses: 9600 baud for the link protocol, even parity for the ROM
// bootloader, any other speed without parity for the loader road.
//
// The loader must see the tool's every open of the line (it starts only when
// the tool listens again at 115200), so the devices sit directly on the
// port's line, one at a time, rather than behind a relay.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "sim/KvsimDevice.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualDispenser.h"
#include "sim/VirtualLoader.h"

const char* const gKvsimCduUsage =
    "  --cdu-mode auto|online|bootloader|loader\n"
    "                                dispenser mode at start (default auto: online mode for\n"
    "                                the version and cassette number; for a download the\n"
    "                                road the firmware file takes, ROM bootloader or loader)\n"
    "  --cdu-fault LIST              faults, comma-separated: silent (no answer at all),\n"
    "                                noready (the pushed loader never starts), noack (the\n"
    "                                loader never acknowledges block 2), badreply (the loader\n"
    "                                answers block 2 with NAK), none\n"
    "  --cdu-version TEXT            version information the dispenser reports (13\n"
    "                                characters; the fifth is the cassette number)\n";

namespace {

const char* const MODES[] = {"online", "bootloader", "loader"};
const char* const FAULT_NAMES[] = {"silent", "noready", "noack", "badreply"};
// The line closed this long means the tool is done with the device.
const int IDLE_MS = 500;

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct CduState {
    std::mutex mutex;
    std::string linkPath;
    std::string flashFile;
    std::string imageFile;
    std::string mode = "auto";
    std::vector<std::string> faults;
    DispenserConfig dispenserConfig;
    BootloaderConfig bootConfig;
    LoaderConfig loaderConfig;
    VirtualLine line;
    std::string current; // the device on the line now
    std::unique_ptr<VirtualDispenser> dispenser;
    std::unique_ptr<VirtualBootloader> bootloader;
    std::unique_ptr<VirtualLoader> loader;
    std::thread thread;
    std::atomic<bool> stop{false};
    bool hostOpen = false;
    long long closedAt = 0;
    std::string lastNote; // what happened in the last download, for status
};

bool KnownMode(const std::string& mode) {
    for (const char* known : MODES)
        if (mode == known)
            return true;
    return mode == "auto";
}

bool KnownFault(const std::string& name) {
    for (const char* known : FAULT_NAMES)
        if (name == known)
            return true;
    return false;
}

std::string FaultText(const CduState& state) {
    if (state.faults.empty())
        return "none";
    std::string text;
    for (const std::string& fault : state.faults)
        text += (text.empty() ? "" : ",") + fault;
    return text;
}

bool SetFaults(CduState* state, const std::string& list, std::string* error) {
    std::vector<std::string> faults;
    std::stringstream in(list);
    std::string fault;
    while (std::getline(in, fault, ',')) {
        if (fault.empty() || fault == "none")
            continue;
        if (!KnownFault(fault)) {
            *error = "unknown dispenser fault \"" + fault + "\"";
            return false;
        }
        faults.push_back(fault);
    }
    state->faults = faults;
    state->dispenserConfig.line.silent = false;
    state->bootConfig.silent = false;
    state->loaderConfig = LoaderConfig();
    for (const std::string& f : faults) {
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

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), bytes.size(), 1, file) == 1;
    return fclose(file) == 0 && ok;
}

// The flash from its start up to the last byte that is not erased.
bool SaveFlash(CduState* state, const std::string& path) {
    if (!state->bootloader)
        return false;
    std::vector<unsigned char> flash = state->bootloader->flash();
    size_t used = flash.size();
    while (used > 0 && flash[used - 1] == 0xFF)
        --used;
    flash.resize(used);
    return WriteFile(path, flash);
}

// Takes the device now on the line off it, keeping what it holds.
void StopCurrent(CduState* state) {
    if (state->dispenser) {
        state->dispenser->stop();
        state->dispenserConfig.version = state->dispenser->version();
        state->dispenser.reset();
    }
    if (state->bootloader) {
        state->bootloader->stop();
        SaveFlash(state, state->flashFile);
        state->bootloader.reset();
    }
    if (state->loader) {
        state->loader->stop();
        state->loader.reset();
    }
    state->current.clear();
}

void StartDevice(CduState* state, const std::string& which) {
    StopCurrent(state);
    if (which == "online") {
        state->dispenser.reset(new VirtualDispenser(state->line, state->dispenserConfig));
        state->dispenser->start();
    } else if (which == "bootloader") {
        state->bootloader.reset(new VirtualBootloader(state->line, state->bootConfig));
        state->bootloader->start();
    } else if (which == "loader") {
        state->loader.reset(new VirtualLoader(state->line, state->loaderConfig));
        state->loader->start();
    }
    state->current = which;
}

// What the tool is talking to, by the settings it put on the line.
std::string Choose(CduState* state) {
    if (state->mode != "auto")
        return state->mode;
    struct termios tio;
    if (tcgetattr(state->line.masterFd(), &tio) != 0)
        return state->current;
    if (tio.c_cflag & PARENB)
        return "bootloader";
    if (cfgetospeed(&tio) == B9600)
        return "online";
    return "loader";
}

// Notes what the loader received and saves the image of a completed
// transfer. False when the loader has not been used.
bool SaveLoaderImage(CduState* state) {
    VirtualLoader& loader = *state->loader;
    if (loader.pushed().empty() && loader.blocks().empty())
        return false;
    if (loader.eotSeen()) {
        std::vector<unsigned char> image = loader.image();
        bool saved = WriteFile(state->imageFile, image);
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
            state->hostOpen = true;
            continue;
        }
        if (state->hostOpen) {
            state->hostOpen = false;
            state->closedAt = NowMs();
        }
        if (state->closedAt != 0 && NowMs() - state->closedAt >= IDLE_MS) {
            state->closedAt = 0;
            if (state->current == "bootloader")
                SaveFlash(state, state->flashFile);
            if (state->current == "loader" && state->loader)
                AfterLoaderRoad(state);
        }
    }
}

std::string Describe(CduState* state) {
    std::lock_guard<std::mutex> lock(state->mutex);
    const std::string& link = state->linkPath;
    std::string dir = link.substr(0, link.rfind('/'));
    std::string text;
    text += " Cash dispenser (CDU): type " + link + " at the port prompt.\n";
    text += "   Mode " + state->mode + ", faults " + FaultText(*state) + ".\n";
    text += "   In mode auto the dispenser answers whatever the tool asks: the version and\n"
            "   cassette number (keys 1, 2) find it in online mode, a download (key 3) in\n"
            "   boot mode on the road the firmware file takes (ROM bootloader or loader),\n"
            "   so the DIP switches and reset button the tool mentions need no action.\n";
    text += "   To switch by hand, from another terminal:\n"
            "     echo \"cdu loader\" > " +
            dir + "/control     (also: cdu online, cdu bootloader, cdu auto)\n";
    text += "   What a loader-road download sent is saved to " + state->imageFile +
            "\n   (whole blocks: the last one filled up with 0x1A), what a bootloader-road\n"
            "   download wrote to " +
            state->flashFile + ".\n";
    return text;
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
        StopCurrent(state);
        *reply = "cdu: faults " + FaultText(*state) + " (the dispenser was reset)";
        return true;
    }
    if (!words.empty() && words[0] == "save") {
        std::string path = words.size() > 1 ? words[1] : state->flashFile;
        bool ok = SaveFlash(state, path);
        *reply = ok ? "cdu: flash saved to " + path
                    : "cdu: no bootloader flash to save (or cannot write " + path + ")";
        return ok;
    }
    *reply = "cdu: commands are online, bootloader, loader, auto, fault LIST, save [FILE]";
    return false;
}

std::string Status(CduState* state) {
    std::lock_guard<std::mutex> lock(state->mutex);
    std::string text = "cdu: " + state->linkPath + " -> " + state->line.slavePath() + ", mode " +
                       state->mode + ", faults " + FaultText(*state) + ", on the line: " +
                       (state->current.empty() ? std::string("nothing yet") : state->current);
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
    char target[256];
    ssize_t n = readlink(state->linkPath.c_str(), target, sizeof(target) - 1);
    if (n > 0) {
        target[n] = '\0';
        if (state->line.slavePath() == target)
            unlink(state->linkPath.c_str());
    }
}

bool ApplyOptions(CduState* state, const KvsimOptions& options, std::string* error) {
    for (const auto& option : options.values) {
        const std::string& key = option.first;
        const std::string& value = option.second;
        if (key == "mode") {
            if (!KnownMode(value)) {
                *error = "--cdu-mode wants auto, online, bootloader or loader";
                return false;
            }
            state->mode = value;
        } else if (key == "fault") {
            if (!SetFaults(state, value, error))
                return false;
        } else if (key == "version") {
            if (value.size() != 13) {
                *error = "--cdu-version wants 13 characters";
                return false;
            }
            state->dispenserConfig.version = value;
        } else {
            *error = "unknown option --cdu-" + key;
            return false;
        }
    }
    return true;
}

} // namespace

KvsimDevice* KvsimStartCdu(const KvsimOptions& options, std::string* error) {
    std::shared_ptr<CduState> state = std::make_shared<CduState>();
    state->linkPath = options.dir + "/cdu";
    state->flashFile = options.dir + "/cdu-flash.bin";
    state->imageFile = options.dir + "/cdu-image.bin";
    if (!ApplyOptions(state.get(), options, error))
        return nullptr;
    if (!state->line.ok()) {
        *error = "cannot create a pseudo-terminal";
        return nullptr;
    }
    unlink(state->linkPath.c_str());
    if (symlink(state->line.slavePath().c_str(), state->linkPath.c_str()) != 0) {
        *error = "cannot create the link " + state->linkPath;
        return nullptr;
    }
    CduState* raw = state.get();
    state->thread = std::thread([raw] { Watch(raw); });

    KvsimDevice* device = new KvsimDevice;
    device->name = "cdu";
    device->linkPath = state->linkPath;
    device->describe = [state]() { return Describe(state.get()); };
    device->command = [state](const std::vector<std::string>& words, std::string* reply) {
        return Command(state.get(), words, reply);
    };
    device->status = [state]() { return Status(state.get()); };
    device->stop = [state]() { Stop(state.get()); };
    return device;
}
