#include "Q7PlatformUsbVirtualBus.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>

namespace Q7::Platform::Usb
{

namespace
{

constexpr std::uint8_t kFirstAddress = 2; // 1 is the root hub's
constexpr std::uint8_t kLastAddress = 127;
constexpr std::uint8_t kEndpointNumberMask = 0x0F;

// One Send of a device's firmware: its pieces and how far the host took them.
struct DeviceSend
{
    std::span<const std::span<const std::uint8_t>> pieces;
    std::uint64_t total = 0;
    std::uint64_t taken = 0;
    std::size_t piece = 0;       // the piece the next byte comes from
    std::size_t pieceOffset = 0; // and its offset there
    bool done = false;           // every packet (and its zero-length packet, if due) was taken

    // Copies the next n bytes to destination (null: skips them).
    void Take(std::uint8_t* destination, std::uint64_t n)
    {
        taken += n;
        while (n > 0)
        {
            const std::span<const std::uint8_t> current = pieces[piece];
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(n, current.size() - pieceOffset));
            if (destination != nullptr && count > 0)
            {
                std::memcpy(destination, current.data() + pieceOffset, count);
                destination += count;
            }
            pieceOffset += count;
            n -= count;
            if (pieceOffset == current.size())
            {
                ++piece;
                pieceOffset = 0;
            }
        }
    }
};

} // namespace

// ---------------------------------------------------------------- records

struct VirtualUsbBus::Endpoint
{
    std::uint8_t address = 0;
    std::uint16_t maxPacketSize = 1;
    std::deque<Transfer*> hostTransfers; // in flight, oldest first
    std::deque<DeviceSend*> sends;       // IN only: the firmware's sends not yet taken, oldest first
    std::optional<HostStatus> fault;     // ends the next host transfer submitted (FailHostTransfer)
};

struct VirtualUsbBus::Device
{
    explicit Device(VirtualUsbBus& owner) : bus(owner) {}

    VirtualUsbBus& bus;
    HostDeviceInfo info;
    bool accessDenied = false;
    bool attached = true; // false once unplugged; the bus mutex guards it and claims
    std::vector<std::pair<std::uint8_t, const Handle*>> claims; // interface and the handle holding it

    std::mutex ioMutex; // guards the members below and the wake flags of the firmware's endpoints
    std::condition_variable ioChanged;
    bool ioDetached = false;                    // set by Unplug: every transfer fails from then on
    std::map<std::uint8_t, Endpoint> endpoints; // the bulk endpoints, by address; made at Plug

    Endpoint* FindEndpoint(std::uint8_t address)
    {
        const auto found = endpoints.find(address);
        return found == endpoints.end() ? nullptr : &found->second;
    }
};

// A host transfer on the bus. Its state is guarded by its device's I/O lock.
class VirtualUsbBus::Transfer final : public HostBulkTransfer
{
public:
    Transfer(std::shared_ptr<Device> device, std::uint8_t address, HostTransferListener& listener)
        : m_device(std::move(device)), m_address(address), m_listener(listener)
    {
    }

    ~Transfer() override
    {
        // Destroying a transfer in flight breaks the contract; it is still taken
        // off its queue, so that the bus never writes through a dead pointer.
        std::lock_guard<std::mutex> lock(m_device->ioMutex);
        if (inFlight)
        {
            if (Endpoint* endpoint = m_device->FindEndpoint(m_address))
            {
                std::erase(endpoint->hostTransfers, this);
            }
            m_device->bus.ReturnTransferMemory(length);
            inFlight = false;
        }
    }

    HostStatus Submit(std::uint8_t* data, std::uint32_t size) override
    {
        VirtualUsbBus& bus = m_device->bus;
        std::lock_guard<std::mutex> lock(m_device->ioMutex);
        if (inFlight)
        {
            return HostStatus::kIoError;
        }
        if (m_device->ioDetached)
        {
            return HostStatus::kNoDevice;
        }
        Endpoint* const endpoint = m_device->FindEndpoint(m_address);
        if (endpoint == nullptr)
        {
            return HostStatus::kNotFound;
        }
        if (!bus.TakeTransferMemory(size))
        {
            return HostStatus::kNoMemory;
        }
        buffer = data;
        length = size;
        moved = 0;
        inFlight = true;
        endpoint->hostTransfers.push_back(this);
        if (endpoint->fault)
        {
            const HostStatus fault = *endpoint->fault;
            endpoint->fault.reset();
            bus.EndTransferLocked(*endpoint, *this, fault);
        }
        else if (size == 0)
        {
            bus.EndTransferLocked(*endpoint, *this, HostStatus::kSuccess);
        }
        else if ((m_address & kEndpointDirectionIn) != 0)
        {
            bus.MatchInLocked(*m_device, *endpoint);
        }
        else
        {
            m_device->ioChanged.notify_all(); // the firmware may be waiting in Receive
        }
        return HostStatus::kSuccess;
    }

