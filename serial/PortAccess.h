// Why the user may not open a device, in words that say what would help.
#ifndef KV_SERIAL_PORTACCESS_H
#define KV_SERIAL_PORTACCESS_H

#include <string>

// "Permission denied (owner O, group G, mode 0MMM: advice)": the dialout
// advice only when the device belongs to that group, else that the user
// needs read and write access to it.
std::string PermissionDeniedReason(const std::string& owner, const std::string& group,
                                   unsigned mode);
// The same for `device` as it is on disk; without its details when it
// cannot be looked at.
std::string PermissionDeniedReason(const char* device);

#endif
