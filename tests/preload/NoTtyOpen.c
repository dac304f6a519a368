// Preloaded into a program that must open no terminal device: any open of
// a /dev/tty* path ends the program at once with status 86 and names the
// path on standard error.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void Refuse(const char* path) {
    if (path == NULL || strncmp(path, "/dev/tty", 8) != 0)
        return;
    char line[512];
    int length = snprintf(line, sizeof line, "opened %s\n", path);
    if (length > 0 && write(2, line, (size_t)length) < 0)
        _exit(86);
    _exit(86);
}

#define FORWARD_OPEN(name, ...)                                                                    \
    int mode = 0;                                                                                  \
    if (flags & (O_CREAT | O_TMPFILE)) {                                                           \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        mode = va_arg(args, int);                                                                  \
        va_end(args);                                                                              \
    }                                                                                              \
    int (*real)() = (int (*)())dlsym(RTLD_NEXT, name);                                             \
    return real(__VA_ARGS__, mode);

int open(const char* path, int flags, ...) {
    Refuse(path);
    FORWARD_OPEN("open", path, flags)
}
int open64(const char* path, int flags, ...) {
    Refuse(path);
    FORWARD_OPEN("open64", path, flags)
}
int openat(int dir, const char* path, int flags, ...) {
    Refuse(path);
    FORWARD_OPEN("openat", dir, path, flags)
}
int openat64(int dir, const char* path, int flags, ...) {
    Refuse(path);
    FORWARD_OPEN("openat64", dir, path, flags)
}
FILE* fopen(const char* path, const char* mode) {
    Refuse(path);
    FILE* (*real)(const char*, const char*) =
        (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen");
    return real(path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
    Refuse(path);
    FILE* (*real)(const char*, const char*) =
        (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen64");
    return real(path, mode);
}
