#include "UsbfsEmulatedDevice.h"

#include "UsbfsDescriptors.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>

namespace Usbfs
{

using Q7::Platform::Usb::HostDeviceDescription;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::HostEndpointInfo;
using Q7::Platform::Usb::HostInterfaceInfo;

namespace
{

// What an xHCI host's usbfs offers: no split URBs, reaping after a removal.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_DROP_PRIVILEGES;

constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kRequestGetStatus = 0;
constexpr std::uint8_t kRequestGetDescriptor = 6;
constexpr std::uint8_t kRequestGetConfiguration = 8;
constexpr std::uint8_t kRequestGetInterface = 10;

struct GObjectUnref
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
using DataPtr = std::unique_ptr<UMockdevIoctlData, GObjectUnref>;

// Resolves `length` bytes the pointer at `offset` of data points to in the
// caller's memory; null when it cannot be read.
DataPtr Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error != nullptr)
    {
        g_error_free(error);
    }
    return DataPtr(resolved);
}

// A bulk URB between its submit and its reap.
struct Urb
{
    DataPtr urb;    // the caller's struct usbdevfs_urb
    DataPtr buffer; // its buffer (null for none)
    UMockdevIoctlClient* client = nullptr;
    unsigned long address = 0; // the caller's address of the struct (DISCARDURB names it)
    std::uint8_t endpoint = 0;
    std::uint32_t length = 0;
    std::uint32_t actual = 0;
    int status = 0;
    // IN bytes the firmware sent. They reach the caller's buffer at the reap,
    // on umockdev's thread: until the submit's own reply has gone out,
    // umockdev still compares the buffer with the caller's copy.
    std::vector<std::uint8_t> staged;
    bool shortNotOk = false; // USBDEVFS_URB_SHORT_NOT_OK

