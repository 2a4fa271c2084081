// A simulated camera on the virtual USB bus: the camera is plugged as a device
// whose KPX interface (number 0, vendor class) has one bulk endpoint pair per
// endpoint its channels name, and each pair carries one pipe of the camera,
// run by the same connection code, handlers, faults and observations as a TCP
// connection. The camera's channel states live as long as the device stays on
// the bus: a host that closes and reopens the device finds them as it left
// them (and the bytes the camera had queued, which it must drain).
//
// A connection that the camera drops (a fault, or Camera::Stop) takes the
// device off the bus, as a camera that resets leaves it.
#pragma once

#include "Q7PlatformUsbVirtualBus.h"
#include "SimCamera.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Q7::Sim
{

// How the camera appears on the bus.
struct UsbAttachmentOptions
{
    std::vector<std::uint8_t> ports{1}; // port path from the root hub
    Q7::Platform::Usb::HostSpeed speed = Q7::Platform::Usb::HostSpeed::kHigh;
    std::uint16_t maxPacketSize = 512; // of every bulk endpoint
    std::uint16_t productId = 0x0101;  // a camera with KPX on interface 0
};

// The device's description for a camera: ids, texts and the KPX interface.
// Reentrant.
Q7::Platform::Usb::HostDeviceDescription MakeUsbDeviceDescription(const CameraDescription& camera,
                                                                  const UsbAttachmentOptions& options);

class UsbAttachment
{
public:
    // Nothing is plugged yet. The camera and the bus must outlive the
    // attachment; the bus must also outlive the camera's connections (stop the
    // camera, or Unplug, before destroying the bus).
    UsbAttachment(Camera& camera, Q7::Platform::Usb::VirtualUsbBus& bus, UsbAttachmentOptions options = {});
    // Unplugs.
    ~UsbAttachment();
    UsbAttachment(const UsbAttachment&) = delete;
    UsbAttachment& operator=(const UsbAttachment&) = delete;

    // Plugs the camera and serves each endpoint pair as a pipe of the camera
    // (the camera need not listen on TCP). Answers the device's location.
    // Raises std::logic_error when plugged already, and what
    // VirtualUsbBus::Plug raises. Thread-safe.
    Q7::Platform::Usb::HostDeviceLocation Plug();
    // Takes the device off the bus: the host's transfers fail with "no
    // device" and the camera's pipes end. Idempotent; thread-safe; blocks until
    // the host heard of the transfers' end. Not from a transfer listener.
    void Unplug();
    bool IsPlugged() const;
    // The device path of the KPX interface (valid while plugged).
    std::string DevicePath() const;
    // The camera's connection that serves the endpoint pair since the latest
    // Plug (for the camera's per-connection calls); 0 when none does.
    std::uint64_t ConnectionOf(std::uint8_t endpoint) const;

    struct State; // shared with the pipes' streams

private:
    Camera& m_camera;
    const UsbAttachmentOptions m_options;
    const std::shared_ptr<State> m_state;
};

} // namespace Q7::Sim
