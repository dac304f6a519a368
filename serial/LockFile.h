// The lock files that serial programs honour: LCK..<device> in the lock
// folder, holding the owner's PID. The tool takes one for each port it
// opens, beside the lock on the descriptor, so that programs which look only
// at lock files keep off the line too.
#ifndef KV_SERIAL_LOCKFILE_H
#define KV_SERIAL_LOCKFILE_H

#include <cstddef>
#include <sys/types.h>

enum LockFileResult {
    LOCK_FILE_TAKEN,       // created now for this process
    LOCK_FILE_OURS,        // this process held it already (a reopen)
    LOCK_FILE_HELD,        // a live process holds it: the port is not ours
    LOCK_FILE_UNAVAILABLE, // no lock file could be made: go on without one
};

// The lock folder: $KVFWDN_LOCK_DIR when it is set and not empty, else
// /run/lock when that is a folder, else /var/lock.
const char* LockFolder();
// Writes to `name` the lock file name of `device`: "LCK.." and the device's
// path under /dev after links are resolved, '/' turned into '_'
// ("LCK..ttyUSB0", "LCK..pts_3"). False when the device cannot be resolved.
bool LockFileName(const char* device, char* name, size_t size);

// Takes the lock file of `device` for this process. Only a lock whose PID
// is readable and whose process no longer exists is stale; it is replaced
// in one rename, so that of several takers exactly one gets it. On
// LOCK_FILE_HELD `why` is the reason ("in use by another program (PID n)";
// a file that cannot be read or holds no PID counts as held) and `*holder`
// the holder's PID when known; on LOCK_FILE_UNAVAILABLE `why` tells why.
LockFileResult TakeLockFile(const char* device, pid_t* holder, char* why, size_t whySize);
// Notes `fd` as the open port of the lock file of `device`.
void AttachLockFile(const char* device, int fd);
// Removes the lock file of `device`, or of the port open as `fd`, if this
// process holds it.
void DropLockFile(const char* device);
void DropLockFileOf(int fd);
// Keeps every lock file taken until ReleaseLockFiles, across closes and
// reopens of its port (one action of a front end); otherwise each goes with
// the close of its port (DropLockFileOf).
void KeepLockFilesUntilRelease(bool keep);
bool LockFilesKeptUntilRelease();
// Removes every lock file this process holds, and the file a lock is being
// made from. Async-signal-safe (lstat and unlink only): the interrupt path
// calls it from a signal handler.
void ReleaseLockFiles();

#endif
