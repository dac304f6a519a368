// The serial ports present on this machine, from sysfs and the system's
// device manager: ttyS ports that have a UART behind them, USB serial
// adapters and modems, and whatever has a /dev/serial/by-id link. No device
// is opened; the system console is marked.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <libudev.h>
#include <limits.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/cli/CliResult.h"
#include "serial/SystemConsole.h"

using nlohmann::json;

namespace {

struct PortInfo {
    std::string path;
    std::string byId;
    std::string driver;
    std::string description;
    bool console = false; // the kernel writes its console here
};

bool StartsWith(const char* text, const char* prefix) {
    return text != nullptr && strncmp(text, prefix, strlen(prefix)) == 0;
}

std::string Property(udev_device* device, const char* name) {
    const char* value = udev_device_get_property_value(device, name);
    return value != nullptr ? value : "";
}

std::string ByIdLink(udev_device* device) {
    udev_list_entry* entry = udev_device_get_devlinks_list_entry(device);
    for (; entry != nullptr; entry = udev_list_entry_get_next(entry)) {
        const char* link = udev_list_entry_get_name(entry);
        if (StartsWith(link, "/dev/serial/by-id/"))
            return link;
    }
    return "";
}

// The nearest parent with a driver, e.g. "serial" for a board UART,
// "ftdi_sio" for a USB adapter, "serial8250" for the placeholder ttyS
// entries that the kernel makes whether or not a UART is there. The serial
// core's own devices (bus serial-base) say nothing and are passed over.
std::string ParentDriver(udev_device* device) {
    for (udev_device* p = udev_device_get_parent(device); p != nullptr;
         p = udev_device_get_parent(p)) {
        const char* driver = udev_device_get_driver(p);
        const char* bus = udev_device_get_subsystem(p);
        if (driver != nullptr && (bus == nullptr || strcmp(bus, "serial-base") != 0))
            return driver;
    }
    return "";
}

// The first line of a small sysfs file, without its newline; false when it
// cannot be read.
bool ReadSysfsLine(const std::string& path, std::string* text) {
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return false;
    char buffer[256];
    bool ok = fgets(buffer, sizeof buffer, file) != nullptr;
    fclose(file);
    if (ok)
        *text = std::string(buffer, strcspn(buffer, "\n"));
    return ok;
}

// A ttyS entry exists whether or not a UART is behind it; the serial core
// records the UART type it found, 0 for none. 1 a UART, 0 none, -1 cannot
// tell. Nothing is opened: opening an idle UART pulses DTR and RTS.
int HasUart(const std::string& root, const std::string& name) {
    std::string type;
    if (!ReadSysfsLine(root + "/class/tty/" + name + "/type", &type) || type.empty())
        return -1;
    return type != "0" ? 1 : 0;
}

std::string Description(udev_device* device) {
    std::string vendor = Property(device, "ID_VENDOR_FROM_DATABASE");
    if (vendor.empty())
        vendor = Property(device, "ID_VENDOR");
    std::string model = Property(device, "ID_MODEL_FROM_DATABASE");
    if (model.empty())
        model = Property(device, "ID_MODEL");
    if (!vendor.empty() && !model.empty())
        return vendor + " " + model;
    return vendor + model;
}

// The driver bound to the tty's device, read from sysfs alone.
std::string SysfsDriver(const std::string& root, const std::string& name) {
    char target[PATH_MAX];
    std::string link = root + "/class/tty/" + name + "/device/driver";
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return "";
    target[length] = '\0';
    const char* slash = strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

// Fills `port` for the tty `name` when it is a real serial port; false for
// any other tty (consoles, pseudo-terminals, placeholder ttyS entries).
// `device` is the device manager's record, or null when there is none.
bool ReadPort(const std::string& root, const std::string& name, udev_device* device,
              PortInfo* port) {
    const char* node = device != nullptr ? udev_device_get_devnode(device) : nullptr;
    port->path = node != nullptr ? node : "/dev/" + name;
    // A tty that this /dev lacks (a container) cannot be used.
    if (root == "/sys" && access(port->path.c_str(), F_OK) != 0)
        return false;
    if (device != nullptr) {
        port->byId = ByIdLink(device);
        port->driver = Property(device, "ID_USB_DRIVER");
        if (port->driver.empty())
            port->driver = ParentDriver(device);
        port->description = Description(device);
    } else {
        port->driver = SysfsDriver(root, name);
    }
    if (StartsWith(name.c_str(), "ttyS")) {
        int uart = HasUart(root, name);
        return uart == 1 || (uart < 0 && !port->driver.empty() && port->driver != "serial8250");
    }
    return StartsWith(name.c_str(), "ttyUSB") || StartsWith(name.c_str(), "ttyACM") ||
           !port->byId.empty();
}

// Returns false when the ttys cannot be listed. The device manager adds the
// by-id links and descriptions when it is there; it reads, never opens, a
// device.
bool FindPorts(std::vector<PortInfo>* ports) {
    std::string root = SysfsRoot();
    DIR* folder = opendir((root + "/class/tty").c_str());
    if (folder == nullptr)
        return false;
    udev* context = root == "/sys" ? udev_new() : nullptr;
    std::vector<std::string> consoles = SystemConsoleNames();
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name[0] == '.' || name == "console")
            continue;
        udev_device* device =
            context != nullptr
                ? udev_device_new_from_subsystem_sysname(context, "tty", name.c_str())
                : nullptr;
        PortInfo port;
        if (ReadPort(root, name, device, &port)) {
            port.console = std::find(consoles.begin(), consoles.end(), name) != consoles.end();
            ports->push_back(port);
        }
        if (device != nullptr)
            udev_device_unref(device);
    }
    closedir(folder);
    if (context != nullptr)
        udev_unref(context);
    std::sort(ports->begin(), ports->end(),
              [](const PortInfo& a, const PortInfo& b) { return a.path < b.path; });
    return true;
}

json OrNull(const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
}

} // namespace

int ListPorts(bool asJson) {
    std::vector<PortInfo> ports;
    if (!FindPorts(&ports)) {
        fprintf(stderr, "kvfwdn: the serial ports cannot be listed (no device manager access)\n");
        if (asJson)
            PrintJsonLine(json::array());
        return EXIT_OTHER;
    }
    if (asJson) {
        json list = json::array();
        for (const PortInfo& port : ports)
            list.push_back({{"path", port.path},
                            {"by_id", OrNull(port.byId)},
                            {"driver", OrNull(port.driver)},
                            {"description", OrNull(port.description)},
                            {"console", port.console}});
        return PrintJsonLine(list) ? EXIT_OK : EXIT_OTHER;
    }
    for (const PortInfo& port : ports) {
        std::string line = port.path;
        for (const std::string* part : {&port.byId, &port.driver, &port.description})
            if (!part->empty())
                line += "  " + *part;
        if (port.console)
            line += "  console";
        puts(line.c_str());
    }
    if (ports.empty())
        fprintf(stderr, "kvfwdn: no serial ports found\n");
    return StandardOutputWritten() ? EXIT_OK : EXIT_OTHER;
}
