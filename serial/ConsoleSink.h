// The console sink: the events through which the libraries tell the front
// end what happens (the download's start, progress, open and error lines,
// reasons, warnings, the failing step). The libraries never print; the front
// end installs the functions that word and draw the events (SetConsoleSink),
// and an event whose function is not set is dropped.
#ifndef KV_SERIAL_CONSOLESINK_H
#define KV_SERIAL_CONSOLESINK_H

// The phases of a download that progress is reported for.
enum ProgressPhase {
    PHASE_ERASE,  // the bootloader road's erase: no byte count
    PHASE_WRITE,  // the bootloader road's write
    PHASE_VERIFY, // the bootloader road's read-back
    PHASE_PUSH,   // the loader road's push of the loader
    PHASE_BLOCKS, // the loader road's blocks of the image
};

// One state of a transfer's progress.
struct ProgressEvent {
    ProgressPhase phase;
    int percent;              // 0 ... 100, as the bar shows it
    unsigned long long done;  // bytes of the image done
    unsigned long long total; // bytes of the image
    bool redraw;              // to be drawn over by the next state (not so after the
                              // last, partial packet of the bootloader road)
};

// The bootloader client's error lines, each with its status number.
enum BootErrorLine {
    BOOT_WRITE_ERROR,          // the write of a full packet
    BOOT_REMAIN_READ_ERROR,    // the read before the last, partial packet's write
    BOOT_REMAIN_WRITE_ERROR,   // the write of the last, partial packet
    BOOT_COMPARE_ERROR,        // a full packet read back differs
    BOOT_REMAIN_COMPARE_ERROR, // the last, partial packet read back differs
};

// The supplied device data that a build may carry as a placeholder.
enum PlaceholderData { PLACEHOLDER_KEY_TABLE, PLACEHOLDER_LOADER };

// The device a library talks to, for the front end's wording.
enum SinkDevice { DEVICE_PRINTER, DEVICE_DISPENSER };

// The step of a download that failed.
enum FailStep {
    STEP_NONE,
    STEP_START,     // the sync byte
    STEP_GET,       // the command list
    STEP_UNPROTECT, // lifting the protection
    STEP_ERASE,
    STEP_WRITE,
    STEP_VERIFY,
    STEP_PUSH,      // pushing the loader, up to its first '~'
    STEP_HANDSHAKE, // 'x' -> '~', 'p' -> 'C'
    STEP_BLOCKS,
    STEP_END, // EOT and the loader's last '~'
};

// How it failed.
enum FailHow {
    FAIL_REFUSED,    // NACK (NAK on the loader road)
    FAIL_CANCELLED,  // CAN on the loader road
    FAIL_SILENT,     // nothing within the window
    FAIL_DIFFERS,    // read back other than written
    FAIL_OTHER_BYTE, // the sync byte answered with `value`
    FAIL_SHORT_LIST, // Get listed `value` of `expected` commands
};

// After which part of a bootloader exchange the refusal came.
enum ExchangePart { PART_COMMAND, PART_ADDRESS, PART_DATA };

struct StepFailure {
    const char* port;
    FailStep step;
    FailHow how;
    bool hasAddress;
    unsigned long address; // of the packet, or of the first differing byte
    int value;             // the block number, the answering byte, the byte sent ('x', 'p'),
                           // the commands listed
    int expected;          // the commands announced
    ExchangePart part;
};

struct ConsoleSink {
    void (*downloadStart)();                             // before the file is read
    void (*progress)(const ProgressEvent& state);        //
    void (*progressEnd)(ProgressPhase phase);            // the phase's bar line ends
    void (*bootError)(BootErrorLine line, int status);   //
    void (*getListShort)(int lastCall, int got, int of); // Get listed fewer than announced
    void (*getFail)(const char* port);                   // Get failed: the port is closed
    void (*portOpened)(const char* port, long baud);     // a device answered
    void (*portOpenFail)(const char* port);              // no device answered a version query
    // No device answered at any of the `count` rates tried.
    void (*noAnswer)(const char* port, SinkDevice device, const int* bauds, int count);
    void (*reason)(const char* subject, const char* why);       // why an action fails
    void (*openFailed)(const char* port, const char* why);      // a port could not be opened
    void (*lockWithoutFile)(const char* port, const char* why); // opened without a lock file
    void (*placeholder)(PlaceholderData which);                 // about to use a placeholder
    void (*stepFailed)(const StepFailure& failure);             // a download step failed
};

// Installs `sink` (copied); a zeroed sink drops every event.
void SetConsoleSink(const ConsoleSink& sink);
const ConsoleSink& GetConsoleSink();

// The libraries' side: each passes the event on when its function is set.
void SinkDownloadStart();
void SinkProgress(const ProgressEvent& state);
void SinkProgressEnd(ProgressPhase phase);
void SinkBootError(BootErrorLine line, int status);
void SinkGetListShort(int lastCall, int got, int of);
void SinkGetFail(const char* port);
void SinkPortOpened(const char* port, long baud);
void SinkPortOpenFail(const char* port);
void SinkNoAnswer(const char* port, SinkDevice device, const int* bauds, int count);
void SinkReason(const char* subject, const char* why);
void SinkOpenFailed(const char* port, const char* why);
void SinkLockWithoutFile(const char* port, const char* why);
void SinkPlaceholder(PlaceholderData which);
void SinkStepFailed(const StepFailure& failure);

#endif
