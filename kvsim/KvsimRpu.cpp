// kvsim's receipt printer: a virtual printer in online mode (printer link
// protocol) and its ROM bootloader (boot mode) behind one port, switched like
// the printer's DIP switch 1 and reset button, or automatically by what the
// tool sends (link frames for the version query; the ROM bootloader's sync
// byte 0x7F at the start of a download).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unistd.h>

#include "kvsim/KvsimDevice.h"
#include "kvsim/KvsimFiles.h"
#include "kvsim/KvsimPort.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualPrinter.h"

const char* const gKvsimRpuUsage =
    "  --rpu-mode auto|online|boot   printer mode at start (default auto: online mode for\n"
    "                                the version query, boot mode for a download)\n"
    "  --rpu-fault LIST              faults, comma-separated: silent (no answer at all),\n"
    "                                get (the bootloader refuses Get), erase (refuses the\n"
    "                                erase), write (refuses the 5th write), readback (the\n"
    "                                read-back differs), locked (read-out protected: the\n"
    "                                tool must lift the protection first), none\n"
    "  --rpu-baud RATE               the printer answers the version query only at RATE\n"
    "                                (9600, 57600, 115200 or 460800; default any)\n"
    "  --rpu-version TEXT            firmware version the printer reports (5 characters)\n"
    "  --rpu-crc HHHH                firmware CRC the printer reports (4 hex digits)\n";

const char* const gKvsimRpuCommands =
    "  rpu online|boot|auto           switch the printer's mode (a reset)\n"
    "  rpu reset                      press the printer's reset button\n"
    "  rpu fault LIST                 set the printer's faults (none to clear)\n"
    "  rpu baud RATE|any              answer the version query only at RATE, or at any\n"
    "  rpu save [FILE]                save what was written into the printer's flash\n";

const char* const gKvsimRpuFiles[] = {"rpu", "rpu-sample.bin", "rpu-flash.bin", nullptr};
const char* const gKvsimRpuResults[] = {"rpu-flash.bin", nullptr};

