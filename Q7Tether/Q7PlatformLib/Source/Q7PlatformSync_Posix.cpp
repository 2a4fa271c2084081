#include "Q7PlatformSync_Posix.h"

#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <new>
#include <typeinfo>

namespace Q7::Platform
{
namespace
{

using Q7::Universal::ModuleError;
using Q7::Universal::StdExceptionError;

void PostWarning(const wchar_t* text)
{
    Q7::Universal::LogWarning(L"%ls", text);
}

// The internal-error report of a failed call that the operation absorbs.
#define Q7_REPORT_CALL_FAILURE(code, call)                                                                   \
    Q7_REPORT_INTERNAL_ERROR(SystemError_Posix(static_cast<uint32_t>(code), nullptr), call)

constexpr uint32_t kDeadlockProbeMs = 10000;

// An address that no other living thread shares: the owner mark of a mutex.
thread_local char t_threadMark;

const void* ThisThreadMark()
{
    return &t_threadMark;
}
constexpr const wchar_t* kMutexAloneText = L"A mutex can only be waited on alone.";

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
    // waits with realtime deadlines instead and keeps the monotonic one. It
    // tries first: the sanitizer tracks the take-over of an abandoned mutex only
    // through pthread_mutex_lock and pthread_mutex_trylock.
    const int first = pthread_mutex_trylock(mutex);
    if (first != EBUSY)
        return first;
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

// ---------------------------------------------------------------------------
// Wait core

// A waiting thread. Fields other than wakeup are guarded by the wait core's
// mutex.
struct WaitSignal::Waiter
{
    std::condition_variable wakeup;
    bool waitAll = false;
    // Waiting for any: the lowest position fired at this waiter since it
    // registered (kNoSignalledIndex: none). A Set fires, so a Reset that follows
    // before the waiter runs cannot take the release back.
    uint32_t fired = kNoSignalledIndex;
    // The fire handed over an auto-reset signal, already consumed for this
    // waiter: fired is the result, whatever else is set.
    bool tookAutoReset = false;
};

// A waiting thread's registration on one signal: an intrusive list node, so a
// wait allocates nothing.
struct WaitSignal::Node
{
    Waiter* waiter = nullptr;
    uint32_t position = 0; // the signal's position in the waiter's wait
    Node* prev = nullptr;
    Node* next = nullptr;
};

// The one mutex behind every signal's state and waiter list. Its critical
// sections are a few loads and stores, so one mutex for the process is enough.
class WaitCore
{
public:
    using Waiter = WaitSignal::Waiter;
    using Node = WaitSignal::Node;

    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    // Caller holds Mutex(). Fires the waiters registered now: an auto-reset
    // signal goes to the first waiter for any that it releases at a lower
    // position than it has, and stays clear; otherwise the signal is set and
    // every waiter for any is fired at this position (keeping a lower one).
    static void Signal(WaitSignal& signal)
    {
        if (signal.m_autoReset)
        {
            for (Node* node = signal.m_waiters; node != nullptr; node = node->next)
            {
                Waiter& waiter = *node->waiter;
                if (!waiter.waitAll && !waiter.tookAutoReset && node->position < waiter.fired)
                {
                    waiter.fired = node->position;
                    waiter.tookAutoReset = true;
                    waiter.wakeup.notify_one();
                    return;
                }
            }
        }
        signal.m_signalled.store(true, std::memory_order_release);
        for (Node* node = signal.m_waiters; node != nullptr; node = node->next)
        {
            Waiter& waiter = *node->waiter;
            if (!signal.m_autoReset && !waiter.waitAll && !waiter.tookAutoReset &&
                node->position < waiter.fired)
                waiter.fired = node->position;
            waiter.wakeup.notify_one();
        }
    }

    // Caller holds Mutex(). Clears the signal when it is auto-reset.
    static void Consume(WaitSignal& signal)
    {
        if (signal.m_autoReset)
            signal.m_signalled.store(false, std::memory_order_release);
    }

    static bool IsSignalled(const WaitSignal& signal)
    {
        return signal.m_signalled.load(std::memory_order_relaxed);
    }