    void Cancel() noexcept override
    {
        std::lock_guard<std::mutex> lock(m_device->ioMutex);
        if (!inFlight)
        {
            return;
        }
        if (Endpoint* endpoint = m_device->FindEndpoint(m_address))
        {
            m_device->bus.EndTransferLocked(*endpoint, *this, HostStatus::kCancelled);
        }
    }

    HostTransferListener& Listener() const { return m_listener; }

    // Guarded by the device's I/O lock.
    std::uint8_t* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t moved = 0;
    bool inFlight = false;

private:
    const std::shared_ptr<Device> m_device;
    const std::uint8_t m_address;
    HostTransferListener& m_listener;
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
        if (FindInterface(interfaceNumber) == nullptr)
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

    HostSpeed GetSpeed() override { return m_device->info.description.speed; }

    HostStatus GetInterfaceSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting,
                                   HostInterfaceInfo& setting) override
    {
        std::lock_guard<std::mutex> lock(m_bus.m_mutex);
        if (!m_device->attached)
        {
            return HostStatus::kNoDevice;
        }
        const HostInterfaceInfo* const interface = FindInterface(interfaceNumber);
        // Devices on the bus have alternate setting 0 only.
        if (interface == nullptr || alternateSetting != 0)
        {
            return HostStatus::kNotFound;
        }
        setting = *interface;
        return HostStatus::kSuccess;
    }

    HostStatus SetAlternateSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) override
    {
        std::lock_guard<std::mutex> lock(m_bus.m_mutex);
        if (!m_device->attached)
        {
            return HostStatus::kNoDevice;
        }
        const bool claimed = std::any_of(m_device->claims.begin(), m_device->claims.end(),
                                         [&](const auto& claim)
                                         { return claim.first == interfaceNumber && claim.second == this; });
        return claimed && alternateSetting == 0 ? HostStatus::kSuccess : HostStatus::kNotFound;
    }

    std::unique_ptr<HostBulkTransfer> CreateBulkTransfer(std::uint8_t endpointAddress,
                                                         HostTransferListener& listener) override
    {
        return std::make_unique<Transfer>(m_device, endpointAddress, listener);
    }

private:
    // The interface's record in the description; null when there is none.
    const HostInterfaceInfo* FindInterface(std::uint8_t interfaceNumber) const
    {
        for (const HostInterfaceInfo& interface : m_device->info.description.interfaces)
        {
            if (interface.number == interfaceNumber)
            {
                return &interface;
            }
        }
        return nullptr;
    }

    VirtualUsbBus& m_bus;
    const std::shared_ptr<Device> m_device;
};

// ---------------------------------------------------------------- the bus

VirtualUsbBus::VirtualUsbBus(std::uint8_t busNumber) : m_busNumber(busNumber)
{
    m_completionThread = std::thread([this] { CompletionLoop(); });
}

VirtualUsbBus::~VirtualUsbBus()
{
    ShutDown();
    {
        std::lock_guard<std::mutex> lock(m_completionMutex);
        m_completionStop = true;
    }
    m_completionChanged.notify_all();
    m_completionThread.join();
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
        auto device = std::make_shared<Device>(*this);
        device->info.location = HostDeviceLocation{m_busNumber, ports, address};
        device->info.description = description;
        device->info.readError = options.readError;
        device->accessDenied = options.accessDenied;
        for (const HostInterfaceInfo& interface : description.interfaces)
        {
            for (const HostEndpointInfo& endpoint : interface.endpoints)
            {
                if ((endpoint.attributes & kEndpointTypeMask) == kEndpointTypeBulk)
                {
                    Endpoint& state = device->endpoints[endpoint.address];
                    state.address = endpoint.address;
                    state.maxPacketSize = std::max<std::uint16_t>(endpoint.maxPacketSize, 1);
                }
            }
        }
        location = device->info.location;
        const auto at =
            std::upper_bound(m_devices.begin(), m_devices.end(), ports,
                             [](const auto& p, const auto& d) { return p < d->info.location.portNumbers; });
        m_devices.insert(at, std::move(device));
    }
    Deliver(change);
    return location;
}

