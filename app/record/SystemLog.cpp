#include "app/record/SystemLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int FACILITY_USER = 1 << 3;
const int SEVERITY_ERR = 3;
const int SEVERITY_NOTICE = 5;

} // namespace

void SendSystemLog(bool failure, const std::string& message) {
    const char* path = getenv("KVFWDN_SYSLOG_SOCKET");
    if (path == nullptr || path[0] == '\0')
        path = "/dev/log";
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path)
        return;
    strcpy(addr.sun_path, path);

    // "<PRI>Mmm dd hh:mm:ss kvfwdn[pid]: message", local time, as the
    // C library's syslog sends it.
    time_t now = time(nullptr);
    struct tm local;
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    char head[64];
    snprintf(head, sizeof head,
             "<%d>%s kvfwdn[%ld]: ", FACILITY_USER | (failure ? SEVERITY_ERR : SEVERITY_NOTICE),
             stamp, static_cast<long>(getpid()));
    std::string datagram = head + message;

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0)
        send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}