    // Caller holds Mutex().
    static void Register(WaitSignal& signal, Node& node)
    {
        node.prev = nullptr;
        node.next = signal.m_waiters;
        if (signal.m_waiters != nullptr)
            signal.m_waiters->prev = &node;
        signal.m_waiters = &node;
    }

    // Caller holds Mutex().
    static void Unregister(WaitSignal& signal, Node& node)
    {
        if (node.prev != nullptr)
            node.prev->next = node.next;
        else
            signal.m_waiters = node.next;
        if (node.next != nullptr)
            node.next->prev = node.prev;
        node.prev = node.next = nullptr;
    }

    // Checks the wait condition; caller holds Mutex(). waiter is null before the
    // thread registered. Answers the satisfied position (any), 0 (all), or -1
    // (not yet). For any: the lowest position that is set below the fired one,
    // else the fired one. Consumes the auto-reset signal of the answer.
    static int Check(WaitSignal* const* signals, uint32_t count, bool waitAll, const Waiter* waiter)
    {
        if (!waitAll)
        {
            if (waiter != nullptr && waiter->tookAutoReset)
                return static_cast<int>(waiter->fired);
            const uint32_t fired = waiter != nullptr ? waiter->fired : kNoSignalledIndex;
            for (uint32_t i = 0; i < count && i < fired; ++i)
            {
                if (IsSignalled(*signals[i]))
                {
                    Consume(*signals[i]);
                    return static_cast<int>(i);
                }
            }
            return fired != kNoSignalledIndex ? static_cast<int>(fired) : -1;
        }
        for (uint32_t i = 0; i < count; ++i)
        {
            if (!IsSignalled(*signals[i]))
                return -1;
        }
        for (uint32_t i = 0; i < count; ++i)
            Consume(*signals[i]);
        return 0;
    }

