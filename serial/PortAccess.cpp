#include "serial/PortAccess.h"

#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

std::string PermissionDeniedReason(const std::string& owner, const std::string& group,
                                   unsigned mode) {
    char text[64];
    snprintf(text, sizeof text, ", mode %04o: ", mode & 07777);
    return "Permission denied (owner " + owner + ", group " + group + text +
           (group == "dialout" ? "add the user to the dialout group)"
                               : "the user needs read and write access to it)");
}

std::string PermissionDeniedReason(const char* device) {
    struct stat st;
    if (stat(device, &st) != 0)
        return "Permission denied";
    const passwd* user = getpwuid(st.st_uid);
    const group* owners = getgrgid(st.st_gid);
    std::string owner = user != nullptr ? user->pw_name : std::to_string(st.st_uid);
    std::string group = owners != nullptr ? owners->gr_name : std::to_string(st.st_gid);
    return PermissionDeniedReason(owner, group, st.st_mode);
}