bool VirtualUsbBus::Unplug(const std::vector<std::uint8_t>& ports, HostStatus transferStatus)
{
    HostChange change{HostChangeKind::kLeft, true, 0, 0};
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = std::find_if(m_devices.begin(), m_devices.end(),
                                        [&](const auto& d) { return d->info.location.portNumbers == ports; });
        if (found == m_devices.end())
        {
            return false;
        }
        device = *found;
        device->attached = false;
        device->claims.clear();
        change.vendorId = device->info.description.vendorId;
        change.productId = device->info.description.productId;
        m_devices.erase(found);
    }
    {
        std::lock_guard<std::mutex> lock(device->ioMutex);
        device->ioDetached = true;
        for (auto& [address, endpoint] : device->endpoints)
        {
            while (!endpoint.hostTransfers.empty())
            {
                EndTransferLocked(endpoint, *endpoint.hostTransfers.front(), transferStatus);
            }
        }
    }
    device->ioChanged.notify_all();
    // The host hears of every failed transfer before it hears of the removal.
    WaitForCompletions();
    Deliver(change);
    return true;
}

std::shared_ptr<VirtualFunctionEndpoint>
VirtualUsbBus::GetFunctionEndpoint(const std::vector<std::uint8_t>& ports, std::uint8_t number)
{
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = std::find_if(m_devices.begin(), m_devices.end(),
                                        [&](const auto& d) { return d->info.location.portNumbers == ports; });
        if (found == m_devices.end())
        {
            return nullptr;
        }
        device = *found;
    }
    if (number == 0 || number > kEndpointNumberMask)
    {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(device->ioMutex);
    const Endpoint* const in = device->FindEndpoint(static_cast<std::uint8_t>(number | kEndpointDirectionIn));
    if (in == nullptr || device->FindEndpoint(number) == nullptr)
    {
        return nullptr;
    }
    return std::make_shared<VirtualFunctionEndpoint>(device, number, in->maxPacketSize);
}

void VirtualUsbBus::SetTransferMemoryLimit(std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    m_transferMemoryLimit = bytes;
}

bool VirtualUsbBus::TakeTransferMemory(std::uint64_t length)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    if (length > m_transferMemoryLimit || m_transferMemory > m_transferMemoryLimit - length)
    {
        return false;
    }
    m_transferMemory += length;
    return true;
}

void VirtualUsbBus::ReturnTransferMemory(std::uint64_t length)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    m_transferMemory -= std::min(length, m_transferMemory);
}

void VirtualUsbBus::EndTransferLocked(Endpoint& endpoint, Transfer& transfer, HostStatus status)
{
    std::erase(endpoint.hostTransfers, &transfer);
    transfer.inFlight = false;
    ReturnTransferMemory(transfer.length);
    const Completion completion{&transfer.Listener(), HostTransferResult{status, transfer.moved}};
    // The transfer may be destroyed from here on: its listener may run at once.
    {
        std::lock_guard<std::mutex> lock(m_completionMutex);
        m_completions.push_back(completion);
        ++m_completionsQueued;
    }
    m_completionChanged.notify_all();
}

void VirtualUsbBus::MatchInLocked(Device& device, Endpoint& endpoint)
{
    const std::uint64_t packet = endpoint.maxPacketSize;
    const auto finishSend = [&]
    {
        endpoint.sends.front()->done = true;
        endpoint.sends.pop_front();
        device.ioChanged.notify_all();
    };
    while (!endpoint.hostTransfers.empty() && !endpoint.sends.empty())
    {
        Transfer& transfer = *endpoint.hostTransfers.front();
        DeviceSend& send = *endpoint.sends.front();
        const std::uint64_t left = send.total - send.taken;
        if (left == 0)
        {
            // The zero-length packet after a send of whole packets.
            finishSend();
            EndTransferLocked(endpoint, transfer, HostStatus::kSuccess);
            continue;
        }
        const std::uint64_t room = transfer.length - transfer.moved;
        if (left > room && room % packet != 0)
        {
            // The packet that does not fit ends the transfer and is lost, as the
            // host controller reports babble.
            const std::uint64_t whole = room - room % packet;
            send.Take(transfer.buffer + transfer.moved, whole);
            transfer.moved += static_cast<std::uint32_t>(whole);
            send.Take(nullptr, std::min(packet, left - whole));
            if (send.taken == send.total && send.total % packet != 0)
            {
                finishSend();
            }
            EndTransferLocked(endpoint, transfer, HostStatus::kOverflow);
            continue;
        }
        const std::uint64_t n = std::min(left, room);
        send.Take(transfer.buffer + transfer.moved, n);
        transfer.moved += static_cast<std::uint32_t>(n);
        const bool full = transfer.moved == transfer.length;
        if (send.taken == send.total)
        {
            if (send.total % packet != 0 || !full)
            {
                // A short last packet, or the zero-length packet behind the
                // last whole one, ends the transfer.
                finishSend();
                EndTransferLocked(endpoint, transfer, HostStatus::kSuccess);
            }
            else
            {
                // Full: the zero-length packet goes to the next transfer.
                EndTransferLocked(endpoint, transfer, HostStatus::kSuccess);
            }
        }
        else if (full)
        {
            EndTransferLocked(endpoint, transfer, HostStatus::kSuccess);
        }
    }
}

