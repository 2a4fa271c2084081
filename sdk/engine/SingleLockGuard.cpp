#include "SingleLockGuard.h"

#include <stdexcept>

namespace Q7::TavrinC
{

namespace
{

constinit thread_local int t_held = 0; // guards the calling thread holds

} // namespace

SingleLockGuard::SingleLockGuard(std::mutex& mutex) : m_mutex(mutex)
{
    // Checked before locking: taking a second mutex first could deadlock, and
    // taking the held one again is undefined for a std::mutex.
    if (t_held != 0)
    {
        throw std::logic_error("Only one lock may be held by current thread");
    }
    m_mutex.lock();
    t_held = 1;
}

SingleLockGuard::~SingleLockGuard()
{
    t_held = 0;
    m_mutex.unlock();
}

int SingleLockGuard::HeldByThisThread() noexcept
{
    return t_held;
}

} // namespace Q7::TavrinC
