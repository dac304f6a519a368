// The dispenser firmware-file classification on a file holding the input.
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

#include "cdu/CduFwDn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("kvfwdn-fuzz-image", 0);
    static char path[64];
    static CKvCDUFwDn* dn = new CKvCDUFwDn;
    if (fd < 0)
        return 0;
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    char model[10]; // the smallest model buffer the classification allows
    unsigned char type = 0;
    dn->GetCDUTypeByFW(path, model, &type);
    return 0;
}
