#include "Q7PlatformClock_Posix.h"

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace Q7::Platform
{

uint64_t GetTickCountUs()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
    {
        const int code = errno;
        Q7_REPORT_INTERNAL_ERROR(SystemError_Posix(static_cast<uint32_t>(code), nullptr),
                                 L"clock_gettime failed");
        Q7_ASSERT(false);
    }
    // Seconds and nanoseconds are scaled separately: no intermediate product can
    // overflow, whatever the uptime.
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint64_t GetTickCountMs()
{
    return GetTickCountUs() / 1000u;
}

void SleepMs(uint32_t ms)
{
    if (ms == 0)
    {
        sched_yield();
        return;
    }
    if (ms == kInfinite)
    {
        for (;;)
            pause();
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L)
    {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An absolute deadline makes a sleep interrupted by a signal resume for the
    // remaining time only.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR)
    {
    }
}

uint32_t TimeLeftMs(uint32_t timeoutMs, uint64_t startMs)
{
    if (timeoutMs == 0xFFFFFFFFu)
    {
        return timeoutMs;
    }
    const uint64_t now = GetTickCountMs();
    const uint64_t elapsed = now > startMs ? now - startMs : 0;
    return elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - elapsed);
}

} // namespace Q7::Platform
