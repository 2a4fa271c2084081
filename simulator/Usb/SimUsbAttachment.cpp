#include "SimUsbAttachment.h"

#include "KPXUsbCameraIds.h"
#include "SimUsbEndpointStream.h"

#include <mutex>
#include <stdexcept>

namespace Q7::Sim
{

using Q7::Platform::Usb::HostDeviceDescription;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::VirtualFunctionEndpoint;
using Q7::Platform::Usb::VirtualUsbBus;

struct UsbAttachment::State
{
    explicit State(VirtualUsbBus& owner) : bus(owner) {}

    // Takes the device off the bus when it is on it.
    void Unplug()
    {
        std::lock_guard lock(mutex);
        if (plugged)
        {
            plugged = false;
            // Held across the unplug, so that no stream reaches the bus once
            // the attachment's Unplug returned (the bus may go next).
            bus.Unplug(location.portNumbers);
        }
    }

    VirtualUsbBus& bus;
    mutable std::mutex mutex; // guards the members below
    bool plugged = false;
    HostDeviceLocation location;
    std::map<std::uint8_t, std::uint64_t> connections; // by endpoint number, since the latest Plug
};

namespace
{

constexpr std::uint8_t kKpxInterfaceNumber = 0;
constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kDirectionIn = 0x80;

} // namespace

HostDeviceDescription MakeUsbDeviceDescription(const CameraDescription& camera,
                                               const UsbAttachmentOptions& options)
{
    Q7::Platform::Usb::HostInterfaceInfo kpx;
    kpx.number = kKpxInterfaceNumber;
    kpx.interfaceClass = Q7::KPX::UsbIds::kKpxInterfaceClass;
    for (const std::uint8_t number : camera.UsbEndpoints())
    {
        kpx.endpoints.push_back({number, kBulk, options.maxPacketSize});
        kpx.endpoints.push_back(
            {static_cast<std::uint8_t>(number | kDirectionIn), kBulk, options.maxPacketSize});
    }
    HostDeviceDescription description;
    description.vendorId = Q7::KPX::UsbIds::kVendorIdPrimary;
    description.productId = options.productId;
    description.speed = options.speed;
    description.manufacturer = camera.manufacturerName;
    description.product = camera.modelName;
    description.serialNumber = camera.serialNumber;
    description.interfaces = {kpx};
    return description;
}

UsbAttachment::UsbAttachment(Camera& camera, VirtualUsbBus& bus, UsbAttachmentOptions options)
    : m_camera(camera), m_options(std::move(options)), m_state(std::make_shared<State>(bus))
{
}

UsbAttachment::~UsbAttachment()
{
    Unplug();
}

HostDeviceLocation UsbAttachment::Plug()
{
    std::vector<std::shared_ptr<VirtualFunctionEndpoint>> endpoints;
    const std::vector<std::uint8_t> numbers = m_camera.Description().UsbEndpoints();
    HostDeviceLocation location;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->plugged)
        {
            throw std::logic_error("the camera is on the bus already");
        }
        location =
            m_state->bus.Plug(m_options.ports, MakeUsbDeviceDescription(m_camera.Description(), m_options));
        m_state->plugged = true;
        m_state->location = location;
        m_state->connections.clear();
        for (const std::uint8_t number : numbers)
        {
            endpoints.push_back(m_state->bus.GetFunctionEndpoint(m_options.ports, number));
        }
    }
    for (std::size_t i = 0; i < numbers.size(); ++i)
    {
        const std::uint64_t id =
            m_camera.Serve(std::make_unique<UsbEndpointStream<UsbAttachment::State, VirtualFunctionEndpoint>>(
                m_state, endpoints[i], numbers[i]));
        std::lock_guard lock(m_state->mutex);
        m_state->connections[numbers[i]] = id;
    }
    return location;
}

void UsbAttachment::Unplug()
{
    m_state->Unplug();
}

bool UsbAttachment::IsPlugged() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->plugged;
}

std::string UsbAttachment::DevicePath() const
{
    std::lock_guard lock(m_state->mutex);
    return Q7::Platform::Usb::FormatDevicePath(m_state->location, kKpxInterfaceNumber);
}

std::uint64_t UsbAttachment::ConnectionOf(std::uint8_t endpoint) const
{
    std::lock_guard lock(m_state->mutex);
    const auto found = m_state->connections.find(endpoint);
    return found == m_state->connections.end() ? 0 : found->second;
}

} // namespace Q7::Sim
