// Lock files are created whole or not at all: the PID is written to a file of
// this process's own first, which is then linked under the lock's name; the
// link fails when another program holds the name. A stale lock is replaced
// by renaming the own file over it, never removed first, so the name always
// holds a lock. The table of lock files held is fixed, so that a signal
// handler can remove them.
#include "serial/LockFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct HeldLock {
    volatile sig_atomic_t used;
    int fd;    // the port's descriptor while it is open, else -1
    dev_t dev; // the lock file's own identity: a name that another program
    ino_t ino; // has taken over since is not removed
    char path[PATH_MAX];
};

// The own file while a lock is being taken, so that a signal removes it
// too, and with it the lock when the link or rename has just made it.
volatile sig_atomic_t gOwnUsed = 0;
char gOwnPath[PATH_MAX];
HeldLock gTaking;

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

// Removes `lock`'s file if the name still is the file this process made.
void UnlinkIfSame(const HeldLock& lock) {
    struct stat st;
    if (lstat(lock.path, &st) == 0 && st.st_dev == lock.dev && st.st_ino == lock.ino)
        unlink(lock.path);
}

void Record(const char* path, dev_t dev, ino_t ino) {
    if (Find(path) != nullptr)
        return;
    for (HeldLock& lock : gLocks) {
        if (lock.used)
            continue;
        snprintf(lock.path, sizeof lock.path, "%s", path);
        lock.fd = -1;
        lock.dev = dev;
        lock.ino = ino;
        lock.used = 1; // last, so a handler never sees a half-written path
        break;
    }
}

