#pragma once
// The relay send mutex: every write to the relay connection (register, keep-alive, replies,
// and handlers that frame their own messages) holds it, so frames never interleave.
#include <mutex>

std::mutex& RelaySendMutex();
