// What the bootloader road tells its front end besides the result: the
// settings the command line gives a download (packet size, --wait,
// --skip-identical), the notes it has for a person (reported through a sink
// the front end installs; the library prints none) and what the last action
// found (a running bootloader, a protection lifted, a skipped download).
#ifndef KV_FWDN_BOOTNOTES_H
#define KV_FWDN_BOOTNOTES_H

enum BootNote {
    BOOT_NOTE_ALREADY_RUNNING, // synchronised before: no reset since the last action
    BOOT_NOTE_LIFT_READ,       // read-out protection on: lifting it erases the flash
    BOOT_NOTE_LIFT_WRITE,      // Write or Erase not listed: lifting the write protection
    BOOT_NOTE_WAITING,         // the first start failed; waiting `seconds` for the unit
};

// The front end's printer of notes; nullptr (the default) drops them.
using BootNoteSink = void (*)(BootNote note, const char* port, int seconds);
void SetBootNoteSink(BootNoteSink sink);
void ReportBootNote(BootNote note, const char* port, int seconds = 0);

struct BootSettings {
    int packetSize = 128;       // 128 or 256
    int waitSeconds = 0;        // 0: one start; else start again until it answers
    bool skipIdentical = false; // read back first; write nothing when equal
};
void SetBootSettings(const BootSettings& settings);
const BootSettings& GetBootSettings();

struct BootOutcome {
    bool alreadyRunning = false;    // the start found the ROM bootloader synchronised
    bool liftedRead = false;        // read-out protection lifted
    bool liftedWrite = false;       // write protection lifted
    bool skipped = false;           // the flash already held the image
    unsigned char failedStatus = 0; // the client's status of a failed start or Get
};
// Cleared at the start of every bootloader-road action.
void ClearBootOutcome();
BootOutcome& LastBootOutcome();

#endif
