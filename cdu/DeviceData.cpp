#include "cdu/DeviceData.h"

#include <cstdio>

void WarnIfPlaceholder(DeviceData which) {
    static bool sbWarned[2] = {false, false};
    const bool placeholder =
        (which == DATA_KEY_TABLE) ? gbEncrypTablePlaceholder : gbCduLoaderImagePlaceholder;
    if (!placeholder || sbWarned[which])
        return;
    sbWarned[which] = true;
    // Standard output may hold a prompt or progress line: keep the order.
    fflush(stdout);
    if (which == DATA_KEY_TABLE)
        fputs("kvfwdn: warning: this build carries the placeholder dispenser key table, which a "
              "real dispenser cannot read; see data/README.md\n",
              stderr);
    else
        fputs("kvfwdn: warning: this build carries the placeholder dispenser loader, which a real "
              "dispenser cannot run; see data/README.md\n",
              stderr);
}