    // Waits for any or all of the signals; answers the satisfied position (0 for
    // all) or -1 on time-out. The signals stay alive for the call (the caller
    // holds their handles).
    static int Wait(WaitSignal* const* signals, uint32_t count, bool waitAll, uint32_t timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock<std::mutex> lock(Mutex());
        int result = Check(signals, count, waitAll, nullptr);
        if (result >= 0 || timeoutMs == 0)
            return result;

        Waiter waiter;
        waiter.waitAll = waitAll;
        Node nodes[kMaxWaitObjects];
        for (uint32_t i = 0; i < count; ++i)
        {
            nodes[i].waiter = &waiter;
            nodes[i].position = i;
            Register(*signals[i], nodes[i]);
        }
        for (;;)
        {
            bool timedOut = false;
            if (timeoutMs == kInfinite)
                waiter.wakeup.wait(lock);
            else
                timedOut = waiter.wakeup.wait_until(lock, deadline) == std::cv_status::timeout;
            result = Check(signals, count, waitAll, &waiter);
            if (result >= 0 || timedOut)
                break;
        }
        for (uint32_t i = 0; i < count; ++i)
            Unregister(*signals[i], nodes[i]);
        return result;
    }
};

void WaitSignal::Set()
{
    // A set manual-reset signal has no waiters left to release: every waiter
    // registered while it was clear was fired by the Set that set it.
    if (!m_autoReset && m_signalled.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(WaitCore::Mutex());
    WaitCore::Signal(*this);
}

void WaitSignal::Reset()
{
    std::lock_guard<std::mutex> lock(WaitCore::Mutex());
    m_signalled.store(false, std::memory_order_release);
}

bool WaitSignal::IsSet()
{
    if (!m_autoReset)
        return m_signalled.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> lock(WaitCore::Mutex());
    if (!WaitCore::IsSignalled(*this))
        return false;
    WaitCore::Consume(*this);
    return true;
}

std::size_t WaitSignal::WaiterCount() const
{
    std::lock_guard<std::mutex> lock(WaitCore::Mutex());
    std::size_t count = 0;
    for (const Node* node = m_waiters; node != nullptr; node = node->next)
        ++count;
    return count;
}

// ---------------------------------------------------------------------------
// Object tree

BaseWaitObject::~BaseWaitObject() = default;
BaseMutex::~BaseMutex() = default;
EventStatus::~EventStatus() = default;
BaseEventCondition::~BaseEventCondition() = default;
BasePosixHandle::~BasePosixHandle() = default;

// ---------------------------------------------------------------------------
// Mutex_Posix

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
    {
        Q7_REPORT_CALL_FAILURE(result, L"pthread_mutex_init");
        Q7::Universal::AssertionFailed(L"m_hMutex != NULL", Q7_SOURCE_LOCATION);
    }
}

Mutex_Posix::~Mutex_Posix()
{
    if (!m_valid)
        return;
    // A robust mutex stays on its owner's list of held robust mutexes, which
    // runs through the mutex itself, until it is unlocked; the system destroys a
    // held one without complaint. So take it: held by the caller, release every
    // level; held by another thread, report and leave it alone.
    if (!Lock(0))
    {
        Q7_REPORT_CALL_FAILURE(EBUSY, L"pthread_mutex_destroy");
        m_valid = false;
        return;
    }
    while (m_depth > 0)
        Unlock();
    const int result = pthread_mutex_destroy(&m_mutex);
    if (result != 0)
        Q7_REPORT_CALL_FAILURE(result, L"pthread_mutex_destroy");
    m_valid = false;
}

bool Mutex_Posix::Acquired(int result, const wchar_t* call)
{
    if (result == 0)
    {
        if (m_depth++ == 0)
            m_owner.store(ThisThreadMark(), std::memory_order_relaxed);
        return true;
    }
    if (result == EOWNERDEAD)
    {
        // The previous owner ended while holding the mutex: the caller owns it
        // now, once; mark it usable again.
        pthread_mutex_consistent(&m_mutex);
        m_depth = 1;
        m_owner.store(ThisThreadMark(), std::memory_order_relaxed);
        PostWarning(L"Mutex abandoned by a terminated thread!");
        return true;
    }
    if (result == ETIMEDOUT || result == EBUSY)
        return false;
    Q7_REPORT_CALL_FAILURE(result, call);
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
    // Only the owner counts its levels down; another thread's unlock fails below.
    if (m_owner.load(std::memory_order_relaxed) == ThisThreadMark() && --m_depth == 0)
        m_owner.store(nullptr, std::memory_order_relaxed);
    const int result = pthread_mutex_unlock(&m_mutex);
    if (result != 0)
        Q7_REPORT_CALL_FAILURE(result, L"pthread_mutex_unlock");
}

// ---------------------------------------------------------------------------
// EventCondition_Posix

EventCondition_Posix::EventCondition_Posix(bool autoReset)
{
    try
    {
        m_signal = std::make_shared<WaitSignal>(autoReset);
    }
    catch (const std::bad_alloc&)
    {
        Q7_REPORT_CALL_FAILURE(ENOMEM, L"EventCondition");
        Q7::Universal::AssertionFailed(L"m_hEvent != NULL", Q7_SOURCE_LOCATION);
    }
}

EventCondition_Posix::~EventCondition_Posix() = default;

EventCondition_Posix::EventCondition_Posix(const EventCondition_Posix& other)
    : BaseEventCondition(), BasePosixHandle(), m_signal(other.m_signal)
{
}

EventCondition_Posix& EventCondition_Posix::operator=(const EventCondition_Posix& other)
{
    if (this != &other)
        m_signal = other.m_signal;
    return *this;
}

bool EventCondition_Posix::IsSet() const
{
    return m_signal->IsSet();
}

void EventCondition_Posix::Set()
{
    m_signal->Set();
}

void EventCondition_Posix::Reset()
{
    m_signal->Reset();
}

WaitHandle EventCondition_Posix::GetHandle() const
{
    return m_signal;
}

// ---------------------------------------------------------------------------
// Wait functions

WaitHandle GetWaitHandle(BaseWaitObject& object)
{
    try
    {
        return dynamic_cast<BasePosixHandle&>(object).GetHandle();
    }
    catch (const std::bad_cast& e)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(e), nullptr);
    }
}

bool WaitForObject(BaseWaitObject* object, uint32_t timeoutMs)
{
    if (object == nullptr)
        return true;
    if (auto* mutex = dynamic_cast<BaseMutex*>(object))
        return mutex->Lock(timeoutMs);
    const WaitHandle handle = GetWaitHandle(*object);
    if (!handle)
        return true;
    WaitSignal* const signal = handle.get();
    return WaitCore::Wait(&signal, 1, false, timeoutMs) >= 0;
}

