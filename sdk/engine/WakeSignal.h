#pragma once
// A word a thread sleeps on until another thread changes it: the one kernel
// wait behind a listener's queue.

#include <atomic>
#include <chrono>
#include <cstdint>

/// A counter that waiting threads sleep on (a Linux futex). A waiter reads
/// Current(), checks its condition under its own lock, releases the lock and
/// calls Wait with what it read: a Signal after the read makes the wait return
/// at once, so no signal between the check and the sleep is lost. Unlike a
/// condition variable it holds no mutex of its own, and the woken thread does
/// not re-take one: a waiter that takes its lock after waking finds it free
/// whenever the signalling thread released it before signalling. Thread-safe.
class WakeSignal
{
public:
    using Clock = std::chrono::steady_clock;

    /// The count of signals so far, to pass to Wait.
    std::uint32_t Current() const noexcept { return m_word.load(std::memory_order_acquire); }

    /// Sleeps while no signal came since seen was read, until deadline. False
    /// when the deadline passed; true when signalled, or woken for no reason
    /// (the caller checks its condition again in either case).
    bool WaitUntil(std::uint32_t seen, Clock::time_point deadline) noexcept;

    /// As WaitUntil without a deadline.
    void Wait(std::uint32_t seen) noexcept;

    /// Counts a signal and wakes one sleeping thread.
    void SignalOne() noexcept;

    /// Counts a signal and wakes every sleeping thread.
    void SignalAll() noexcept;

private:
    std::atomic<std::uint32_t> m_word{0};
};