namespace {

// Everything that makes up the device, shared by the functions of its
// KvsimDevice.
struct RpuState {
    std::mutex mutex;
    std::string flashFile;
    std::string sampleFile;
    std::vector<std::string> faults;
    PrinterConfig printerConfig;
    BootloaderConfig bootConfig;
    VirtualLine onlineLine;
    VirtualLine bootLine;
    std::unique_ptr<VirtualPrinter> printer;
    std::unique_ptr<VirtualBootloader> bootloader;
    std::unique_ptr<KvsimPort> port;
    std::string lastMode; // the mode auto mode last chose: a switch is a reset
};

const std::vector<std::string> FAULT_NAMES = {"silent", "get",      "erase",
                                              "write",  "readback", "locked"};

// A NACK at reply point `step` of every exchange of command `cmd`.
BootloaderFault RefuseEvery(unsigned char cmd, int step) {
    BootloaderFault refuse;
    refuse.cmd = cmd;
    refuse.occurrence = -1;
    refuse.step = step;
    refuse.kind = BootloaderFault::Nack;
    return refuse;
}

// Builds both configurations from the fault list.
void ApplyFaults(RpuState* state) {
    PrinterConfig printer = state->printerConfig;
    BootloaderConfig boot;
    printer.line.silent = false;
    for (const std::string& fault : state->faults) {
        if (fault == "silent") {
            printer.line.silent = true;
            boot.silent = true;
        } else if (fault == "get") {
            boot.faults.push_back(RefuseEvery(0x00, 0));
        } else if (fault == "erase") {
            // The erase command is taken, its page code refused.
            boot.faults.push_back(RefuseEvery(0x43, 1));
        } else if (fault == "write") {
            boot.refuseWritePacket = 4;
        } else if (fault == "readback") {
            boot.corruptReadPacket = 2;
        } else if (fault == "locked") {
            // Read-out protected: Read is left out of the command list.
            boot.readProtected = true;
        }
    }
    state->printerConfig = printer;
    state->bootConfig = boot;
}

// (Re)creates the bootloader with the current configuration, as a reset of
// the printer does: the flash and the protection keep their state, the
// faults count afresh (a fault on "the fifth packet" hits the fifth packet
// after the reset), and the ROM bootloader waits for its sync byte again.
void RestartBootloader(RpuState* state) {
    std::vector<unsigned char> flash;
    BootloaderConfig config = state->bootConfig;
    if (state->bootloader) {
        state->bootloader->stop();
        flash = state->bootloader->flash();
        config.readProtected = state->bootloader->readProtected();
        config.writeProtected = state->bootloader->writeProtected();
    }
    state->bootloader.reset(new VirtualBootloader(state->bootLine, config));
    if (!flash.empty())
        state->bootloader->setMemory(state->bootConfig.flashBase, flash);
    state->bootloader->start();
}

bool SaveFlash(RpuState* state, const std::string& path) {
    return KvsimSaveFlash(state->bootloader->flash(), path);
}

// A firmware file to try the download with: 4000 bytes of a fixed pattern
// (31 full packets and a partial one) behind the vector table of an
// application at the flash start: stack at 0x20005000, reset at 0x08000131.
bool WriteSample(const std::string& path) {
    std::vector<unsigned char> image = KvsimSampleImage(4000, 20240601u, "");
    const unsigned char vectors[8] = {0x00, 0x50, 0x00, 0x20, 0x31, 0x01, 0x00, 0x08};
    std::copy(vectors, vectors + 8, image.begin());
    return KvsimWriteFile(path, image);
}

std::string FaultText(const RpuState& state) {
    return KvsimFaultText(state.faults);
}

bool ParseCrc(const std::string& text, unsigned char crc[2]) {
    if (text.size() != 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    unsigned long value = strtoul(text.c_str(), nullptr, 16);
    crc[0] = static_cast<unsigned char>(value >> 8);
    crc[1] = static_cast<unsigned char>(value & 0xFF);
    return true;
}

// The rates the tool's version query tries, or "any" (0).
bool ParseBaud(const std::string& text, int* baud) {
    for (int rate : {9600, 57600, 115200, 460800}) {
        if (text == std::to_string(rate)) {
            *baud = rate;
            return true;
        }
    }
    *baud = 0;
    return text == "any";
}

const char* const BAUD_WANTED = "wants 9600, 57600, 115200, 460800 or \"any\"";

// The version goes into the reply as it is: five printable characters.
bool ParseVersion(const std::string& text) {
    if (text.size() != 5)
        return false;
    for (char c : text)
        if (c < ' ' || c > '~')
            return false;
    return true;
}

bool SetFaults(RpuState* state, const std::string& list, std::string* error) {
    if (!KvsimParseFaults(list, FAULT_NAMES, "printer", &state->faults, error))
        return false;
    ApplyFaults(state);
    return true;
}

// Two lines for kvsim's banner.
std::string Describe(RpuState* state) {
    return " Printer: mode " + state->port->mode() + ", faults " + FaultText(*state) +
           "; firmware to try: " + state->sampleFile + ";\n   a download is saved to " +
           state->flashFile + "\n";
}

bool Command(RpuState* state, const std::vector<std::string>& words, std::string* reply) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (words.size() == 1 && state->port->setMode(words[0])) {
        RestartBootloader(state);
        state->lastMode.clear();
        *reply = "rpu: mode " + words[0] + " (the printer was reset)";
        return true;
    }
    if (words.size() == 1 && words[0] == "reset") {
        RestartBootloader(state);
        *reply = "rpu: the printer was reset";
        return true;
    }
    if (words.size() == 2 && words[0] == "fault") {
        std::string error;
        if (!SetFaults(state, words[1], &error)) {
            *reply = "rpu: " + error;
            return false;
        }
        state->printer->setConfig(state->printerConfig);
        state->bootloader->reconfigure(state->bootConfig); // no reset
        *reply = "rpu: faults " + FaultText(*state);
        return true;
    }
    if (words.size() == 2 && words[0] == "baud") {
        int baud = 0;
        if (!ParseBaud(words[1], &baud)) {
            *reply = std::string("rpu: baud ") + BAUD_WANTED;
            return false;
        }
        state->printerConfig.line.baudOnly = baud;
        state->printer->setConfig(state->printerConfig);
        *reply = "rpu: the printer answers " +
                 (baud == 0 ? std::string("at any rate") : "only at " + words[1]);
        return true;
    }
    if (!words.empty() && words[0] == "save") {
        std::string path = words.size() > 1 ? words[1] : state->flashFile;
        bool ok = SaveFlash(state, path);
        *reply = ok ? "rpu: flash saved to " + path : "rpu: cannot write " + path;
        return ok;
    }
    *reply = "rpu: commands are online, boot, auto, reset, fault LIST, baud RATE|any, save [FILE]";
    return false;
}

std::string Status(RpuState* state) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return "rpu: " + state->port->linkPath() + " -> " + state->port->ptyPath() + ", mode " +
           state->port->mode() + ", faults " + FaultText(*state);
}

void Stop(RpuState* state) {
    state->port->stop();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->printer->stop();
    state->bootloader->stop();
}

