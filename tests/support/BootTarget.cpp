#include "support/BootTarget.h"
#include "support/HexText.h"

#include "app/console/ConsoleRenderer.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

BootTarget::BootTarget(const BootloaderConfig& config) : boot(line, config) {
    ACK = 0x79;
    NACK = 0x1F;
    ACK_VALUE = 0x79;
    MAX_DATA_SIZE = 0xFF;
    boot.start();
}

unsigned char BootTarget::open() {
    std::string path = line.slavePath();
    unsigned char status = lib.SetCOMSettings(&path[0], 115200, 8, 2, 1.0f);
    if (status != SUCCESS)
        return status;
    if ((status = lib.COM_Open()) != SUCCESS)
        return status;
    return lib.SetPaketSize(128);
}

unsigned char BootTarget::connect() {
    unsigned char status = open();
    if (status != SUCCESS)
        return status;
    if ((status = lib.STBL_Init_BL()) != SUCCESS)
        return status;
    return lib.STBL_GET(&version, &commands);
}

std::string HexBytes(const std::vector<unsigned char>& bytes) {
    return HexDigits(bytes.data(), bytes.size(), true, " ");
}

void StdoutGrab::start() {
    // What is grabbed is the libraries' events as the tool words them.
    InstallConsoleRenderer();
    if (saved_ >= 0)
        return;
    fflush(stdout);
    char name[] = "/tmp/kv_stdout_XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0)
        return;
    unlink(name);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

std::string StdoutGrab::stop() {
    std::string out;
    if (saved_ < 0)
        return out;
    fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    lseek(file_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(file_, buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(file_);
    file_ = -1;
    return out;
}

StdoutGrab::~StdoutGrab() {
    stop();
}
