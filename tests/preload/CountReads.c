// Preloaded into kvfwdn to count the bytes it reads from one file
// ($KV_COUNT_READS_OF, by device and inode); the total is written to
// $KV_COUNT_READS_TO when the program exits.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static long long gBytes;
static int gKnown; // 1 the file is known, -1 there is none
static dev_t gDev;
static ino_t gIno;

static void Count(int fd, ssize_t n) {
    if (n <= 0)
        return;
    if (gKnown == 0) {
        const char* path = getenv("KV_COUNT_READS_OF");
        struct stat st;
        gKnown = path != NULL && stat(path, &st) == 0 ? 1 : -1;
        if (gKnown == 1) {
            gDev = st.st_dev;
            gIno = st.st_ino;
        }
    }
    struct stat st;
    if (gKnown == 1 && fstat(fd, &st) == 0 && st.st_dev == gDev && st.st_ino == gIno)
        gBytes += n;
}

ssize_t read(int fd, void* buf, size_t n) {
    ssize_t (*real)(int, void*, size_t) = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    ssize_t got = real(fd, buf, n);
    Count(fd, got);
    return got;
}

#define FORWARD_PREAD(name)                                                                        \
    ssize_t name(int fd, void* buf, size_t n, off_t at) {                                          \
        ssize_t (*real)(int, void*, size_t, off_t) =                                               \
            (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, #name);                        \
        ssize_t got = real(fd, buf, n, at);                                                        \
        Count(fd, got);                                                                            \
        return got;                                                                                \
    }
FORWARD_PREAD(pread)
FORWARD_PREAD(pread64)

__attribute__((destructor)) static void Report(void) {
    const char* to = getenv("KV_COUNT_READS_TO");
    FILE* out = to != NULL ? fopen(to, "w") : NULL;
    if (out == NULL)
        return;
    fprintf(out, "%lld\n", gBytes);
    fclose(out);
}
