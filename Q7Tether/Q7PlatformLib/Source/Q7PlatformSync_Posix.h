#pragma once
// Synchronisation primitives of the platform library: the tree of waitable
// objects, the recursive mutex, the manual-reset event, the wait functions over
// one or several objects and the scoped locks.

#include <pthread.h>

#include <cstdint>

namespace Q7::Platform
{

/// Time-out value that waits without limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

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
};

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

} // namespace Q7::Platform
