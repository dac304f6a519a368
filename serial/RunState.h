// What the interrupt path must know about the action that is running: whether
// a progress bar line stands open on standard output, whether a download
// is changing a device, and whether a bootloader exchange is under way. Plain sig_atomic_t flags,
// so that a signal handler may read them.
#ifndef KV_SERIAL_RUNSTATE_H
#define KV_SERIAL_RUNSTATE_H

void SetProgressLineOpen(bool open);
bool ProgressLineOpen();
void SetDownloadRunning(bool running);
bool DownloadRunning();

// A bootloader exchange under way: an interruption that comes during it is
// held (DeferSignal, from the handler) and raised again once it is over, so
// that the ROM bootloader is never left in the middle of a packet.
void SetExchangeRunning(bool running);
bool ExchangeRunning();
void DeferSignal(int sig);
// Raises the signal held during the exchange, if any.
void RaiseDeferredSignal();

struct ExchangeScope {
    ExchangeScope() : outer_(ExchangeRunning()) { SetExchangeRunning(true); }
    ~ExchangeScope() {
        if (outer_)
            return;
        SetExchangeRunning(false);
        RaiseDeferredSignal();
    }
    ExchangeScope(const ExchangeScope&) = delete;
    ExchangeScope& operator=(const ExchangeScope&) = delete;

  private:
    bool outer_;
};

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
