#pragma once
// Helpers of the tests that drive the KPX camera object against a simulated
// camera (end to end over loopback and the virtual bus, and through libusb on
// emulated usbfs devices): test data and a counter of the camera's
// notifications that tests wait on.

#include "Camera/KPXCamera.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace TestSupport
{

using Bytes = std::vector<std::uint8_t>;

/// size bytes of a pattern that repeats only after long runs; seed tells two
/// buffers apart.
inline Bytes TestBytes(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<std::uint8_t>(i * 31 + seed + (i >> 8));
    }
    return bytes;
}

/// The camera object's notifications, counted per id, and the properties its
/// state-change notifications named. Thread-safe.
class CameraNotifyCounter
{
public:
    using Camera = Q7::KPX::Camera;

    /// bound: how long each wait waits.
    explicit CameraNotifyCounter(std::chrono::milliseconds bound) : m_bound(bound) {}

    Camera::NotifyFunction Sink()
    {
        return [this](Camera::EnumNotify id, const Camera::NotifyPayload& payload)
        {
            {
                std::lock_guard lock(m_mutex);
                ++m_counts[id];
                if (id == Camera::kNotify_PropertyStateChange && payload)
                {
                    for (unsigned int property :
                         *static_cast<const std::vector<unsigned int>*>(payload.get()))
                    {
                        m_stateChanged.push_back(property);
                    }
                }
            }
            m_changed.notify_all();
        };
    }

    std::size_t Count(Camera::EnumNotify id) const
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_counts.find(id);
        return found == m_counts.end() ? 0 : found->second;
    }

    bool WaitForStateChange(unsigned int property) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, m_bound,
                                  [&] {
                                      return std::find(m_stateChanged.begin(), m_stateChanged.end(),
                                                       property) != m_stateChanged.end();
                                  });
    }

    bool WaitFor(Camera::EnumNotify id, std::size_t count = 1) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, m_bound,
                                  [&]
                                  {
                                      const auto found = m_counts.find(id);
                                      return found != m_counts.end() && found->second >= count;
                                  });
    }

private:
    const std::chrono::milliseconds m_bound;
    mutable std::mutex m_mutex; // guards the members below
    mutable std::condition_variable m_changed;
    std::map<std::uint32_t, std::size_t> m_counts;
    std::vector<unsigned int> m_stateChanged;
};

} // namespace TestSupport