    usbdevfs_urb& Fields() { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
    bool IsIn() const { return (endpoint & kDirectionIn) != 0; }
};

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char digits[3];
    for (const std::uint8_t byte : bytes)
    {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

std::string Format(const char* format, unsigned value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A sysfs text as umockdev's record format writes it, ending in a newline as
// the kernel's attributes do.
std::string Escape(const std::string& text)
{
    std::string out;
    for (const char c : text)
    {
        if (c == '\\' || c == '\n')
        {
            out += '\\';
            out += c == '\n' ? 'n' : '\\';
        }
        else
        {
            out += c;
        }
    }
    return out + "\\n";
}

struct Reply
{
    long result = 0;
    int error = 0;
};

Reply Fail(int error)
{
    return {-1, error};
}

} // namespace

struct DeviceCore
{
    DeviceCore(Testbed& bed, HostDeviceDescription device, DeviceOptions chosen)
        : testbed(bed), description(std::move(device)), options(chosen)
    {
        descriptors = DeviceDescriptor(description);
        const std::vector<std::uint8_t> configuration = ConfigurationDescriptor(description);
        descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    }

    // The handler's binding to one attachment: ioctls of files opened on an
    // earlier attachment answer ENODEV.
    struct Binding
    {
        std::shared_ptr<DeviceCore> core;
        std::uint64_t generation;
    };

    struct Endpoint
    {
        std::deque<std::unique_ptr<Urb>> pending; // in submit order
        bool halted = false;
        std::optional<int> failNext;
    };

    struct Client
    {
        std::uint64_t generation = 0;
        std::deque<std::unique_ptr<Urb>> completed; // in completion order
        std::set<std::uint8_t> claimed;
    };

    struct Pace
    {
        std::chrono::milliseconds pause{0};
        std::size_t bytesPerStep = 0;
    };

    // ---- the host's side (umockdev's worker thread)

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
    {
        auto* binding = static_cast<Binding*>(data);
        std::unique_ptr<Urb> reaped;
        const Reply reply = binding->core->Handle(client, binding->generation, reaped);
        umockdev_ioctl_client_complete(client, reply.result, reply.error);
        return TRUE; // reaped (if any) lives until its bytes went back
    }

    static void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
    {
        static_cast<Binding*>(data)->core->Forget(client);
    }

    static void FreeBinding(gpointer data, GClosure*) { delete static_cast<Binding*>(data); }

    Reply Handle(UMockdevIoctlClient* client, std::uint64_t bindingGeneration, std::unique_ptr<Urb>& reaped)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* const arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard lock(mutex);
        Client& state = clients.try_emplace(client, Client{bindingGeneration, {}, {}}).first->second;
        if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        {
            return Reap(state, arg, reaped); // allowed after a removal
        }
        if (gone || state.generation != generation)
        {
            return Fail(ENODEV);
        }
        switch (request)
        {
        case USBDEVFS_GET_CAPABILITIES:
            return WriteValue<std::uint32_t>(arg, kCapabilities);
        case USBDEVFS_CONNECTINFO:
        {
            usbdevfs_connectinfo info{};
            info.devnum = location.deviceAddress;
            info.slow = description.speed == Q7::Platform::Usb::HostSpeed::kLow;
            return WriteValue(arg, info);
        }
        case USBDEVFS_GET_SPEED:
            return {SpeedCode(description.speed), 0};
        case USBDEVFS_CONTROL:
            return Control(arg);
        case USBDEVFS_SETCONFIGURATION:
            return ReadValue<unsigned>(arg, [](unsigned value)
                                       { return value == kConfigurationValue ? Reply{} : Fail(EINVAL); });
        case USBDEVFS_CLAIMINTERFACE:
            return ReadValue<unsigned>(arg, [&](unsigned number) { return Claim(client, state, number); });
        case USBDEVFS_DISCONNECT_CLAIM:
            return ReadValue<usbdevfs_disconnect_claim>(arg, [&](const usbdevfs_disconnect_claim& claim)
                                                        { return Claim(client, state, claim.interface); });
        case USBDEVFS_RELEASEINTERFACE:
            return ReadValue<unsigned>(arg, [&](unsigned number)
                                       { return state.claimed.erase(number) == 1 ? Reply{} : Fail(EINVAL); });
        case USBDEVFS_SETINTERFACE:
            return ReadValue<usbdevfs_setinterface>(arg, [&](const usbdevfs_setinterface& setting)
                                                    { return SetInterface(client, state, setting); });
        case USBDEVFS_CLEAR_HALT:
            return ReadValue<unsigned>(arg, [&](unsigned address) { return ClearHalt(address); });
        case USBDEVFS_RESET:
            for (auto& [address, endpoint] : endpoints)
            {
                endpoint.halted = false;
            }
            return {};
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            return Fail(ENODATA); // no kernel driver is bound to the interfaces
        case USBDEVFS_DROP_PRIVILEGES:
            return {};
        case USBDEVFS_SUBMITURB:
            return Submit(client, state, arg);
        case USBDEVFS_DISCARDURB:
            return Discard(client, arg);
        default:
            counters.unknownRequests.push_back(request);
            return Fail(ENOTTY);
        }
    }

    template <typename T>
    Reply WriteValue(UMockdevIoctlData* arg, const T& value)
    {
        const DataPtr data = Resolve(arg, 0, sizeof(T));
        if (!data)
        {
            return Fail(EFAULT);
        }
        std::memcpy(data->data, &value, sizeof(T));
        return {};
    }

    template <typename T, typename F>
    Reply ReadValue(UMockdevIoctlData* arg, F&& use)
    {
        const DataPtr data = Resolve(arg, 0, sizeof(T));
        if (!data)
        {
            return Fail(EFAULT);
        }
        T value;
        std::memcpy(&value, data->data, sizeof(T));
        return use(value);
    }

    const HostInterfaceInfo* FindInterface(unsigned number) const
    {
        for (const HostInterfaceInfo& interface : description.interfaces)
        {
            if (interface.number == number)
            {
                return &interface;
            }
        }
        return nullptr;
    }

    // The interface and endpoint record of an endpoint address.
    std::pair<const HostInterfaceInfo*, const HostEndpointInfo*> FindEndpoint(unsigned address) const
    {
        for (const HostInterfaceInfo& interface : description.interfaces)
        {
            for (const HostEndpointInfo& endpoint : interface.endpoints)
            {
                if (endpoint.address == address)
                {
                    return {&interface, &endpoint};
                }
            }
        }
        return {nullptr, nullptr};
    }

    bool ClaimedByOther(UMockdevIoctlClient* client, unsigned number) const
    {
        for (const auto& [other, state] : clients)
        {
            if (other != client && state.generation == generation && state.claimed.count(number) != 0)
            {
                return true;
            }
        }
        return false;
    }

    Reply Claim(UMockdevIoctlClient* client, Client& state, unsigned number)
    {
        if (FindInterface(number) == nullptr)
        {
            return Fail(ENOENT);
        }
        if (ClaimedByOther(client, number))
        {
            return Fail(EBUSY);
        }
        state.claimed.insert(static_cast<std::uint8_t>(number));
        return {};
    }

    Reply SetInterface(UMockdevIoctlClient* client, Client& state, const usbdevfs_setinterface& setting)
    {
        const HostInterfaceInfo* const interface = FindInterface(setting.interface);
        if (interface == nullptr)
        {
            return Fail(ENOENT);
        }
        if (state.claimed.count(interface->number) == 0)
        {
            const Reply claimed = Claim(client, state, setting.interface);
            if (claimed.result != 0)
            {
                return claimed;
            }
            ++counters.unclaimedUse;
        }
        if (setting.altsetting != 0)
        {
            return Fail(EINVAL);
        }
        for (const HostEndpointInfo& endpoint : interface->endpoints)
        {
            endpoints[endpoint.address].halted = false; // selecting a setting resets its endpoints
        }
        return {};
    }

    Reply ClearHalt(unsigned address)
    {
        if (FindEndpoint(address).second == nullptr)
        {
            return Fail(ENOENT);
        }
        endpoints[static_cast<std::uint8_t>(address)].halted = false;
        changed.notify_all();
        return {};
    }

    // The answer to a standard request on the control endpoint; none (a stall)
    // for anything else.
    std::optional<std::vector<std::uint8_t>> StandardRequest(std::uint8_t requestType, std::uint8_t request,
                                                             std::uint16_t value, std::uint16_t index)
    {
        if (requestType == 0x80 && request == kRequestGetDescriptor)
        {
            const std::uint8_t type = static_cast<std::uint8_t>(value >> 8);
            const std::uint8_t number = static_cast<std::uint8_t>(value & 0xFF);
            if (type == 1)
            {
                return DeviceDescriptor(description);
            }
            if (type == 2 && number == 0)
            {
                return ConfigurationDescriptor(description);
            }
            if (type == 3)
            {
                return StringDescriptor(description, number, index);
            }
            return std::nullopt;
        }
        if (requestType == 0x80 && request == kRequestGetConfiguration)
        {
            return std::vector<std::uint8_t>{kConfigurationValue};
        }
        if (requestType == 0x81 && request == kRequestGetInterface)
        {
            return std::vector<std::uint8_t>{0};
        }
        if ((requestType & 0xFC) == 0x80 && request == kRequestGetStatus)
        {
            const auto address = static_cast<std::uint8_t>(index);
            const bool halted =
                requestType == 0x82 && endpoints.count(address) != 0 && endpoints[address].halted;
            return std::vector<std::uint8_t>{halted ? std::uint8_t{1} : std::uint8_t{0}, 0};
        }
        return std::nullopt;
    }

    // USBDEVFS_CONTROL: a synchronous control transfer.
    Reply Control(UMockdevIoctlData* arg)
    {
        const DataPtr data = Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
        if (!data)
        {
            return Fail(EFAULT);
        }
        const auto& request = *reinterpret_cast<const usbdevfs_ctrltransfer*>(data->data);
        const std::optional<std::vector<std::uint8_t>> answer =
            StandardRequest(request.bRequestType, request.bRequest, request.wValue, request.wIndex);
        if (!answer)
        {
            return Fail(EPIPE);
        }
        const std::size_t count = std::min<std::size_t>(answer->size(), request.wLength);
        if (count > 0)
        {
            const DataPtr buffer = Resolve(data.get(), offsetof(usbdevfs_ctrltransfer, data), count);
            if (!buffer)
            {
                return Fail(EFAULT);
            }
            std::memcpy(buffer->data, answer->data(), count);
        }
        return {static_cast<long>(count), 0};
    }

    // An asynchronous control URB (setup packet, then the data stage): answered
    // at once, like a device that never NAKs a standard request.
    Reply SubmitControl(UMockdevIoctlClient* client, DataPtr fields)
    {
        const auto& submitted = *reinterpret_cast<const usbdevfs_urb*>(fields->data);
        if (submitted.endpoint != 0 || submitted.buffer_length < 8)
        {
            return Fail(EINVAL);
        }
        auto urb = std::make_unique<Urb>();
        urb->client = client;
        urb->address = fields->client_addr;
        urb->endpoint = 0x80;
        urb->length = static_cast<std::uint32_t>(submitted.buffer_length);
        urb->buffer = Resolve(fields.get(), offsetof(usbdevfs_urb, buffer), urb->length);
        if (!urb->buffer)
        {
            return Fail(EFAULT);
        }
        urb->urb = std::move(fields);
        const std::uint8_t* const setup = urb->buffer->data;
        const auto value = static_cast<std::uint16_t>(setup[2] | (setup[3] << 8));
        const auto index = static_cast<std::uint16_t>(setup[4] | (setup[5] << 8));
        const auto wanted = static_cast<std::uint16_t>(setup[6] | (setup[7] << 8));
        const std::optional<std::vector<std::uint8_t>> answer =
            StandardRequest(setup[0], setup[1], value, index);
        int status = -EPIPE;
        if (answer)
        {
            const std::size_t count = std::min<std::size_t>({answer->size(), wanted, urb->length - 8u});
            std::memcpy(urb->buffer->data + 8, answer->data(), count);
            urb->actual = static_cast<std::uint32_t>(count);
            status = 0;
        }
        memory += urb->length;
        ++counters.submitted;
        ++counters.inFlight;
        Complete(std::move(urb), status);
        changed.notify_all();
        return {};
    }

    Reply Submit(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg)
    {
        DataPtr fields = Resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!fields)
        {
            return Fail(EFAULT);
        }
        const auto& submitted = *reinterpret_cast<const usbdevfs_urb*>(fields->data);
        if (submitted.type == USBDEVFS_URB_TYPE_CONTROL)
        {
            return SubmitControl(client, std::move(fields));
        }
        if (submitted.type != USBDEVFS_URB_TYPE_BULK || submitted.buffer_length < 0)
        {
            return Fail(EINVAL);
        }
        const auto [interface, endpoint] = FindEndpoint(submitted.endpoint);
        if (endpoint == nullptr || (endpoint->attributes & 0x03) != kBulk)
        {
            return Fail(ENOENT);
        }
        if (state.claimed.count(interface->number) == 0)
        {
            const Reply claimed = Claim(client, state, interface->number);
            if (claimed.result != 0)
            {
                return claimed;
            }
            ++counters.unclaimedUse;
        }
        const auto length = static_cast<std::uint32_t>(submitted.buffer_length);
        if (memory + length > options.transferMemoryLimit)
        {
            return Fail(ENOMEM);
        }
        auto urb = std::make_unique<Urb>();
        urb->client = client;
        urb->address = fields->client_addr;
        urb->endpoint = submitted.endpoint;
        urb->length = length;
        if (length > 0)
        {
            urb->buffer = Resolve(fields.get(), offsetof(usbdevfs_urb, buffer), length);
            if (!urb->buffer)
            {
                return Fail(EFAULT);
            }
        }
        urb->shortNotOk = (submitted.flags & USBDEVFS_URB_SHORT_NOT_OK) != 0;
        urb->urb = std::move(fields);
        memory += length;
        ++counters.submitted;
        ++counters.inFlight;
        Endpoint& queue = endpoints[urb->endpoint];
        if (queue.halted)
        {
            Complete(std::move(urb), -EPIPE);
        }
        else if (queue.failNext)
        {
            const int status = *queue.failNext;
            queue.failNext.reset();
            Complete(std::move(urb), status);
        }
        else if (!urb->IsIn() && length == 0)
        {
            Complete(std::move(urb), 0); // a zero-length packet, taken at once
        }
        else
        {
            queue.pending.push_back(std::move(urb));
        }
        changed.notify_all();
        return {};
    }

