// SystemLog.h -- SendSystemLog: one line to the system log.
//
// One line to the system log: an RFC 3164 datagram (facility user, ident
// kvfwdn) sent to the local log socket, /dev/log or $KVFWDN_SYSLOG_SOCKET.
// Written here rather than through syslog(3) so that the socket can be
// chosen; nothing happens when no log daemon listens.
#ifndef KV_APP_SYSTEMLOG_H
#define KV_APP_SYSTEMLOG_H

#include <string>

void SendSystemLog(bool failure, const std::string& message);

#endif