// Checks one option's value; says what is wanted when it is wrong.
bool CheckOption(const std::string& key, const std::string& value, std::string* error) {
    std::vector<std::string> faults;
    PrinterConfig config;
    const char* wanted = nullptr;
    if (key == "mode") {
        if (value != "auto" && value != "online" && value != "boot")
            wanted = "wants auto, online or boot";
    } else if (key == "fault") {
        return KvsimParseFaults(value, FAULT_NAMES, "printer", &faults, error);
    } else if (key == "baud") {
        if (!ParseBaud(value, &config.line.baudOnly))
            wanted = BAUD_WANTED;
    } else if (key == "version") {
        if (!ParseVersion(value))
            wanted = "wants 5 printable characters";
    } else if (key == "crc") {
        if (!ParseCrc(value, config.crc))
            wanted = "wants four hexadecimal digits";
    } else {
        *error = "unknown option --rpu-" + key;
        return false;
    }
    if (wanted != nullptr)
        *error = "--rpu-" + key + " " + wanted;
    return wanted == nullptr;
}

bool ApplyOptions(RpuState* state, const KvsimOptions& options, std::string* mode,
                  std::string* error) {
    for (const auto& option : options.values) {
        const std::string& key = option.first;
        const std::string& value = option.second;
        if (!CheckOption(key, value, error))
            return false;
        if (key == "mode")
            *mode = value;
        else if (key == "fault")
            SetFaults(state, value, error);
        else if (key == "baud")
            ParseBaud(value, &state->printerConfig.line.baudOnly);
        else if (key == "version")
            state->printerConfig.version = value;
        else if (key == "crc")
            ParseCrc(value, state->printerConfig.crc);
    }
    ApplyFaults(state);
    return true;
}

} // namespace

bool KvsimCheckRpu(const KvsimOptions& options, std::string* error) {
    return KvsimCheckEach(options, CheckOption, error);
}

KvsimDevice* KvsimStartRpu(const KvsimOptions& options, std::string* error) {
    std::shared_ptr<RpuState> state = std::make_shared<RpuState>();
    state->flashFile = options.dir + "/rpu-flash.bin";
    state->sampleFile = options.dir + "/rpu-sample.bin";
    std::string mode = "auto";
    if (!ApplyOptions(state.get(), options, &mode, error))
        return nullptr;
    if (!WriteSample(state->sampleFile)) {
        *error = "cannot write " + state->sampleFile;
        return nullptr;
    }
    if (!state->onlineLine.ok() || !state->bootLine.ok()) {
        *error = "cannot create a pseudo-terminal";
        return nullptr;
    }

    state->port.reset(new KvsimPort(options.dir + "/rpu"));
    state->port->addMode("online", &state->onlineLine);
    state->port->addMode("boot", &state->bootLine);
    if (!state->port->setMode(mode)) {
        *error = "--rpu-mode wants auto, online or boot";
        return nullptr;
    }
    // A download starts with the bootloader's sync byte; the link protocol
    // starts with a frame or a poll. Within a conversation the mode stays.
    // A download that begins removes the last one's flash file, so that
    // an interrupted one is never compared with it. Switching between the
    // modes is a reset; a second download in boot mode meets the ROM
    // bootloader as the last one left it.
    RpuState* raw = state.get();
    state->port->setChooser([raw](const struct termios&, const unsigned char* data, size_t length,
                                  const std::string& current) {
        std::string chosen = current.empty() ? std::string("online") : current;
        if (length > 0 && data[0] == 0x7F)
            chosen = "boot";
        std::lock_guard<std::mutex> lock(raw->mutex);
        if (chosen == "boot" && current != "boot")
            unlink(raw->flashFile.c_str());
        if (chosen != raw->lastMode && !raw->lastMode.empty())
            RestartBootloader(raw);
        raw->lastMode = chosen;
        return chosen;
    });
    // After each session in boot mode: save what was written. Closing the
    // port does not reset the printer.
    state->port->setClosedHandler([raw](const std::string& was) {
        if (was != "boot")
            return;
        std::lock_guard<std::mutex> lock(raw->mutex);
        SaveFlash(raw, raw->flashFile);
    });

    state->printer.reset(new VirtualPrinter(state->onlineLine, state->printerConfig));
    state->printer->start();
    RestartBootloader(state.get());
    if (!state->port->start()) {
        *error = state->port->error();
        state->printer->stop();
        state->bootloader->stop();
        return nullptr;
    }

    return KvsimNewDevice("rpu", state->port->linkPath(), "Receipt printer (RPU)", state, Describe,
                          Command, Status, Stop);
}