// The PID a lock file holds: ten characters of ASCII (the usual form), or
// four bytes of binary (an old one); 0 when it holds neither.
pid_t HolderOf(int fd) {
    char text[32] = {0};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n == 4 && (text[0] < ' ' || text[3] < ' ')) {
        int binary;
        memcpy(&binary, text, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    if (n <= 0)
        return 0;
    char* end = nullptr;
    long pid = strtol(text, &end, 10);
    return (end != text && pid > 0 && pid <= INT_MAX) ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

// Writes this process's PID to a file of its own beside the lock; notes its
// identity in `made`.
bool WriteOwnFile(const char* path, HeldLock* made) {
    unlink(path); // left by an earlier process of the same PID
    snprintf(gOwnPath, sizeof gOwnPath, "%s", path);
    gOwnUsed = 1; // before the file exists: a signal from here on removes it
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        made->dev = st.st_dev;
        made->ino = st.st_ino;
    }
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
    UnlinkIfSame(*lock);
    lock->used = 0;
}

void RemoveOwnFile() {
    if (!gOwnUsed)
        return;
    unlink(gOwnPath);
    gOwnUsed = 0;
}

// What one look at the lock's name found: a dead holder's file (look
// again), a live or unknown holder, the name taken now, or held by this
// process already, or no lock file to be had.
enum Verdict { STALE, HELD, TAKEN, MINE, FAILED };

// Whether the lock file `path` is held, checked on its open descriptor.
// A file that cannot be read, or that holds no PID, may be another
// program's being written: it counts as held, and `why` tells which.
Verdict Judge(int fd, const char* name, pid_t* holder, char* why, size_t whySize) {
    pid_t pid = HolderOf(fd);
    if (pid == getpid())
        return MINE;
    if (pid == 0) {
        snprintf(why, whySize,
                 "in use by another program (lock file %s holds no PID; remove it if no "
                 "program uses the port)",
                 name);
        return HELD;
    }
    if (Alive(pid)) {
        *holder = pid;
        snprintf(why, whySize, "in use by another program (PID %ld)", static_cast<long>(pid));
        return HELD;
    }
    return STALE;
}

void NotReadable(const char* name, char* why, size_t whySize) {
    snprintf(why, whySize, "in use by another program (lock file %s, not readable)", name);
}

bool SameFile(int fd, const char* path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Locks the stale file open as `fd` against the other takers; false when
// one of them keeps it past a second (it has replaced the file by then).
bool LockStale(int fd) {
    for (int waited = 0; waited < 1000; ++waited) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        usleep(1000);
    }
    return false;
}

// One round at the lock's name: link the own file, or judge the file that
// is there and replace it when it is stale and still the one judged.
Verdict TryTake(const char* own, const char* path, const char* name, pid_t* holder, char* why,
                size_t whySize) {
    if (link(own, path) == 0)
        return TAKEN;
    if (errno != EEXIST) {
        snprintf(why, whySize, "cannot create the lock file %s (%s)", path, strerror(errno));
        return FAILED;
    }
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return STALE; // removed meanwhile: try again
        NotReadable(name, why, whySize);
        return HELD;
    }
    Verdict verdict = Judge(fd, name, holder, why, whySize);
    if (verdict == STALE) {
        // Under the flock, the name must still be the file judged dead: a
        // taker that was quicker has renamed its own over it.
        if (!LockStale(fd) || !SameFile(fd, path) || HolderOf(fd) == 0 || Alive(HolderOf(fd))) {
            close(fd);
            return STALE;
        }
        if (rename(own, path) != 0) {
            snprintf(why, whySize, "cannot replace the stale lock file %s (%s)", path,
                     strerror(errno));
            close(fd);
            return FAILED;
        }
        verdict = TAKEN;
        gOwnUsed = 0; // the own file is the lock now
    } else if (verdict == MINE) {
        struct stat st; // left by this process: the file to remove at the end
        if (fstat(fd, &st) == 0) {
            gTaking.dev = st.st_dev;
            gTaking.ino = st.st_ino;
        }
    }
    close(fd);
    return verdict;
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
    if (!gExitHookSet) {
        gExitHookSet = true;
        atexit(ReleaseLockFiles);
    }
    // A signal while the name is being taken removes the own file, and the
    // lock too once it is the own file.
    gTaking.used = 0;
    snprintf(gTaking.path, sizeof gTaking.path, "%s", path);
    if (!WriteOwnFile(own, &gTaking)) {
        int error = errno;
        RemoveOwnFile();
        // No lock of this process's own can be made; one that is there may
        // still say that the port is another program's.
        int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if ((fd < 0 && errno != ENOENT) ||
            (fd >= 0 && Judge(fd, name, holder, why, whySize) == HELD)) {
            if (fd < 0)
                NotReadable(name, why, whySize);
            else
                close(fd);
            return LOCK_FILE_HELD;
        }
        if (fd >= 0)
            close(fd);
        snprintf(why, whySize, "cannot write to the lock folder %s (%s)", folder, strerror(error));
        return LOCK_FILE_UNAVAILABLE;
    }
    gTaking.used = 1;
    Verdict verdict = STALE;
    // A stale file that others race for is judged again each round; after
    // a few rounds the winner's lock is there to be judged live.
    for (int round = 0; round < 20 && verdict == STALE; ++round)
        verdict = TryTake(own, path, name, holder, why, whySize);
    if (verdict == TAKEN || verdict == MINE)
        Record(path, gTaking.dev, gTaking.ino);
    gTaking.used = 0;
    RemoveOwnFile();
    if (verdict == TAKEN)
        return LOCK_FILE_TAKEN;
    if (verdict == MINE)
        return LOCK_FILE_OURS;
    if (verdict == HELD)
        return LOCK_FILE_HELD;
    if (why[0] == '\0')
        snprintf(why, whySize, "cannot create the lock file %s", path);
    return LOCK_FILE_UNAVAILABLE;
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
    if (gTaking.used)
        UnlinkIfSame(gTaking);
    RemoveOwnFile();
    for (HeldLock& lock : gLocks) {
        if (!lock.used)
            continue;
        UnlinkIfSame(lock);
        lock.used = 0;
    }
}
