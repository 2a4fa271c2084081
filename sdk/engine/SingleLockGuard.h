#pragma once
// The scoped lock of the camera bridge's mutexes: no thread ever holds two of
// them, so no order between them can deadlock. And the rule beside it: while a
// thread holds a lock that an application call may need, the application's
// code (log handler, message printer, notification filters) does not run on
// it; what would call it waits until the thread has let go of the lock.

#include <functional>
#include <mutex>

namespace Q7::TavrinC
{

/// Marks, for its scope, that the calling thread holds a lock of the library
/// that an application call may need. Meanwhile the SDK log keeps its lines
/// and the notification list its posts (Defer); they go out, in the order they
/// were made, once the thread's outermost scope has ended (after the lock was
/// released). Scopes nest. Reentrant (each scope belongs to the thread that
/// made it).
class LibraryLockScope
{
public:
    LibraryLockScope() noexcept;
    /// Ends the scope; the outermost one runs what was deferred meanwhile.
    /// Declare the scope before the lock it covers, so that the lock is
    /// released first.
    ~LibraryLockScope();

    LibraryLockScope(const LibraryLockScope&) = delete;
    LibraryLockScope& operator=(const LibraryLockScope&) = delete;

    /// Whether the calling thread is inside a scope. Never throws.
    static bool Active() noexcept;

    /// Runs action when the calling thread's outermost scope ends, after the
    /// actions deferred before it; at once when it is inside none. What the
    /// action throws is dropped. Throws std::bad_alloc (nothing is kept then).
    static void Defer(std::function<void()> action);
};

/// Locks a mutex for a scope and counts the guards the calling thread holds.
/// A thread that already holds one is refused before anything is locked: the
/// constructor throws std::logic_error "Only one lock may be held by current
/// thread" and the count stays as it was. The guard is a LibraryLockScope:
/// the application's code that the thread would call while holding it runs
/// once it is released. Reentrant (each guard belongs to the thread that made
/// it).
class SingleLockGuard
{
public:
    /// Blocks until mutex is locked; throws as said above.
    explicit SingleLockGuard(std::mutex& mutex);
    /// Unlocks, then runs what was deferred.
    ~SingleLockGuard();

    SingleLockGuard(const SingleLockGuard&) = delete;
    SingleLockGuard& operator=(const SingleLockGuard&) = delete;

    /// The number of guards the calling thread holds (0 or 1).
    static int HeldByThisThread() noexcept;

private:
    LibraryLockScope m_scope; // ends after the mutex was unlocked
    std::mutex& m_mutex;
};

} // namespace Q7::TavrinC
