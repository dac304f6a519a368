// The system console: the sysfs root, the ttys the kernel writes its console
// to, and whether a port is one of them.
#ifndef KV_SERIAL_SYSTEMCONSOLE_H
#define KV_SERIAL_SYSTEMCONSOLE_H

#include <string>
#include <vector>

// $KVFWDN_SYSFS when it is set and not empty (a made-up tree), else /sys.
std::string SysfsRoot();
// The names in <sysfs>/class/tty/console/active ("tty0 ttyS0"); none when
// it cannot be read.
std::vector<std::string> SystemConsoleNames();
// Whether `device`, by any path, is the device of one of those names; the
// name goes to `*name`.
bool IsSystemConsole(const char* device, std::string* name);

#endif