    Reply Reap(Client& state, UMockdevIoctlData* arg, std::unique_ptr<Urb>& reaped)
    {
        if (state.completed.empty())
        {
            return Fail(gone || state.generation != generation ? ENODEV : EAGAIN);
        }
        const DataPtr pointer = Resolve(arg, 0, sizeof(void*));
        if (!pointer)
        {
            return Fail(EFAULT);
        }
        reaped = std::move(state.completed.front());
        state.completed.pop_front();
        if (!reaped->staged.empty())
        {
            std::memcpy(reaped->buffer->data, reaped->staged.data(), reaped->staged.size());
        }
        reaped->Fields().status = reaped->status;
        reaped->Fields().actual_length = static_cast<int>(reaped->actual);
        umockdev_ioctl_data_set_ptr(pointer.get(), 0, reaped->urb.get());
        memory -= reaped->length;
        ++counters.reaped;
        --counters.inFlight;
        changed.notify_all();
        return {};
    }

    Reply Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        unsigned long address = 0;
        std::memcpy(&address, arg->data, sizeof address);
        for (auto& [number, endpoint] : endpoints)
        {
            for (auto it = endpoint.pending.begin(); it != endpoint.pending.end(); ++it)
            {
                if ((*it)->client == client && (*it)->address == address)
                {
                    std::unique_ptr<Urb> urb = std::move(*it);
                    endpoint.pending.erase(it);
                    ++counters.discarded;
                    Complete(std::move(urb), -ECONNRESET);
                    changed.notify_all();
                    return {};
                }
            }
        }
        return Fail(EINVAL); // ended already: the caller reaps it
    }

    // A closed file: its URBs go with it.
    void Forget(UMockdevIoctlClient* client)
    {
        std::lock_guard lock(mutex);
        const auto found = clients.find(client);
        if (found == clients.end())
        {
            return;
        }
        std::uint64_t dropped = found->second.completed.size();
        for (const auto& urb : found->second.completed)
        {
            memory -= urb->length;
        }
        for (auto& [number, endpoint] : endpoints)
        {
            for (auto it = endpoint.pending.begin(); it != endpoint.pending.end();)
            {
                if ((*it)->client == client)
                {
                    memory -= (*it)->length;
                    ++dropped;
                    it = endpoint.pending.erase(it);
                }
                else
                {
                    ++it;
                }
            }
        }
        counters.abandoned += dropped;
        counters.inFlight -= dropped;
        clients.erase(found);
        changed.notify_all();
    }

    // Ends an URB (off its endpoint's queue already): it waits in its file's
    // queue for the reap. A short IN URB that asked for no short packets ends
    // with -EREMOTEIO, as usbfs reports it.
    void Complete(std::unique_ptr<Urb> urb, int status)
    {
        if (status == 0 && urb->IsIn() && urb->actual < urb->length && urb->shortNotOk)
        {
            status = -EREMOTEIO;
        }
        urb->status = status;
        const auto owner = clients.find(urb->client);
        if (owner != clients.end())
        {
            owner->second.completed.push_back(std::move(urb));
        }
    }

    // ---- the firmware's side

    bool Usable(std::uint64_t endpointGeneration, bool woken) const
    {
        return !woken && !gone && plugged && endpointGeneration == generation;
    }

    // Waits for the endpoint's pace pause; false when woken or removed first.
    bool PaceWait(std::unique_lock<std::mutex>& lock, std::uint8_t number, std::uint64_t endpointGeneration,
                  const bool& woken)
    {
        const auto found = paces.find(number);
        if (found == paces.end() || found->second.pause.count() == 0)
        {
            return Usable(endpointGeneration, woken);
        }
        changed.wait_for(lock, found->second.pause, [&] { return !Usable(endpointGeneration, woken); });
        return Usable(endpointGeneration, woken);
    }

    std::uint16_t MaxPacketSize(std::uint8_t address) const
    {
        const HostEndpointInfo* const endpoint = FindEndpoint(address).second;
        return endpoint == nullptr || endpoint->maxPacketSize == 0 ? 512 : endpoint->maxPacketSize;
    }

    Testbed& testbed;
    const HostDeviceDescription description;
    const DeviceOptions options;
    std::vector<std::uint8_t> descriptors; // the device descriptor, then the configuration

    mutable std::mutex mutex; // guards every member below
    std::condition_variable changed;
    std::uint64_t generation = 0; // counts attachments
    bool plugged = false;
    bool gone = false;
    HostDeviceLocation location;
    std::string sysPath;
    std::vector<std::string> interfacePaths;
    std::vector<std::string> devNodes;          // of every attachment: their handlers stay attached
    std::map<std::uint8_t, Endpoint> endpoints; // by address
    std::map<UMockdevIoctlClient*, Client> clients;
    std::map<std::uint8_t, Pace> paces; // by endpoint number
    std::uint64_t memory = 0;           // bytes of URBs in flight
    DeviceCounters counters;
};

