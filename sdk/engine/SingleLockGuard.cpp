#include "SingleLockGuard.h"

#include <stdexcept>
#include <utility>
#include <vector>

namespace Q7::TavrinC
{

namespace
{

constinit thread_local int t_held = 0; // guards the calling thread holds

// The calling thread's library lock scopes, and what waits for their end
// (touched only inside a scope: a plain counter is all that thread exit may
// still read).
constinit thread_local int t_scopes = 0;
constinit thread_local bool t_pending = false; // t_actions holds an action
thread_local std::vector<std::function<void()>> t_actions;

void RunGuarded(std::function<void()>& action) noexcept
{
    try
    {
        action();
    }
    catch (...)
    {
        // The application's code failed: its line or event is lost, nothing
        // more.
    }
}

void RunDeferred() noexcept
{
    // An action may defer more (it runs outside every scope, so only through
    // scopes of its own, which run theirs): taken in rounds until none is left.
    while (t_pending)
    {
        std::vector<std::function<void()>> actions;
        actions.swap(t_actions);
        t_pending = false;
        for (std::function<void()>& action : actions)
        {
            RunGuarded(action);
        }
    }
}

} // namespace

LibraryLockScope::LibraryLockScope() noexcept
{
    ++t_scopes;
}

LibraryLockScope::~LibraryLockScope()
{
    if (--t_scopes == 0)
    {
        RunDeferred();
    }
}

bool LibraryLockScope::Active() noexcept
{
    return t_scopes > 0;
}

void LibraryLockScope::Defer(std::function<void()> action)
{
    if (t_scopes == 0)
    {
        RunGuarded(action);
        return;
    }
    t_actions.push_back(std::move(action));
    t_pending = true;
}

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
