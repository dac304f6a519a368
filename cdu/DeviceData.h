// The supplied device data built into the tool (the dispenser key table and
// loader image) and the placeholders shipped in data/ that a default build
// carries instead of the real ones.
#ifndef KV_CDU_DEVICEDATA_H
#define KV_CDU_DEVICEDATA_H

// True when the build embedded the placeholder file (set at configure time
// from the file's content).
extern const bool gbEncrypTablePlaceholder;
extern const bool gbCduLoaderImagePlaceholder;

enum DeviceData { DATA_KEY_TABLE, DATA_LOADER };

// Before the tool uses `which`: when it is the placeholder, tells the console
// sink (the front end warns), at most once per run.
void WarnIfPlaceholder(DeviceData which);

#endif