// ---------------------------------------------------------------- endpoint

FunctionEndpoint::FunctionEndpoint(std::shared_ptr<DeviceCore> core, std::uint8_t number,
                                   std::uint64_t generation)
    : m_core(std::move(core)), m_number(number), m_generation(generation)
{
}

bool FunctionEndpoint::Send(std::span<const std::span<const std::uint8_t>> pieces)
{
    std::vector<std::uint8_t> bytes;
    for (const auto& piece : pieces)
    {
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    }
    DeviceCore& core = *m_core;
    const auto address = static_cast<std::uint8_t>(m_number | kDirectionIn);
    std::unique_lock lock(core.mutex);
    const std::uint64_t generation = m_generation;
    const std::size_t packetSize = core.MaxPacketSize(address);
    // A whole number of packets (also none) ends with a zero-length packet.
    const std::size_t packets = bytes.size() / packetSize + 1;
    for (std::size_t packet = 0; packet < packets; ++packet)
    {
        const std::size_t offset = packet * packetSize;
        const std::size_t size = std::min(packetSize, bytes.size() - offset);
        if (!core.PaceWait(lock, m_number, generation, m_woken))
        {
            return false;
        }
        DeviceCore::Endpoint& endpoint = core.endpoints[address];
        core.changed.wait(
            lock, [&]
            { return !core.Usable(generation, m_woken) || (!endpoint.halted && !endpoint.pending.empty()); });
        if (!core.Usable(generation, m_woken))
        {
            return false;
        }
        std::unique_ptr<Urb> urb = std::move(endpoint.pending.front());
        endpoint.pending.pop_front();
        if (size > urb->length - urb->actual)
        {
            core.Complete(std::move(urb), -EOVERFLOW); // babble: the packet is lost
        }
        else
        {
            urb->staged.insert(urb->staged.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                               bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
            urb->actual += static_cast<std::uint32_t>(size);
            if (size < packetSize || urb->actual == urb->length)
            {
                core.Complete(std::move(urb), 0);
            }
            else
            {
                endpoint.pending.push_front(std::move(urb));
            }
        }
        core.changed.notify_all();
    }
    return true;
}

std::size_t FunctionEndpoint::Receive(std::span<std::uint8_t> buffer)
{
    if (buffer.empty())
    {
        return 0;
    }
    DeviceCore& core = *m_core;
    std::unique_lock lock(core.mutex);
    const std::uint64_t generation = m_generation;
    if (!core.PaceWait(lock, m_number, generation, m_woken))
    {
        return 0;
    }
    DeviceCore::Endpoint& endpoint = core.endpoints[m_number];
    core.changed.wait(lock, [&] { return !core.Usable(generation, m_woken) || !endpoint.pending.empty(); });
    if (!core.Usable(generation, m_woken))
    {
        return 0;
    }
    Urb& urb = *endpoint.pending.front();
    std::size_t count = std::min<std::size_t>(buffer.size(), urb.length - urb.actual);
    const auto pace = core.paces.find(m_number);
    if (pace != core.paces.end() && pace->second.bytesPerStep > 0)
    {
        count = std::min(count, pace->second.bytesPerStep);
    }
    std::memcpy(buffer.data(), urb.buffer->data + urb.actual, count);
    urb.actual += static_cast<std::uint32_t>(count);
    if (urb.actual == urb.length)
    {
        std::unique_ptr<Urb> done = std::move(endpoint.pending.front());
        endpoint.pending.pop_front();
        core.Complete(std::move(done), 0);
    }
    core.changed.notify_all();
    return count;
}

void FunctionEndpoint::Wake()
{
    std::lock_guard lock(m_core->mutex);
    m_woken = true;
    m_core->changed.notify_all();
}

// ---------------------------------------------------------------- device

EmulatedDevice::EmulatedDevice(Testbed& testbed, HostDeviceDescription description, DeviceOptions options)
    : m_core(std::make_shared<DeviceCore>(testbed, std::move(description), options))
{
    if (options.port == 0)
    {
        throw std::invalid_argument("USB ports count from 1");
    }
}

EmulatedDevice::~EmulatedDevice()
{
    Unplug();
    std::vector<std::string> nodes;
    {
        std::lock_guard lock(m_core->mutex);
        nodes.swap(m_core->devNodes);
    }
    std::lock_guard lock(m_core->testbed.Lock());
    for (const std::string& node : nodes)
    {
        umockdev_testbed_detach_ioctl(m_core->testbed.Get(), node.c_str(), nullptr);
    }
}

HostDeviceLocation EmulatedDevice::Plug()
{
    DeviceCore& core = *m_core;
    const HostDeviceDescription& d = core.description;
    const std::uint8_t address = core.testbed.NextAddress();
    const std::string name = "1-" + std::to_string(core.options.port);
    const std::string sysPath = core.testbed.RootHubPath() + "/" + name;
    const std::string node = "bus/usb/001/" + Format("%03u", address);
    const std::string product =
        Format("%x", d.vendorId) + "/" + Format("%x", d.productId) + "/" + Format("%x", d.deviceRelease);
    std::vector<std::string> interfacePaths;

    // The device, without its type first: libusb's hotplug monitor waits for
    // the "add" below, when everything is in place.
    std::string record;
    const auto line = [&record](const char* tag, const std::string& text) { record += tag + text + "\n"; };
    const auto attribute = [&record](const std::string& key, const std::string& text)
    { record += "A: " + key + "=" + Escape(text) + "\n"; };
    line("P: ", sysPath.substr(4));
    line("N: ", node + "=" + Hex(core.descriptors));
    line("E: ", "SUBSYSTEM=usb");
    line("E: ", "DRIVER=usb");
    line("E: ", "DEVNAME=/dev/" + node);
    line("E: ", "BUSNUM=001");
    line("E: ", "DEVNUM=" + Format("%03u", address));
    line("E: ", "MAJOR=189");
    line("E: ", "MINOR=" + std::to_string(address - 1));
    line("E: ", "PRODUCT=" + product);
    line("E: ", "TYPE=" + std::to_string(d.deviceClass) + "/0/0");
    attribute("busnum", std::to_string(Testbed::kBusNumber));
    attribute("devnum", std::to_string(address));
    attribute("devpath", std::to_string(core.options.port));
    attribute("idVendor", Format("%04x", d.vendorId));
    attribute("idProduct", Format("%04x", d.productId));
    attribute("bcdDevice", Format("%04x", d.deviceRelease));
    attribute("bDeviceClass", Format("%02x", d.deviceClass));
    attribute("bDeviceSubClass", "00");
    attribute("bDeviceProtocol", "00");
    attribute("bMaxPacketSize0", "64");
    attribute("bNumConfigurations", "1");
    attribute("bConfigurationValue", std::to_string(kConfigurationValue));
    attribute("bNumInterfaces", Format("%2u", static_cast<unsigned>(d.interfaces.size())));
    attribute("bmAttributes", "80");
    attribute("bMaxPower", "500mA");
    attribute("speed", SpeedText(d.speed));
    attribute("version", " 2.00");
    attribute("maxchild", "0");
    attribute("authorized", "1");
    attribute("removable", "removable");
    if (!d.manufacturer.empty())
    {
        attribute("manufacturer", d.manufacturer);
    }
    if (!d.product.empty())
    {
        attribute("product", d.product);
    }
    if (!d.serialNumber.empty())
    {
        attribute("serial", d.serialNumber);
    }
    line("H: ", "descriptors=" + Hex(core.descriptors));
    for (const HostInterfaceInfo& interface : d.interfaces)
    {
        const std::string path = sysPath + "/" + name + ":1." + std::to_string(interface.number);
        interfacePaths.push_back(path);
        record += "\n";
        line("P: ", path.substr(4));
        line("E: ", "SUBSYSTEM=usb");
        line("E: ", "DEVTYPE=usb_interface");
        line("E: ", "PRODUCT=" + product);
        line("E: ", "INTERFACE=" + std::to_string(interface.interfaceClass) + "/" +
                        std::to_string(interface.interfaceSubClass) + "/" +
                        std::to_string(interface.interfaceProtocol));
        attribute("bInterfaceNumber", Format("%02x", interface.number));
        attribute("bAlternateSetting", " 0");
        attribute("bNumEndpoints", Format("%02x", static_cast<unsigned>(interface.endpoints.size())));
        attribute("bInterfaceClass", Format("%02x", interface.interfaceClass));
        attribute("bInterfaceSubClass", Format("%02x", interface.interfaceSubClass));
        attribute("bInterfaceProtocol", Format("%02x", interface.interfaceProtocol));
        attribute("authorized", "1");
        for (const HostEndpointInfo& endpoint : interface.endpoints)
        {
            const std::string ep = "ep_" + Format("%02x", endpoint.address) + "/";
            attribute(ep + "bEndpointAddress", Format("%02x", endpoint.address));
            attribute(ep + "bmAttributes", Format("%02x", endpoint.attributes));
            attribute(ep + "bLength", "07");
            attribute(ep + "bInterval", "00");
            attribute(ep + "wMaxPacketSize", Format("%04x", endpoint.maxPacketSize));
            attribute(ep + "type", (endpoint.attributes & 0x03) == kBulk ? "Bulk" : "Interrupt");
            attribute(ep + "direction", (endpoint.address & kDirectionIn) != 0 ? "in" : "out");
        }
    }

    std::uint64_t generation = 0;
    {
        std::lock_guard lock(core.mutex);
        if (core.plugged)
        {
            throw std::logic_error("the device is plugged already");
        }
        generation = ++core.generation;
        core.gone = false;
        core.plugged = true;
        core.location = HostDeviceLocation{Testbed::kBusNumber, {core.options.port}, address};
        core.sysPath = sysPath;
        core.interfacePaths = interfacePaths;
        core.devNodes.push_back("/dev/" + node);
        for (auto& [number, endpoint] : core.endpoints)
        {
            endpoint.halted = false; // a new attachment starts with fresh endpoints
            endpoint.failNext.reset();
        }
    }

    std::lock_guard lock(core.testbed.Lock());
    UMockdevTestbed* const testbed = core.testbed.Get();
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
    {
        const std::string text = error->message;
        g_error_free(error);
        std::lock_guard coreLock(core.mutex);
        core.plugged = false;
        core.gone = true;
        throw std::runtime_error("the device cannot be added to the testbed: " + text);
    }
    UMockdevIoctlBase* const handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(&DeviceCore::OnIoctl),
                          new DeviceCore::Binding{m_core, generation}, &DeviceCore::FreeBinding,
                          GConnectFlags{});
    g_signal_connect_data(handler, "client-vanished", G_CALLBACK(&DeviceCore::OnClientVanished),
                          new DeviceCore::Binding{m_core, generation}, &DeviceCore::FreeBinding,
                          GConnectFlags{});
    const bool attached = umockdev_testbed_attach_ioctl(testbed, ("/dev/" + node).c_str(), handler, &error);
    g_object_unref(handler); // the testbed holds it while attached
    if (!attached)
    {
        const std::string text = error->message;
        g_error_free(error);
        throw std::runtime_error("the device node's handler cannot be attached: " + text);
    }
    umockdev_testbed_set_property(testbed, sysPath.c_str(), "DEVTYPE", "usb_device");
    umockdev_testbed_uevent(testbed, sysPath.c_str(), "add");
    return HostDeviceLocation{Testbed::kBusNumber, {core.options.port}, address};
}

