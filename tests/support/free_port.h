#pragma once
// A loopback TCP port nobody listens on at the moment of asking: bound, read back and released.
// Another process may take it before the caller binds; tests that cannot bear that use a
// namespace of their own.
#include <cstdint>

uint16_t FreePort();  // 0 when no socket could be bound
// A listening loopback TCP socket on a free port; -1 on failure.
int ListenOnLoopback();
// The local port of a bound socket (0 when it has none).
uint16_t LocalPortOf(int fd);
