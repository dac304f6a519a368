// What the interrupt path must know about the action that is running: whether
// a progress bar line stands open on standard output, and whether a download
// is changing a device. Plain sig_atomic_t flags, so that a signal handler
// may read them.
#ifndef KV_SERIAL_RUNSTATE_H
#define KV_SERIAL_RUNSTATE_H

void SetProgressLineOpen(bool open);
bool ProgressLineOpen();
void SetDownloadRunning(bool running);
bool DownloadRunning();

// Marks a download as running for the life of the object; at its end no
// download runs and no progress line is open any more.
struct DownloadRunningScope {
    DownloadRunningScope() { SetDownloadRunning(true); }
    ~DownloadRunningScope() {
        SetDownloadRunning(false);
        SetProgressLineOpen(false);
    }
    DownloadRunningScope(const DownloadRunningScope&) = delete;
    DownloadRunningScope& operator=(const DownloadRunningScope&) = delete;
};

#endif
