#include "Q7PlatformUsbVirtualBus.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <stdexcept>

namespace Q7::Platform::Usb
{

namespace
{

constexpr std::uint8_t kFirstAddress = 2; // 1 is the root hub's
constexpr std::uint8_t kLastAddress = 127;

} // namespace

struct VirtualUsbBus::Device
{
    HostDeviceInfo info;
    bool accessDenied = false;
    bool attached = true; // false once unplugged; the bus mutex guards it and claims
    std::vector<std::pair<std::uint8_t, const Handle*>> claims; // interface and the handle holding it
};

// An open device of the bus; its claims live in the device record.
class VirtualUsbBus::Handle final : public HostDeviceHandle
{
public:
    Handle(VirtualUsbBus& bus, std::shared_ptr<Device> device) : m_bus(bus), m_device(std::move(device)) {}

    ~Handle() override
    {
        std::lock_guard<std::mutex> lock(m_bus.m_mutex);
        std::erase_if(m_device->claims, [this](const auto& claim) { return claim.second == this; });
    }

    HostStatus ClaimInterface(std::uint8_t interfaceNumber) override
    {
        std::lock_guard<std::mutex> lock(m_bus.m_mutex);
        if (!m_device->attached)
        {
            return HostStatus::kNoDevice;
        }
        const auto& interfaces = m_device->info.description.interfaces;
        if (std::none_of(interfaces.begin(), interfaces.end(),
                         [&](const HostInterfaceInfo& interface)
                         { return interface.number == interfaceNumber; }))
        {
            return HostStatus::kNotFound;
        }
        for (const auto& [number, holder] : m_device->claims)
        {
            if (number == interfaceNumber)
            {
                return holder == this ? HostStatus::kSuccess : HostStatus::kBusy;
            }
        }
        m_device->claims.emplace_back(interfaceNumber, this);
        return HostStatus::kSuccess;
    }

    void ReleaseInterface(std::uint8_t interfaceNumber) noexcept override
    {
        std::lock_guard<std::mutex> lock(m_bus.m_mutex);
        std::erase_if(m_device->claims, [&](const auto& claim)
                      { return claim.first == interfaceNumber && claim.second == this; });
    }

private:
    VirtualUsbBus& m_bus;
    const std::shared_ptr<Device> m_device;
};

VirtualUsbBus::VirtualUsbBus(std::uint8_t busNumber) : m_busNumber(busNumber) {}

VirtualUsbBus::~VirtualUsbBus()
{
    ShutDown();
}

HostDeviceLocation VirtualUsbBus::Plug(const std::vector<std::uint8_t>& ports,
                                       const HostDeviceDescription& description,
                                       const VirtualPlugOptions& options)
{
    if (ports.empty() || ports.size() > kMaxPortDepth ||
        std::find(ports.begin(), ports.end(), std::uint8_t{0}) != ports.end())
    {
        throw std::invalid_argument("a USB port path has 1 to 7 ports numbered from 1");
    }
    HostChange change{HostChangeKind::kArrived, true, description.vendorId, description.productId};
    HostDeviceLocation location;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& device : m_devices)
        {
            if (device->info.location.portNumbers == ports)
            {
                throw std::invalid_argument("a device is attached at " + device->info.location.PortPath());
            }
        }
        // The next address after the last one given that no attached device
        // holds, as the system counts them.
        std::uint8_t address = m_lastAddress;
        bool free = false;
        for (int tries = 0; !free && tries <= kLastAddress - kFirstAddress; ++tries)
        {
            address = address >= kLastAddress ? kFirstAddress : static_cast<std::uint8_t>(address + 1);
            free = std::none_of(m_devices.begin(), m_devices.end(),
                                [&](const auto& device)
                                { return device->info.location.deviceAddress == address; });
        }
        if (!free)
        {
            throw std::length_error("every address of the virtual USB bus is taken");
        }
        m_lastAddress = address;
        auto device = std::make_shared<Device>();
        device->info.location = HostDeviceLocation{m_busNumber, ports, address};
        device->info.description = description;
        device->info.readError = options.readError;
        device->accessDenied = options.accessDenied;
        location = device->info.location;
        const auto at =
            std::upper_bound(m_devices.begin(), m_devices.end(), ports,
                             [](const auto& p, const auto& d) { return p < d->info.location.portNumbers; });
        m_devices.insert(at, std::move(device));
    }
    Deliver(change);
    return location;
}

bool VirtualUsbBus::Unplug(const std::vector<std::uint8_t>& ports)
{
    HostChange change{HostChangeKind::kLeft, true, 0, 0};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found =
            std::find_if(m_devices.begin(), m_devices.end(),
                         [&](const auto& device) { return device->info.location.portNumbers == ports; });
        if (found == m_devices.end())
        {
            return false;
        }
        (*found)->attached = false;
        (*found)->claims.clear();
        change.vendorId = (*found)->info.description.vendorId;
        change.productId = (*found)->info.description.productId;
        m_devices.erase(found);
    }
    Deliver(change);
    return true;
}

void VirtualUsbBus::Deliver(const HostChange& change)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_reportsHeld)
        {
            m_heldReports.push_back(change);
            return;
        }
    }
    Report(change);
}

void VirtualUsbBus::HoldReports()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reportsHeld = true;
}

void VirtualUsbBus::ReleaseReports()
{
    std::vector<HostChange> reports;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reportsHeld = false;
        reports.swap(m_heldReports);
    }
    for (const HostChange& change : reports)
    {
        Report(change);
    }
}

void VirtualUsbBus::HoldListing()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listingHeld = true;
}

void VirtualUsbBus::ReleaseListing()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listingHeld = false;
    }
    m_listingReleased.notify_all();
}

void VirtualUsbBus::SetStartFailure(std::string text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startFailure = std::move(text);
}

std::uint64_t VirtualUsbBus::GetListCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listCount;
}

void VirtualUsbBus::DoStart()
{
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failure = m_startFailure;
    }
    if (!failure.empty())
    {
        const Q7::Universal::StdExceptionError error(
            std::runtime_error("USB host backend could not start: " + failure));
        Q7::Universal::LogError(error);
        Q7::Universal::ThrowStdExceptionError(error);
    }
}

std::vector<HostDeviceInfo> VirtualUsbBus::List()
{
    RequireStarted();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_listingReleased.wait(lock, [this] { return !m_listingHeld; });
    std::vector<HostDeviceInfo> devices;
    for (const auto& device : m_devices)
    {
        devices.push_back(device->info);
    }
    ++m_listCount;
    return devices;
}

HostStatus VirtualUsbBus::Open(const HostDeviceLocation& location, std::unique_ptr<HostDeviceHandle>& handle)
{
    RequireStarted();
    handle.reset();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = std::find_if(m_devices.begin(), m_devices.end(),
                                    [&](const auto& device) { return device->info.location == location; });
    if (found == m_devices.end())
    {
        return HostStatus::kNoDevice;
    }
    if ((*found)->accessDenied)
    {
        return HostStatus::kAccessDenied;
    }
    handle = std::make_unique<Handle>(*this, *found);
    return HostStatus::kSuccess;
}

} // namespace Q7::Platform::Usb
