#pragma once
// A loopback TCP port nobody listens on at the moment of asking: bound, read back and released.
// Another process may take it before the caller binds; tests that cannot bear that use a
// namespace of their own.
#include <cstdint>

uint16_t FreePort();  // 0 when no socket could be bound
