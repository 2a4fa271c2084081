#pragma once
// Synchronisation primitives of the platform library: the tree of waitable
// objects, the recursive mutex, the manual-reset event, the wait functions over
// one or several objects and the scoped locks.
//
// Events and thread ends share one wait core (a mutex and one condition
// variable per waiting thread): a signal wakes its waiters at once, waits never
// poll or sleep, and a wait over several objects sees their states atomically.
// A Set releases the threads waiting at that moment even when a Reset follows
// at once: the Set marks each of them as fired.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Q7::Platform
{

class SystemError_Posix;

/// Time-out value that waits without limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

/// Most objects one WaitForObjects call accepts.
inline constexpr uint32_t kMaxWaitObjects = 64;

/// Index value meaning "no object signalled".
inline constexpr uint32_t kNoSignalledIndex = 0xFFFFFFFFu;

/// Root of every object that a wait function accepts (mutexes, events, threads).
class BaseWaitObject
{
public:
    virtual ~BaseWaitObject();
};

/// A lock that can be taken with a time-out. Implementations are recursive: the
/// owner may lock again and must unlock as often.
class BaseMutex : public BaseWaitObject
{
public:
    ~BaseMutex() override;

    /// Locks the mutex, waiting at most timeoutMs (kInfinite: no limit). Answers
    /// true when the caller owns the mutex now, false on time-out or failure.
    virtual bool Lock(uint32_t timeoutMs) = 0;

    /// Locks the mutex only when it is free or already owned by the caller.
    virtual bool TryLock() = 0;

    /// Releases one level of ownership; only the owning thread may call it.
    virtual void Unlock() = 0;
};

/// Something whose state can be asked without waiting.
class EventStatus : public BaseWaitObject
{
public:
    ~EventStatus() override;

    /// True while the event is signalled (an auto-reset event is consumed by
    /// the question). Never blocks. Thread-safe.
    virtual bool IsSet() const = 0;
};

/// An event that threads signal and reset.
class BaseEventCondition : public EventStatus
{
public:
    ~BaseEventCondition() override;

    bool IsSet() const override = 0;

    /// Signals the event and wakes every waiter. Thread-safe.
    virtual void Set() = 0;

    /// Clears the signal. Thread-safe.
    virtual void Reset() = 0;
};

/// The state of one signalable object inside the wait core: an event's signal
/// or a thread's end. Thread-safe; Set and Reset never block for longer than the
/// wait core's short critical section.
class WaitSignal
{
public:
    explicit WaitSignal(bool autoReset = false) : m_autoReset(autoReset) {}

    WaitSignal(const WaitSignal&) = delete;
    WaitSignal& operator=(const WaitSignal&) = delete;

    /// Signals and releases the threads waiting on this signal now, also when a
    /// Reset follows at once: every waiter of a manual-reset signal that waits for
    /// any of its objects is released with this signal's position (the lowest
    /// fired or set position wins); an auto-reset signal is taken at once by one
    /// such waiter and stays clear, or stays set when none takes it. A waiter for
    /// all of its objects re-checks their states.
    void Set();

    /// Clears the signal.
    void Reset();

    /// Answers whether signalled; an auto-reset signal is cleared by a true answer.
    bool IsSet();

    bool IsAutoReset() const { return m_autoReset; }

    /// The number of threads waiting on this signal now (a thread that waits on
    /// the same signal twice in one wait counts twice). For diagnostics and
    /// tests; the answer may be stale at once. Thread-safe.
    std::size_t WaiterCount() const;

private:
    friend class WaitCore;
    struct Waiter; // a waiting thread
    struct Node;   // a waiting thread's registration on this signal

    std::atomic<bool> m_signalled{false}; // written under the wait core's mutex
    const bool m_autoReset;
    Node* m_waiters = nullptr; // registered waiters; guarded by the wait core's mutex
};

/// The wait-core state behind a waitable object; null when there is nothing to
/// wait for (a thread object without a thread).
using WaitHandle = std::shared_ptr<WaitSignal>;

/// Second base of the objects that take part in the wait core (events, threads).
class BasePosixHandle
{
public:
    virtual ~BasePosixHandle();

    /// The object's signal, or null when the object has none. Thread-safe.
    virtual WaitHandle GetHandle() const = 0;
};

/// A recursive, robust pthread mutex.
///
/// Lock without time-out never gives up: after 10 seconds it posts the warning
/// "Mutex lock taking longer than 10 seconds. Deadlock?" once and keeps waiting.
/// A mutex whose owner thread ended while holding it is taken over by the next
/// locker with the warning "Mutex abandoned by a terminated thread!".
/// Failure to create the mutex is fatal (internal error, then a failed assertion);
/// failures of the other operations are reported as internal errors and absorbed.
/// Thread-safe. Not copyable.
class Mutex_Posix : public BaseMutex
{
public:
    Mutex_Posix();

    /// Destroys the mutex. Held by the calling thread, it is released first (every
    /// level), so that nothing of the thread keeps pointing into it. Held by
    /// another thread, the destruction is reported as an internal error
    /// ("pthread_mutex_destroy", EBUSY) and the mutex is left as it is.
    ~Mutex_Posix() override;

    Mutex_Posix(const Mutex_Posix&) = delete;
    Mutex_Posix& operator=(const Mutex_Posix&) = delete;

    /// Locks within timeoutMs (kInfinite: no limit; 0: no wait). Blocks. Answers
    /// false on time-out or on a failed lock (reported as an internal error).
    bool Lock(uint32_t timeoutMs) override;

    /// Lock (0), called through the virtual slot.
    bool TryLock() override;

    /// Releases one level of ownership. Unlocking a mutex the caller does not own
    /// is reported as an internal error and changes nothing.
    void Unlock() override;

private:
    // Takes the result of a pthread lock call: owns (true) or not (false), with
    // the abandoned-owner repair and the failure report.
    bool Acquired(int result, const wchar_t* call);

    pthread_mutex_t m_mutex; // the OS mutex; valid while m_valid
    bool m_valid = false;
    // The owner's levels, counted so that the destructor can release them all.
    std::atomic<const void*> m_owner{nullptr}; // mark of the owning thread, null when free; set by the owner
    uint32_t m_depth = 0;                      // levels the owner holds; only the owner touches it
};

/// An event of the wait core. Every event of the library is manual-reset: once
/// Set it stays signalled, wakes every waiter (also when a Reset follows at
/// once) and reads IsSet true until Reset. An auto-reset event (not used by the
/// library) is cleared by the one wait it satisfies. A new event is not
/// signalled. Thread-safe.
///
/// Copies name the same event. Failing to create the event is fatal.
class EventCondition_Posix : public BaseEventCondition, public BasePosixHandle
{
public:
    explicit EventCondition_Posix(bool autoReset = false);
    ~EventCondition_Posix() override;

    EventCondition_Posix(const EventCondition_Posix& other);
    EventCondition_Posix& operator=(const EventCondition_Posix& other);

    bool IsSet() const override;
    void Set() override;
    void Reset() override;

    WaitHandle GetHandle() const override;

private:
    WaitHandle m_signal; // shared by copies of this event
};

/// The wait-core handle of an object: null for objects without one (thread
/// objects with no thread). Raises StdExceptionError (internal error) for an
/// object that is neither an event, a thread nor a mutex.
WaitHandle GetWaitHandle(BaseWaitObject& object);

/// Waits until the object is signalled or timeoutMs passed (kInfinite: no limit).
/// A null object, or one without a handle, answers true at once. Waiting on a
/// mutex locks it (as Lock does, with the same 10-second warning). Answers
/// false on time-out. Blocks. Thread-safe.
bool WaitForObject(BaseWaitObject* object, uint32_t timeoutMs);

/// Waits for any (waitAll false) or all (waitAll true) of count objects within
/// timeoutMs (kInfinite: no limit). Null objects and thread objects without a
/// thread are left out of the wait; when none remains, or count is 0 or the array
/// null, answers true at once. For "any", the lowest array position that is
/// signalled, or was set while the call waited (even if reset since), is stored
/// in signalledIndex (when given); otherwise it receives kNoSignalledIndex.
/// Answers false on time-out. A mutex can only be waited on as the only object.
/// Raises (internal error): SystemError_Posix EINVAL for more than kMaxWaitObjects
/// objects, ModuleError 0x650067 for a mutex among other objects,
/// StdExceptionError for an object of unknown kind. Blocks. Thread-safe.
bool WaitForObjects(uint32_t* signalledIndex, uint32_t count, BaseWaitObject* const* objects, bool waitAll,
                    uint32_t timeoutMs);

/// WaitForObjects for any of the given objects without time-out; index 0 is
/// first. Uses the first count of the objects given (all when count is larger).
/// The form a worker thread uses to sleep on {stop event, work event}.
template <typename... Rest>
bool WaitForAnyOf(uint32_t* signalledIndex, uint32_t count, BaseWaitObject* first, Rest*... rest)
{
    BaseWaitObject* const objects[] = {first, static_cast<BaseWaitObject*>(rest)...};
    const uint32_t given = static_cast<uint32_t>(sizeof(objects) / sizeof(objects[0]));
    return WaitForObjects(signalledIndex, count < given ? count : given, objects, false, kInfinite);
}

/// Locks several mutexes without deadlock: blocks on one mutex at a time and
/// takes the others only when they are free, releasing all and starting with
/// the busy one when one is not. Null array or count 0: nothing. Null entries
/// are skipped. Blocks.
void LockAll(uint32_t count, BaseMutex* const* mutexes);

/// Unlocks each of the mutexes in array order (null entries skipped).
void UnlockAll(uint32_t count, BaseMutex* const* mutexes);

/// Logs "Error: " with the error text of the error, prefixed by the formatted
/// text, then throws a copy of the error. Never returns.
[[noreturn]] void ThrowSystemError(const SystemError_Posix& error, const wchar_t* format, ...);

/// Holds a mutex locked for the lifetime of the object. Lives and dies on one
/// thread (the owner of the lock). Reentrant.
class ScopedLock
{
public:
    /// Locks with the given time-out (kInfinite by default); IsLocked tells the result.
    explicit ScopedLock(BaseMutex& mutex, uint32_t timeoutMs = kInfinite);

    /// Locks with TryLock when tryOnly is true, otherwise without time-out.
    ScopedLock(BaseMutex& mutex, bool tryOnly);

    /// Unlocks only when the lock was taken.
    ~ScopedLock();

    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    bool IsLocked() const { return m_locked; }

private:
    BaseMutex* m_mutex;
    bool m_locked;
};

/// Holds several mutexes locked (LockAll) for the lifetime of the object and
/// unlocks them in array order. Lives and dies on one thread.
class ScopedMultiLock
{
public:
    ScopedMultiLock(BaseMutex* const* mutexes, uint32_t count);
    ~ScopedMultiLock();

    ScopedMultiLock(const ScopedMultiLock&) = delete;
    ScopedMultiLock& operator=(const ScopedMultiLock&) = delete;

private:
    std::vector<BaseMutex*> m_mutexes; // copied from the caller's array
};

} // namespace Q7::Platform