bool WaitForObjects(uint32_t* signalledIndex, uint32_t count, BaseWaitObject* const* objects, bool waitAll,
                    uint32_t timeoutMs)
{
    if (signalledIndex != nullptr)
        *signalledIndex = kNoSignalledIndex;
    if (count == 0 || objects == nullptr)
        return true;

    // Collect the objects that take part, keeping their array positions.
    WaitHandle handles[kMaxWaitObjects];
    WaitSignal* signals[kMaxWaitObjects];
    uint32_t positions[kMaxWaitObjects];
    uint32_t collected = 0;
    BaseMutex* mutex = nullptr;
    uint32_t mutexPosition = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        BaseWaitObject* const object = objects[i];
        if (object == nullptr)
            continue;
        if (auto* asMutex = dynamic_cast<BaseMutex*>(object))
        {
            if (mutex != nullptr || collected != 0)
                Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotSupported, kMutexAloneText),
                                        L"WaitForObjects");
            mutex = asMutex;
            mutexPosition = i;
            continue;
        }
        WaitHandle handle = GetWaitHandle(*object);
        if (!handle)
            continue;
        if (mutex != nullptr)
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotSupported, kMutexAloneText),
                                    L"WaitForObjects");
        if (collected == kMaxWaitObjects)
            Q7_THROW_INTERNAL_ERROR(SystemError_Posix(EINVAL, nullptr), L"WaitForObjects");
        signals[collected] = handle.get();
        handles[collected] = std::move(handle);
        positions[collected] = i;
        ++collected;
    }

    if (mutex != nullptr)
    {
        if (!mutex->Lock(timeoutMs))
            return false;
        if (!waitAll && signalledIndex != nullptr)
            *signalledIndex = mutexPosition;
        return true;
    }
    if (collected == 0)
        return true;

    const int result = WaitCore::Wait(signals, collected, waitAll, timeoutMs);
    if (result < 0)
        return false;
    if (!waitAll && signalledIndex != nullptr)
        *signalledIndex = positions[result];
    return true;
}

void LockAll(uint32_t count, BaseMutex* const* mutexes)
{
    if (mutexes == nullptr || count == 0)
        return;
    // Block only on one mutex at a time, never while holding another: take the
    // leader without limit and the others only when free. When one is busy,
    // release everything and lead with the busy one, so the next round blocks
    // on it instead of spinning.
    uint32_t leader = 0;
    for (;;)
    {
        if (mutexes[leader] != nullptr)
            mutexes[leader]->Lock(kInfinite);
        uint32_t taken = 1;
        for (; taken < count; ++taken)
        {
            BaseMutex* const next = mutexes[(leader + taken) % count];
            if (next != nullptr && !next->TryLock())
                break;
        }
        if (taken == count)
            return;
        const uint32_t busy = (leader + taken) % count;
        while (taken-- > 0)
        {
            BaseMutex* const held = mutexes[(leader + taken) % count];
            if (held != nullptr)
                held->Unlock();
        }
        leader = busy;
    }
}

void UnlockAll(uint32_t count, BaseMutex* const* mutexes)
{
    if (mutexes == nullptr)
        return;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (mutexes[i] != nullptr)
            mutexes[i]->Unlock();
    }
}

void ThrowSystemError(const SystemError_Posix& error, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Q7::Universal::LogErrorV(error, format, args);
    va_end(args);
    throw error;
}

// ---------------------------------------------------------------------------
// Scoped locks

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

ScopedMultiLock::ScopedMultiLock(BaseMutex* const* mutexes, uint32_t count)
    : m_mutexes(mutexes != nullptr ? mutexes : nullptr, mutexes != nullptr ? mutexes + count : nullptr)
{
    LockAll(static_cast<uint32_t>(m_mutexes.size()), m_mutexes.data());
}

ScopedMultiLock::~ScopedMultiLock()
{
    UnlockAll(static_cast<uint32_t>(m_mutexes.size()), m_mutexes.data());
}

} // namespace Q7::Platform
