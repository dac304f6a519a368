// The serial ports present on this machine, as the system's device manager
// knows them: ttyS ports that have a UART behind them, USB serial adapters
// and modems, and whatever has a /dev/serial/by-id link.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "app/CliResult.h"

using nlohmann::json;

namespace {

struct PortInfo {
    std::string path;
    std::string byId;
    std::string driver;
    std::string description;
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

// A placeholder ttyS entry has no UART behind it: the serial driver reports
// its type as unknown. 1 a UART, 0 none, -1 cannot tell (no access).
int HasUart(const char* path) {
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct serial_struct info;
    memset(&info, 0, sizeof info);
    int ioctlResult = ioctl(fd, TIOCGSERIAL, &info);
    close(fd);
    if (ioctlResult != 0)
        return -1;
    return info.type != PORT_UNKNOWN ? 1 : 0;
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

// Fills `port` for a tty device that is a real serial port; false for any
// other tty (consoles, pseudo-terminals, placeholder ttyS entries).
bool ReadPort(udev_device* device, PortInfo* port) {
    const char* node = udev_device_get_devnode(device);
    const char* name = udev_device_get_sysname(device);
    if (node == nullptr || name == nullptr || access(node, F_OK) != 0)
        return false;
    port->path = node;
    port->byId = ByIdLink(device);
    port->driver = Property(device, "ID_USB_DRIVER");
    if (port->driver.empty())
        port->driver = ParentDriver(device);
    port->description = Description(device);
    if (StartsWith(name, "ttyS")) {
        int uart = HasUart(node);
        return uart == 1 || (uart < 0 && port->driver != "serial8250");
    }
    return StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM") || !port->byId.empty();
}

// Returns false when the device manager's library cannot be used.
bool FindPorts(std::vector<PortInfo>* ports) {
    udev* context = udev_new();
    if (context == nullptr)
        return false;
    udev_enumerate* scan = udev_enumerate_new(context);
    bool ok = scan != nullptr && udev_enumerate_add_match_subsystem(scan, "tty") >= 0 &&
              udev_enumerate_scan_devices(scan) >= 0;
    udev_list_entry* entry = ok ? udev_enumerate_get_list_entry(scan) : nullptr;
    for (; entry != nullptr; entry = udev_list_entry_get_next(entry)) {
        udev_device* device =
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        PortInfo port;
        if (device != nullptr && ReadPort(device, &port))
            ports->push_back(port);
        if (device != nullptr)
            udev_device_unref(device);
    }
    if (scan != nullptr)
        udev_enumerate_unref(scan);
    udev_unref(context);
    std::sort(ports->begin(), ports->end(),
              [](const PortInfo& a, const PortInfo& b) { return a.path < b.path; });
    return ok;
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
                            {"description", OrNull(port.description)}});
        return PrintJsonLine(list) ? EXIT_OK : EXIT_OTHER;
    }
    for (const PortInfo& port : ports) {
        std::string line = port.path;
        for (const std::string* part : {&port.byId, &port.driver, &port.description})
            if (!part->empty())
                line += "  " + *part;
        puts(line.c_str());
    }
    if (ports.empty())
        fprintf(stderr, "kvfwdn: no serial ports found\n");
    return fflush(stdout) == 0 ? EXIT_OK : EXIT_OTHER;
}
