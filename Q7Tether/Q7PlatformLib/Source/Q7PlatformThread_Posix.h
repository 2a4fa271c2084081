#pragma once
// Named platform threads with a start gate, cooperative stop and waitable end.

#include "Q7PlatformSync_Posix.h"

#include <cstdint>

namespace Q7::Platform
{

/// The kernel id of the calling thread (the thread column of log lines).
/// Thread-safe; never blocks.
uint32_t CurrentThreadId();

} // namespace Q7::Platform