namespace
{

// The process's open files on the node (the host's handles).
std::vector<int> FilesOn(const std::string& path)
{
    std::vector<int> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error))
    {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path)
        {
            files.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return files;
}

// Puts, under each of the files' numbers, a file whose poll reports POLLERR
// (the write end of a pipe without reader), as usbfs's poll does for a
// disconnected device. The preload keeps handing the numbers' ioctls to the
// handler.
void ReportPollError(const std::vector<int>& files)
{
    if (files.empty())
    {
        return;
    }
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
    {
        std::fprintf(stderr, "usbfs emulation: no POLLERR at the removal, pipe2 failed: %s\n",
                     std::strerror(errno));
        return; // the host still sees its URBs' statuses
    }
    ::close(pipeEnds[0]);
    for (const int file : files)
    {
        ::dup3(pipeEnds[1], file, O_CLOEXEC);
    }
    ::close(pipeEnds[1]);
}

} // namespace

void EmulatedDevice::Unplug(const UnplugOptions& options)
{
    DeviceCore& core = *m_core;
    std::string sysPath;
    std::vector<std::string> interfacePaths;
    std::string node;
    {
        std::lock_guard lock(core.mutex);
        if (!core.plugged)
        {
            return;
        }
        core.plugged = false;
        core.gone = true;
        sysPath = core.sysPath;
        interfacePaths = core.interfacePaths;
        node = core.devNodes.back();
    }
    // The host's handles, found while the node still has its name.
    const std::vector<int> files = FilesOn(core.testbed.RootDir() + node);
    {
        // As the kernel takes a device apart: its interfaces first, then the
        // device's "remove" uevent, then its entry and node. A listing that
        // runs on the uevent finds no camera interface any more.
        std::lock_guard lock(core.testbed.Lock());
        UMockdevTestbed* const testbed = core.testbed.Get();
        for (const std::string& path : interfacePaths)
        {
            umockdev_testbed_uevent(testbed, path.c_str(), "remove");
            umockdev_testbed_remove_device(testbed, path.c_str());
        }
        umockdev_testbed_uevent(testbed, sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, sysPath.c_str());
        ::unlink((core.testbed.RootDir() + node).c_str());
    }
    std::lock_guard lock(core.mutex);
    for (auto& [address, endpoint] : core.endpoints)
    {
        while (!endpoint.pending.empty())
        {
            std::unique_ptr<Urb> urb = std::move(endpoint.pending.front());
            endpoint.pending.pop_front();
            core.Complete(std::move(urb), options.urbStatus);
        }
    }
    ReportPollError(files);
    core.changed.notify_all();
}

