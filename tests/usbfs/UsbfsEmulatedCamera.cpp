#include "UsbfsEmulatedCamera.h"

#include <atomic>
#include <stdexcept>

namespace Usbfs
{

namespace
{

// One bulk endpoint pair as the camera's firmware sees it.
class EndpointStream final : public Q7::Sim::ByteStream
{
public:
    EndpointStream(std::shared_ptr<EmulatedDevice> device, std::shared_ptr<FunctionEndpoint> endpoint)
        : m_device(std::move(device)), m_endpoint(std::move(endpoint))
    {
    }

    Q7::Sim::Received Receive(std::span<std::uint8_t> buffer) override
    {
        const std::size_t n = m_endpoint->Receive(buffer);
        if (n == 0)
        {
            return {0, m_woken ? std::string() : "the camera is off the bus"};
        }
        return {n, {}};
    }

    bool Send(std::span<const std::span<const std::uint8_t>> pieces, std::string& failure) override
    {
        if (m_endpoint->Send(pieces))
        {
            return true;
        }
        if (!m_woken)
        {
            failure = "the camera is off the bus";
        }
        return false;
    }

    void Wake() override
    {
        m_woken = true;
        m_endpoint->Wake();
    }

    // A camera that drops a pipe resets: it leaves the bus.
    void Close(Q7::Sim::DropMode) override { m_device->Unplug(); }

    std::uint8_t TransportType() const override { return Q7::Sim::kTransportUsb; }
    std::uint16_t LocalPort() const override { return 0; }
    std::optional<std::uint8_t> UsbEndpoint() const override { return m_endpoint->Number(); }

private:
    const std::shared_ptr<EmulatedDevice> m_device;
    const std::shared_ptr<FunctionEndpoint> m_endpoint;
    std::atomic<bool> m_woken{false};
};

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
            m_camera.Serve(std::make_unique<EndpointStream>(m_device, m_device->GetFunctionEndpoint(number)));
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
