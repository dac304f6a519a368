// The kernel's console may be any tty (console=ttyS0): protocol bytes sent
// there reach the kernel's log, and its messages would be read as replies.
#include "serial/SystemConsole.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

std::string SysfsRoot() {
    const char* root = getenv("KVFWDN_SYSFS");
    return root != nullptr && root[0] != '\0' ? root : "/sys";
}

std::vector<std::string> SystemConsoleNames() {
    std::vector<std::string> names;
    FILE* file = fopen((SysfsRoot() + "/class/tty/console/active").c_str(), "re");
    if (file == nullptr)
        return names;
    char buffer[256];
    bool ok = fgets(buffer, sizeof buffer, file) != nullptr;
    fclose(file);
    if (!ok)
        return names;
    std::string active(buffer, strcspn(buffer, "\n"));
    size_t at = 0;
    while (at < active.size()) {
        size_t next = active.find(' ', at);
        if (next == std::string::npos)
            next = active.size();
        if (next > at)
            names.push_back(active.substr(at, next - at));
        at = next + 1;
    }
    return names;
}

bool IsSystemConsole(const char* device, std::string* name) {
    struct stat port;
    if (device == nullptr || stat(device, &port) != 0 || !S_ISCHR(port.st_mode))
        return false;
    char resolved[PATH_MAX];
    bool named = realpath(device, resolved) != nullptr;
    for (const std::string& console : SystemConsoleNames()) {
        std::string path = "/dev/" + console;
        struct stat st;
        if ((stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == port.st_rdev) ||
            (named && path == resolved)) {
            *name = console;
            return true;
        }
    }
    return false;
}
