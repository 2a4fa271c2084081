#pragma once
// The scoped lock of the camera bridge's mutexes: no thread ever holds two of
// them, so no order between them can deadlock.

#include <mutex>

namespace Q7::TavrinC
{

/// Locks a mutex for a scope and counts the guards the calling thread holds.
/// A thread that already holds one is refused before anything is locked: the
/// constructor throws std::logic_error "Only one lock may be held by current
/// thread" and the count stays as it was. Reentrant (each guard belongs to the
/// thread that made it).
class SingleLockGuard
{
public:
    /// Blocks until mutex is locked; throws as said above.
    explicit SingleLockGuard(std::mutex& mutex);
    /// Unlocks.
    ~SingleLockGuard();

    SingleLockGuard(const SingleLockGuard&) = delete;
    SingleLockGuard& operator=(const SingleLockGuard&) = delete;

    /// The number of guards the calling thread holds (0 or 1).
    static int HeldByThisThread() noexcept;

private:
    std::mutex& m_mutex;
};

} // namespace Q7::TavrinC
