#include "WakeSignal.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <type_traits>
#include <unistd.h>

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word is a plain 32-bit word");

namespace
{

// The steady clock is CLOCK_MONOTONIC, the clock FUTEX_WAIT_BITSET measures an
// absolute deadline against.
static_assert(std::is_same_v<std::chrono::steady_clock::duration, std::chrono::nanoseconds>);

long Futex(std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
           const timespec* deadline) noexcept
{
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), operation | FUTEX_PRIVATE_FLAG, value,
                   deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

} // namespace

bool WakeSignal::WaitUntil(std::uint32_t seen, Clock::time_point deadline) noexcept
{
    const auto sinceEpoch = deadline.time_since_epoch();
    if (sinceEpoch.count() <= 0)
    {
        return m_word.load(std::memory_order_acquire) != seen;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const timespec at{static_cast<time_t>(seconds.count()),
                      static_cast<long>(std::chrono::nanoseconds(sinceEpoch - seconds).count())};
    // Returns at once when the word changed (EAGAIN); EINTR is a return for no
    // reason.
    if (Futex(m_word, FUTEX_WAIT_BITSET, seen, &at) == -1 && errno == ETIMEDOUT)
    {
        return false;
    }
    return true;
}

void WakeSignal::Wait(std::uint32_t seen) noexcept
{
    Futex(m_word, FUTEX_WAIT_BITSET, seen, nullptr);
}

void WakeSignal::SignalOne() noexcept
{
    m_word.fetch_add(1, std::memory_order_release);
    Futex(m_word, FUTEX_WAKE, 1, nullptr);
}

void WakeSignal::SignalAll() noexcept
{
    m_word.fetch_add(1, std::memory_order_release);
    Futex(m_word, FUTEX_WAKE, INT_MAX, nullptr);
}
