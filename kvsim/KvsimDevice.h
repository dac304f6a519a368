// The devices that kvsim can serve. Each device lives in its own file
// (kvsim/KvsimRpu.cpp, ...) and is listed once in the table of
// kvsim/KvsimDevices.cpp; kvsim itself knows nothing about any one of them.
//
// A device gets the options given for it on the command line
// (--<name>-<key> value, e.g. --rpu-mode boot), serves its port linked at
// <dir>/<name>, answers control commands addressed to it ("<name> <words>"),
// and describes itself for the text kvsim prints at start.
#ifndef KV_KVSIM_KVSIMDEVICE_H
#define KV_KVSIM_KVSIMDEVICE_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct KvsimOptions {
    std::string dir;                           // where links and files go, e.g. /tmp/kvsim
    std::map<std::string, std::string> values; // key (without "--<name>-") -> value
};

// A running device. The device file fills in the functions; they share the
// device's state by capture.
struct KvsimDevice {
    std::string name;     // "rpu": port <dir>/rpu, commands "rpu ..."
    std::string linkPath; // the path to type at the tool's port prompt
    std::string title;    // "Receipt printer (RPU)"
    // The lines kvsim prints about the device at start (what it is, its
    // modes, its faults).
    std::function<std::string()> describe;
    // One control command (the words after the device name); returns false
    // when the command is not understood. *reply receives what to print.
    std::function<bool(const std::vector<std::string>& words, std::string* reply)> command;
    // One line: mode, faults, files.
    std::function<std::string()> status;
    // Stops the device and removes its link.
    std::function<void()> stop;
};

struct KvsimDeviceType {
    const char* name;  // "rpu"
    const char* usage; // option lines for --help, each ending in a newline
    // Checks the device's options before anything is touched; false with
    // *error set for a wrong value or an unknown option.
    bool (*check)(const KvsimOptions& options, std::string* error);
    // Starts the device; nullptr with *error set when it cannot.
    KvsimDevice* (*start)(const KvsimOptions& options, std::string* error);
    const char* commands; // control command lines for --help, each ending in a newline
    // The names it makes in the directory, and of those the results of a
    // download, removed at start (both lists end with nullptr).
    const char* const* files;
    const char* const* results;
};

// True when `check` accepts every option given; else false with *error set.
inline bool KvsimCheckEach(const KvsimOptions& options,
                           bool (*check)(const std::string& key, const std::string& value,
                                         std::string* error),
                           std::string* error) {
    for (const auto& option : options.values)
        if (!check(option.first, option.second, error))
            return false;
    return true;
}

// A running device whose functions are the device file's own on its state,
// which the device keeps alive until it is dropped.
template <typename State>
KvsimDevice* KvsimNewDevice(const char* name, const std::string& linkPath, const char* title,
                            const std::shared_ptr<State>& state, std::string (*describe)(State*),
                            bool (*command)(State*, const std::vector<std::string>&, std::string*),
                            std::string (*status)(State*), void (*stop)(State*)) {
    KvsimDevice* device = new KvsimDevice;
    device->name = name;
    device->linkPath = linkPath;
    device->title = title;
    device->describe = [state, describe]() { return describe(state.get()); };
    device->command = [state, command](const std::vector<std::string>& words, std::string* reply) {
        return command(state.get(), words, reply);
    };
    device->status = [state, status]() { return status(state.get()); };
    device->stop = [state, stop]() { stop(state.get()); };
    return device;
}

// The table of devices (kvsim/KvsimDevices.cpp).
extern const KvsimDeviceType gKvsimDeviceTypes[];
extern const int gKvsimDeviceTypeCount;

// The device of the receipt printer (kvsim/KvsimRpu.cpp).
bool KvsimCheckRpu(const KvsimOptions& options, std::string* error);
KvsimDevice* KvsimStartRpu(const KvsimOptions& options, std::string* error);
extern const char* const gKvsimRpuUsage;
extern const char* const gKvsimRpuCommands;
extern const char* const gKvsimRpuFiles[];
extern const char* const gKvsimRpuResults[];

// The device of the cash dispenser (kvsim/KvsimCdu.cpp).
bool KvsimCheckCdu(const KvsimOptions& options, std::string* error);
KvsimDevice* KvsimStartCdu(const KvsimOptions& options, std::string* error);
extern const char* const gKvsimCduUsage;
extern const char* const gKvsimCduCommands;
extern const char* const gKvsimCduFiles[];
extern const char* const gKvsimCduResults[];

#endif