void VirtualUsbBus::CompletionLoop()
{
    std::unique_lock<std::mutex> lock(m_completionMutex);
    for (;;)
    {
        m_completionChanged.wait(lock, [this] { return m_completionStop || !m_completions.empty(); });
        if (m_completions.empty())
        {
            return;
        }
        const Completion completion = m_completions.front();
        m_completions.pop_front();
        lock.unlock();
        completion.listener->OnTransferDone(completion.result);
        lock.lock();
        ++m_completionsDelivered;
        m_completionChanged.notify_all();
    }
}

void VirtualUsbBus::WaitForCompletions()
{
    std::unique_lock<std::mutex> lock(m_completionMutex);
    const std::uint64_t target = m_completionsQueued;
    m_completionChanged.wait(lock, [&] { return m_completionsDelivered >= target; });
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

bool VirtualUsbBus::IsAttached(const HostDeviceLocation& location)
{
    RequireStarted();
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_devices.begin(), m_devices.end(),
                       [&](const auto& device) { return device->info.location == location; });
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

// ---------------------------------------------------------------- the firmware's side

VirtualFunctionEndpoint::VirtualFunctionEndpoint(std::shared_ptr<VirtualUsbBus::Device> device,
                                                 std::uint8_t number, std::uint16_t maxPacketSize)
    : m_device(std::move(device)), m_number(number), m_maxPacketSize(maxPacketSize)
{
}

bool VirtualFunctionEndpoint::Send(std::span<const std::span<const std::uint8_t>> pieces)
{
    VirtualUsbBus::Device& device = *m_device;
    std::unique_lock<std::mutex> lock(device.ioMutex);
    if (device.ioDetached || m_woken)
    {
        return false;
    }
    VirtualUsbBus::Endpoint& endpoint =
        *device.FindEndpoint(static_cast<std::uint8_t>(m_number | kEndpointDirectionIn));
    DeviceSend send;
    send.pieces = pieces;
    for (const auto& piece : pieces)
    {
        send.total += piece.size();
    }
    endpoint.sends.push_back(&send);
    device.bus.MatchInLocked(device, endpoint);
    device.ioChanged.wait(lock, [&] { return send.done || device.ioDetached || m_woken; });
    if (!send.done)
    {
        std::erase(endpoint.sends, &send);
        return false;
    }
    return true;
}

std::size_t VirtualFunctionEndpoint::Receive(std::span<std::uint8_t> buffer)
{
    if (buffer.empty())
    {
        return 0;
    }
    VirtualUsbBus::Device& device = *m_device;
    std::unique_lock<std::mutex> lock(device.ioMutex);
    VirtualUsbBus::Endpoint& endpoint = *device.FindEndpoint(m_number);
    device.ioChanged.wait(lock,
                          [&] { return device.ioDetached || m_woken || !endpoint.hostTransfers.empty(); });
    if (device.ioDetached || m_woken)
    {
        return 0;
    }
    std::size_t received = 0;
    while (received < buffer.size() && !endpoint.hostTransfers.empty())
    {
        VirtualUsbBus::Transfer& transfer = *endpoint.hostTransfers.front();
        const std::size_t n =
            std::min<std::size_t>(buffer.size() - received, transfer.length - transfer.moved);
        std::memcpy(buffer.data() + received, transfer.buffer + transfer.moved, n);
        transfer.moved += static_cast<std::uint32_t>(n);
        received += n;
        if (transfer.moved == transfer.length)
        {
            device.bus.EndTransferLocked(endpoint, transfer, HostStatus::kSuccess);
        }
    }
    return received;
}

bool VirtualFunctionEndpoint::FailHostTransfer(bool in, HostStatus status)
{
    VirtualUsbBus::Device& device = *m_device;
    std::lock_guard<std::mutex> lock(device.ioMutex);
    if (device.ioDetached)
    {
        return false;
    }
    VirtualUsbBus::Endpoint& endpoint =
        *device.FindEndpoint(static_cast<std::uint8_t>(in ? m_number | kEndpointDirectionIn : m_number));
    if (endpoint.hostTransfers.empty())
    {
        endpoint.fault = status;
    }
    else
    {
        device.bus.EndTransferLocked(endpoint, *endpoint.hostTransfers.front(), status);
    }
    return true;
}

void VirtualFunctionEndpoint::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_device->ioMutex);
        m_woken = true;
    }
    m_device->ioChanged.notify_all();
}

} // namespace Q7::Platform::Usb
