// Lock files are created whole or not at all: the PID is written to a file of
// this process's own first, which is then linked under the lock's name; the
// link fails when another program holds the name. The table of lock files
// held is fixed, so that a signal handler can remove them.
#include "serial/LockFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct HeldLock {
    volatile sig_atomic_t used;
    int fd; // the port's descriptor while it is open, else -1
    char path[PATH_MAX];
};

// One for each port that can be held at once.
const int kMaxLockFiles = 8;
HeldLock gLocks[kMaxLockFiles];
bool gKeepUntilRelease = false;
bool gExitHookSet = false;

HeldLock* Find(const char* path) {
    for (HeldLock& lock : gLocks)
        if (lock.used && strcmp(lock.path, path) == 0)
            return &lock;
    return nullptr;
}

void Record(const char* path) {
    if (Find(path) != nullptr)
        return;
    for (HeldLock& lock : gLocks) {
        if (lock.used)
            continue;
        snprintf(lock.path, sizeof lock.path, "%s", path);
        lock.fd = -1;
        lock.used = 1; // last, so a handler never sees a half-written path
        break;
    }
    if (!gExitHookSet) {
        gExitHookSet = true;
        atexit(ReleaseLockFiles);
    }
}

// The PID a lock file holds: ten characters of ASCII (the usual form), or
// four bytes of binary (an old one); 0 when it holds neither.
pid_t HolderOf(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {0};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n == 4 && (text[0] < ' ' || text[3] < ' ')) {
        int binary;
        memcpy(&binary, text, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    char* end = nullptr;
    long pid = strtol(text, &end, 10);
    return (end != text && pid > 0 && pid <= INT_MAX) ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

// Writes this process's PID to a file of its own beside the lock.
bool WriteOwnFile(const char* path) {
    unlink(path); // left by an earlier process of the same PID
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    char text[16];
    int length = snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    bool written = write(fd, text, static_cast<size_t>(length)) == length;
    // The mode asked for is cut by the umask; others must be able to read it.
    fchmod(fd, 0644);
    close(fd);
    if (!written)
        unlink(path);
    return written;
}

HeldLock* FindOf(const char* device) {
    char name[NAME_MAX + 1];
    char path[PATH_MAX];
    if (!LockFileName(device, name, sizeof name))
        return nullptr;
    snprintf(path, sizeof path, "%s/%s", LockFolder(), name);
    return Find(path);
}

void Remove(HeldLock* lock) {
    if (lock == nullptr)
        return;
    lock->used = 0;
    unlink(lock->path);
}

} // namespace

const char* LockFolder() {
    const char* chosen = getenv("KVFWDN_LOCK_DIR");
    if (chosen != nullptr && chosen[0] != '\0')
        return chosen;
    struct stat st;
    if (stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode))
        return "/run/lock";
    return "/var/lock";
}

bool LockFileName(const char* device, char* name, size_t size) {
    char resolved[PATH_MAX];
    if (device == nullptr || realpath(device, resolved) == nullptr)
        return false;
    const char* under = resolved + 1;
    if (strncmp(resolved, "/dev/", 5) == 0)
        under = resolved + 5;
    int length = snprintf(name, size, "LCK..%s", under);
    if (length < 0 || static_cast<size_t>(length) >= size)
        return false;
    for (char* c = name; *c != '\0'; ++c)
        if (*c == '/')
            *c = '_';
    return true;
}

LockFileResult TakeLockFile(const char* device, pid_t* holder, char* why, size_t whySize) {
    why[0] = '\0';
    char name[NAME_MAX + 1];
    if (!LockFileName(device, name, sizeof name))
        return LOCK_FILE_UNAVAILABLE; // the open itself will say why
    const char* folder = LockFolder();
    char path[PATH_MAX];
    char own[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    snprintf(own, sizeof own, "%s/.kvfwdn.%ld", folder, static_cast<long>(getpid()));
    if (Find(path) != nullptr)
        return LOCK_FILE_OURS;
    struct stat st;
    if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
        snprintf(why, whySize, "no lock folder %s", folder);
        return LOCK_FILE_UNAVAILABLE;
    }
    if (!WriteOwnFile(own)) {
        snprintf(why, whySize, "cannot write to the lock folder %s (%s)", folder, strerror(errno));
        return LOCK_FILE_UNAVAILABLE;
    }
    LockFileResult result = LOCK_FILE_UNAVAILABLE;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (link(own, path) == 0) {
            result = LOCK_FILE_TAKEN;
            break;
        }
        if (errno != EEXIST) {
            snprintf(why, whySize, "cannot create the lock file %s (%s)", path, strerror(errno));
            break;
        }
        pid_t pid = HolderOf(path);
        if (pid == getpid()) {
            result = LOCK_FILE_OURS;
            break;
        }
        if (pid > 0 && Alive(pid)) {
            *holder = pid;
            result = LOCK_FILE_HELD;
            break;
        }
        // Stale: its process has gone.
        if (unlink(path) != 0 && errno != ENOENT) {
            snprintf(why, whySize, "cannot remove the stale lock file %s (%s)", path,
                     strerror(errno));
            break;
        }
    }
    unlink(own);
    if (result == LOCK_FILE_TAKEN || result == LOCK_FILE_OURS)
        Record(path);
    else if (result == LOCK_FILE_UNAVAILABLE && why[0] == '\0')
        snprintf(why, whySize, "cannot create the lock file %s", path);
    return result;
}

void AttachLockFile(const char* device, int fd) {
    HeldLock* lock = FindOf(device);
    if (lock != nullptr)
        lock->fd = fd;
}

void DropLockFile(const char* device) {
    Remove(FindOf(device));
}

void DropLockFileOf(int fd) {
    for (HeldLock& lock : gLocks)
        if (lock.used && lock.fd == fd && fd >= 0)
            Remove(&lock);
}

void KeepLockFilesUntilRelease(bool keep) {
    gKeepUntilRelease = keep;
}

bool LockFilesKeptUntilRelease() {
    return gKeepUntilRelease;
}

void ReleaseLockFiles() {
    for (HeldLock& lock : gLocks) {
        if (!lock.used)
            continue;
        unlink(lock.path);
        lock.used = 0;
    }
}
