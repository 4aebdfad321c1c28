#pragma once
// Who holds the far end of a loopback TCP connection, read from the kernel's socket table
// (sock_diag), for the trust checks of both the service and the desktop program. Only a socket
// that somebody still holds says who owns it: a closed (orphaned or time-wait) socket is shown
// as root's and is never believed.
#include <cstdint>

// The owner of the socket at the other end of connected loopback IPv4 TCP socket fd. False
// when it cannot be told: not loopback, not found, or not a live held socket. waitMs > 0 waits
// that long for a connection still being opened or not yet accepted (never on an event thread).
bool Plat_LoopbackPeerUid(int fd, uint32_t& uid, int waitMs = 0);
// Whether that owner is this process's effective user or root.
bool Plat_LoopbackPeerIsSameUser(int fd, int waitMs = 0);
// Whether fd is a TCP socket connected to a 127.x.y.z address.
bool Plat_IsLoopbackConnection(int fd);
