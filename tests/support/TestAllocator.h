#pragma once
// Test helper: an allocator for buffer pools that counts what it allocates and
// frees, and can hold allocations back until the test lets them go.

#include "Transport/BufferPool.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace TestSupport
{

// Heap memory, counted. While paused, an allocation waits until resumed.
// Thread-safe.
class TestAllocator final : public Q7::KPX::IAllocator<unsigned char>
{
public:
    unsigned char* allocate(std::uint32_t size) override
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return !m_paused; });
        --m_waiting;
        m_sizes.push_back(size);
        return new unsigned char[size];
    }

    void free(unsigned char* p) override
    {
        {
            std::lock_guard lock(m_mutex);
            if (p != nullptr)
                ++m_frees;
        }
        m_changed.notify_all();
        delete[] p;
    }

    // Holds allocations back (true) or lets them go (false).
    void Pause(bool paused)
    {
        {
            std::lock_guard lock(m_mutex);
            m_paused = paused;
        }
        m_changed.notify_all();
    }

    // Waits up to `timeout` until an allocation waits (or runs).
    bool WaitForWaitingAllocation(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_waiting > 0; });
    }

    // Waits up to `timeout` until every allocation was freed.
    bool WaitForAllFreed(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_frees == m_sizes.size(); });
    }

    // The sizes allocated, in order.
    std::vector<std::uint32_t> Sizes() const
    {
        std::lock_guard lock(m_mutex);
        return m_sizes;
    }

    std::size_t Frees() const
    {
        std::lock_guard lock(m_mutex);
        return m_frees;
    }

private:
    mutable std::mutex m_mutex; // guards the fields below
    std::condition_variable m_changed;
    bool m_paused = false;
    int m_waiting = 0;
    std::size_t m_frees = 0;
    std::vector<std::uint32_t> m_sizes;
};

} // namespace TestSupport
