#include "fwdn/FirmwareImage.h"

#include "serial/ConsoleSink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FirmwareRead Refuse(FirmwareRead result, const char* path, const char* reason) {
    SinkReason(path, reason);
    return result;
}

FirmwareRead RefuseTooLarge(const char* path, long long size) {
    char reason[128];
    snprintf(reason, sizeof reason,
             "%lld bytes, larger than the largest flash of the MCU (%ld bytes)", size,
             kMaxFirmwareImageSize);
    return Refuse(FW_UNUSABLE, path, reason);
}

// Reads exactly `length` bytes, riding out short reads and signals.
bool ReadFully(int fd, unsigned char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = read(fd, buffer + done, length - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

} // namespace

FirmwareRead CheckFirmwareImageSize(const char* path, unsigned long size) {
    if (size > static_cast<unsigned long>(kMaxFirmwareImageSize))
        return RefuseTooLarge(path, static_cast<long long>(size));
    if (size == 0)
        return Refuse(FW_READ_ERROR, path, "empty file");
    return FW_READ_OK;
}

FirmwareRead ReadFirmwareImage(const char* path, FirmwareImage* image) {
    image->data.reset();
    image->size = 0;
    if (path == nullptr)
        return FW_CANNOT_OPEN;
    // O_NONBLOCK: a FIFO with no writer would otherwise hold the open.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Refuse(FW_CANNOT_OPEN, path, strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Refuse(FW_UNUSABLE, path, "not a regular file");
    }
    if (st.st_size > kMaxFirmwareImageSize) {
        close(fd);
        return RefuseTooLarge(path, static_cast<long long>(st.st_size));
    }
    size_t length = static_cast<size_t>(st.st_size);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[length + 1]);
    if (!buffer) {
        close(fd);
        return Refuse(FW_UNUSABLE, path, "out of memory");
    }
    memset(buffer.get(), 0, length + 1);
    fcntl(fd, F_SETFL, O_RDONLY);
    errno = 0;
    bool whole = ReadFully(fd, buffer.get(), length);
    int readErrno = errno;
    close(fd);
    image->data = std::move(buffer);
    image->size = length;
    if (length == 0)
        return Refuse(FW_READ_ERROR, path, "empty file");
    if (!whole)
        return Refuse(FW_READ_ERROR, path, readErrno != 0 ? strerror(readErrno) : "short read");
    return FW_READ_OK;
}
