// Lock files as the tests see them: the name of a pty's, the PID text they
// hold, and the creations and removals an inotify watch on their folder saw.
#ifndef KV_TESTS_LOCKFILES_H
#define KV_TESTS_LOCKFILES_H

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// A pty's lock file name as other serial programs spell it: /dev/pts/3 is
// LCK..pts_3.
inline std::string LockNameOf(const std::string& pty) {
    std::string name = "LCK.." + pty.substr(5);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return name;
}

inline std::string PidText(pid_t pid) {
    char text[16];
    snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// Counts the creations (a new name or one renamed to it) and removals of
// `name` among the events waiting on the non-blocking inotify descriptor
// `fd`.
inline void CountEvents(int fd, const std::string& name, int* created, int* removed) {
    alignas(struct inotify_event) char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + n;) {
            auto* event = reinterpret_cast<struct inotify_event*>(at);
            if (event->len > 0 && name == event->name) {
                *created += (event->mask & (IN_CREATE | IN_MOVED_TO)) ? 1 : 0;
                *removed += (event->mask & IN_DELETE) ? 1 : 0;
            }
            at += sizeof(struct inotify_event) + event->len;
        }
    }
}

#endif