bool EmulatedDevice::IsPlugged() const
{
    std::lock_guard lock(m_core->mutex);
    return m_core->plugged;
}

HostDeviceLocation EmulatedDevice::Location() const
{
    std::lock_guard lock(m_core->mutex);
    return m_core->location;
}

std::string EmulatedDevice::DevicePath(std::uint8_t interfaceNumber) const
{
    return Q7::Platform::Usb::FormatDevicePath(Location(), interfaceNumber);
}

const HostDeviceDescription& EmulatedDevice::Description() const
{
    return m_core->description;
}

std::shared_ptr<FunctionEndpoint> EmulatedDevice::GetFunctionEndpoint(std::uint8_t number)
{
    const auto out = m_core->FindEndpoint(number).second;
    const auto in = m_core->FindEndpoint(static_cast<unsigned>(number | kDirectionIn)).second;
    if (out == nullptr || in == nullptr || (out->attributes & 0x03) != kBulk ||
        (in->attributes & 0x03) != kBulk)
    {
        return nullptr;
    }
    std::lock_guard lock(m_core->mutex);
    return std::make_shared<FunctionEndpoint>(m_core, number, m_core->generation);
}

bool EmulatedDevice::EndPendingUrb(std::uint8_t endpointAddress, int status)
{
    std::lock_guard lock(m_core->mutex);
    DeviceCore::Endpoint& endpoint = m_core->endpoints[endpointAddress];
    if (endpoint.pending.empty())
    {
        return false;
    }
    std::unique_ptr<Urb> urb = std::move(endpoint.pending.front());
    endpoint.pending.pop_front();
    m_core->Complete(std::move(urb), status);
    m_core->changed.notify_all();
    return true;
}

