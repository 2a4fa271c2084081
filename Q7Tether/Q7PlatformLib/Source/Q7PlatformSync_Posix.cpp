#include "Q7PlatformSync_Posix.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#if __has_include("Q7UniversalLogMsg.h")
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#define Q7_SYNC_HAS_LOG 1
#endif

namespace Q7::Platform
{
namespace
{

void PostWarning(const wchar_t* text)
{
#ifdef Q7_SYNC_HAS_LOG
    Q7::Universal::LogWarning(L"%ls", text);
#else
    (void)text;
#endif
}

void ReportCallFailure(int code, const wchar_t* call, const char* file, unsigned line)
{
#ifdef Q7_SYNC_HAS_LOG
    SystemError_Posix error(static_cast<uint32_t>(code), nullptr);
    Q7::Universal::ReportInternalError(Q7::Universal::FormatErrorText(error, call).c_str(),
                                       Q7::Universal::SourceLocation(file, line, nullptr));
#else
    (void)code;
    (void)call;
    (void)file;
    (void)line;
#endif
}

[[noreturn]] void FailAssertion(const char* expression, const char* file, unsigned line)
{
#ifdef Q7_SYNC_HAS_LOG
    Q7::Universal::AssertionFailed(expression, Q7::Universal::SourceLocation(file, line, nullptr));
#else
    (void)expression;
    (void)file;
    (void)line;
    std::abort();
#endif
}

constexpr uint32_t kDeadlockProbeMs = 10000;

timespec AddMs(timespec t, uint32_t ms)
{
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L)
    {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// Locks with a deadline on the monotonic clock.
int TimedLock(pthread_mutex_t* mutex, uint32_t timeoutMs)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = AddMs(now, timeoutMs);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not intercept pthread_mutex_clocklock, so a lock taken
    // through it would be invisible to the race detector. The sanitizer build
    // waits with realtime deadlines instead and keeps the monotonic one.
    for (;;)
    {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
        {
            const int last = pthread_mutex_trylock(mutex);
            return last == EBUSY ? ETIMEDOUT : last;
        }
        const long long leftNs =
            (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        const timespec realDeadline = AddMs(real, static_cast<uint32_t>(leftNs / 1000000LL) + 1);
        const int result = pthread_mutex_timedlock(mutex, &realDeadline);
        if (result != ETIMEDOUT)
            return result;
    }
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

} // namespace

BaseWaitObject::~BaseWaitObject() = default;
BaseMutex::~BaseMutex() = default;

Mutex_Posix::Mutex_Posix()
{
    pthread_mutexattr_t attr;
    int result = pthread_mutexattr_init(&attr);
    if (result == 0)
    {
        result = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (result == 0)
            result = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        if (result == 0)
            result = pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    m_valid = result == 0;
    if (!m_valid)
        ReportCallFailure(result, L"pthread_mutex_init", __FILE__, __LINE__);
    if (!m_valid)
        FailAssertion("m_hMutex != NULL", __FILE__, __LINE__);
}

Mutex_Posix::~Mutex_Posix()
{
    if (!m_valid)
        return;
    const int result = pthread_mutex_destroy(&m_mutex);
    if (result != 0)
        ReportCallFailure(result, L"pthread_mutex_destroy", __FILE__, __LINE__);
    m_valid = false;
}

bool Mutex_Posix::Acquired(int result, const wchar_t* call)
{
    if (result == 0)
        return true;
    if (result == EOWNERDEAD)
    {
        // The previous owner ended while holding the mutex: the caller owns it
        // now; mark it usable again.
        pthread_mutex_consistent(&m_mutex);
        PostWarning(L"Mutex abandoned by a terminated thread!");
        return true;
    }
    if (result == ETIMEDOUT || result == EBUSY)
        return false;
    ReportCallFailure(result, call, __FILE__, __LINE__);
    return false;
}

bool Mutex_Posix::Lock(uint32_t timeoutMs)
{
    if (!m_valid)
        return false;
    if (timeoutMs == kInfinite)
    {
        if (Lock(kDeadlockProbeMs))
            return true;
        PostWarning(L"Mutex lock taking longer than 10 seconds. Deadlock?");
        return Acquired(pthread_mutex_lock(&m_mutex), L"pthread_mutex_lock");
    }
    if (timeoutMs == 0)
        return Acquired(pthread_mutex_trylock(&m_mutex), L"pthread_mutex_trylock");
    return Acquired(TimedLock(&m_mutex, timeoutMs), L"pthread_mutex_clocklock");
}

bool Mutex_Posix::TryLock()
{
    return Lock(0);
}

void Mutex_Posix::Unlock()
{
    if (!m_valid)
        return;
    const int result = pthread_mutex_unlock(&m_mutex);
    if (result != 0)
        ReportCallFailure(result, L"pthread_mutex_unlock", __FILE__, __LINE__);
}

ScopedLock::ScopedLock(BaseMutex& mutex, uint32_t timeoutMs)
    : m_mutex(&mutex), m_locked(mutex.Lock(timeoutMs))
{
}

ScopedLock::ScopedLock(BaseMutex& mutex, bool tryOnly)
    : m_mutex(&mutex), m_locked(tryOnly ? mutex.TryLock() : mutex.Lock(kInfinite))
{
}

ScopedLock::~ScopedLock()
{
    if (m_locked)
        m_mutex->Unlock();
}

} // namespace Q7::Platform
