#pragma once
// What a Camera owns: the camera id of the flat interface, its closed mark, and
// the camera's subscriptions and image capabilities.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Q7::Tavrin
{

class ImageCapabilities;
class SubscriptionManager;

class CameraImpl
{
public:
    explicit CameraImpl(int id);
    ~CameraImpl();

    CameraImpl(const CameraImpl&) = delete;
    CameraImpl& operator=(const CameraImpl&) = delete;

    const int cameraId;
    /// 0 while open; 1 after Close. Atomic: IsOpen may be asked on one thread
    /// while another closes.
    std::atomic<std::uint32_t> closed{0};
    std::mutex lock; // guards subscriptions and capabilities while read or replaced
    std::shared_ptr<SubscriptionManager> subscriptions;
    std::shared_ptr<ImageCapabilities> capabilities;
};

} // namespace Q7::Tavrin
