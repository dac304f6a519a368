#include "cdu/DeviceData.h"

#include "serial/ConsoleSink.h"

void WarnIfPlaceholder(DeviceData which) {
    static bool sbWarned[2] = {false, false};
    const bool placeholder =
        (which == DATA_KEY_TABLE) ? gbEncrypTablePlaceholder : gbCduLoaderImagePlaceholder;
    if (!placeholder || sbWarned[which])
        return;
    sbWarned[which] = true;
    SinkPlaceholder(which == DATA_KEY_TABLE ? PLACEHOLDER_KEY_TABLE : PLACEHOLDER_LOADER);
}