void EmulatedDevice::FailNextUrb(std::uint8_t endpointAddress, int status)
{
    std::lock_guard lock(m_core->mutex);
    DeviceCore::Endpoint& endpoint = m_core->endpoints[endpointAddress];
    if (endpoint.pending.empty())
    {
        endpoint.failNext = status;
        return;
    }
    std::unique_ptr<Urb> urb = std::move(endpoint.pending.front());
    endpoint.pending.pop_front();
    m_core->Complete(std::move(urb), status);
    m_core->changed.notify_all();
}

void EmulatedDevice::Halt(std::uint8_t endpointAddress)
{
    std::lock_guard lock(m_core->mutex);
    DeviceCore::Endpoint& endpoint = m_core->endpoints[endpointAddress];
    endpoint.halted = true;
    while (!endpoint.pending.empty())
    {
        std::unique_ptr<Urb> urb = std::move(endpoint.pending.front());
        endpoint.pending.pop_front();
        m_core->Complete(std::move(urb), -EPIPE);
    }
    m_core->changed.notify_all();
}

bool EmulatedDevice::IsHalted(std::uint8_t endpointAddress) const
{
    std::lock_guard lock(m_core->mutex);
    const auto found = m_core->endpoints.find(endpointAddress);
    return found != m_core->endpoints.end() && found->second.halted;
}

void EmulatedDevice::SetPace(std::uint8_t number, std::chrono::milliseconds pause, std::size_t bytesPerStep)
{
    std::lock_guard lock(m_core->mutex);
    m_core->paces[number] = DeviceCore::Pace{pause, bytesPerStep};
    m_core->changed.notify_all();
}

bool EmulatedDevice::WaitForPendingUrbs(std::uint8_t endpointAddress, std::size_t count,
                                        std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_core->mutex);
    return m_core->changed.wait_for(
        lock, timeout, [&] { return m_core->endpoints[endpointAddress].pending.size() >= count; });
}

bool EmulatedDevice::WaitUntilNoUrbInFlight(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_core->mutex);
    return m_core->changed.wait_for(lock, timeout, [&] { return m_core->counters.inFlight == 0; });
}

DeviceCounters EmulatedDevice::Counters() const
{
    std::lock_guard lock(m_core->mutex);
    return m_core->counters;
}

} // namespace Usbfs
