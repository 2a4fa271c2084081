#include "Q7PlatformThread_Posix.h"

#include <unistd.h>

namespace Q7::Platform
{

uint32_t CurrentThreadId()
{
    // gettid is a system call; the id of a thread never changes, so keep it.
    thread_local const uint32_t id = static_cast<uint32_t>(gettid());
    return id;
}

} // namespace Q7::Platform
