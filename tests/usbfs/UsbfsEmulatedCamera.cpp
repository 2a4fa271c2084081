#include "UsbfsEmulatedCamera.h"

#include "SimUsbEndpointStream.h"

#include <stdexcept>

namespace Usbfs
{

namespace
{

DeviceOptions DeviceOptionsOf(const Q7::Sim::UsbAttachmentOptions& options)
{
    if (options.ports.size() != 1)
    {
        throw std::invalid_argument("an emulated camera sits on a port of the root hub");
    }
    DeviceOptions device;
    device.port = options.ports[0];
    return device;
}

} // namespace

EmulatedCamera::EmulatedCamera(Testbed& testbed, Q7::Sim::Camera& camera,
                               const Q7::Sim::UsbAttachmentOptions& options)
    : m_camera(camera), m_device(std::make_shared<EmulatedDevice>(
                            testbed, Q7::Sim::MakeUsbDeviceDescription(camera.Description(), options),
                            DeviceOptionsOf(options)))
{
}

EmulatedCamera::~EmulatedCamera()
{
    Unplug();
}

Q7::Platform::Usb::HostDeviceLocation EmulatedCamera::Plug()
{
    const Q7::Platform::Usb::HostDeviceLocation location = m_device->Plug();
    std::map<std::uint8_t, std::uint64_t> connections;
    for (const std::uint8_t number : m_camera.Description().UsbEndpoints())
    {
        connections[number] =
            m_camera.Serve(std::make_unique<Q7::Sim::UsbEndpointStream<EmulatedDevice, FunctionEndpoint>>(
                m_device, m_device->GetFunctionEndpoint(number), number));
    }
    std::lock_guard lock(m_mutex);
    m_connections = std::move(connections);
    return location;
}

void EmulatedCamera::Unplug(const UnplugOptions& options)
{
    m_device->Unplug(options);
}

std::string EmulatedCamera::DevicePath() const
{
    return m_device->DevicePath(0);
}

std::uint64_t EmulatedCamera::ConnectionOf(std::uint8_t endpoint) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_connections.find(endpoint);
    return found == m_connections.end() ? 0 : found->second;
}

} // namespace Usbfs
