#pragma once
// The simulated camera behind an emulated usbfs device: the device has the
// description the simulator gives a camera on the virtual bus (ids from the
// cameras' USB table, the KPX interface with one bulk endpoint pair per
// endpoint the camera's channels name), and each pair carries one pipe of the
// camera, run by the camera's own connection code, handlers and faults.
//
// As on the virtual bus, the camera's channel states live as long as the
// device stays attached, and a pipe the camera drops (a fault, or Stop) takes
// the device off the bus, as a camera that resets leaves it.

#include "SimCamera.h"
#include "SimUsbAttachment.h"
#include "UsbfsEmulatedDevice.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace Usbfs
{

class EmulatedCamera
{
public:
    /// Nothing is plugged yet. options.ports must name one port of the root
    /// hub. The testbed and the camera must outlive the camera's connections
    /// (stop the camera before the testbed goes).
    EmulatedCamera(Testbed& testbed, Q7::Sim::Camera& camera,
                   const Q7::Sim::UsbAttachmentOptions& options = {});
    /// Unplugs.
    ~EmulatedCamera();
    EmulatedCamera(const EmulatedCamera&) = delete;
    EmulatedCamera& operator=(const EmulatedCamera&) = delete;

    /// Plugs the device and serves each endpoint pair as a pipe of the camera.
    /// Raises what EmulatedDevice::Plug raises.
    Q7::Platform::Usb::HostDeviceLocation Plug();
    /// Takes the device off the bus (see EmulatedDevice::Unplug); the
    /// camera's pipes end.
    void Unplug(const UnplugOptions& options = {});

    EmulatedDevice& Device() { return *m_device; }
    /// The device path of the KPX interface at the latest Plug.
    std::string DevicePath() const;
    /// The camera's connection that serves the endpoint pair since the latest
    /// Plug; 0 when none does.
    std::uint64_t ConnectionOf(std::uint8_t endpoint) const;

private:
    Q7::Sim::Camera& m_camera;
    const std::shared_ptr<EmulatedDevice> m_device; // shared with the pipes' streams
    mutable std::mutex m_mutex;                     // guards m_connections
    std::map<std::uint8_t, std::uint64_t> m_connections;
};

} // namespace Usbfs
