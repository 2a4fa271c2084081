#include "Q7PlatformUsbHostBackend_Libusb.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7PlatformUsbStringDescriptor.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>
#include <stdexcept>

namespace Q7::Platform::Usb
{

using Q7::Universal::LogWarning;
using Q7::Universal::StdExceptionError;

namespace
{

// Stop rounds of the event thread.
constexpr std::uint32_t kThreadStopWaitMs = 10000;
// Longest single wait for libusb events, so that a lost wake-up costs at most this.
constexpr std::uint64_t kMaxEventWaitMs = 1000;
// Pause after a failed round of event handling, so that a lasting failure does
// not spin.
constexpr std::uint32_t kEventFailurePauseMs = 100;
// Language of the string descriptors when a device lists none.
constexpr std::uint16_t kDefaultLanguageId = 0x0409;

// Logs the failure and raises it as the StdExceptionError of a backend that
// cannot start.
[[noreturn]] void ThrowStartError(const std::string& what)
{
    const StdExceptionError error(std::runtime_error("USB host backend could not start: " + what));
    Q7::Universal::LogError(error);
    Q7::Universal::ThrowStdExceptionError(error);
}

std::string LibusbErrorText(int code)
{
    return std::string(libusb_error_name(code)) + " (" + libusb_strerror(code) + ")";
}

HostStatus StatusOfLibusbError(int code)
{
    switch (code)
    {
    case LIBUSB_SUCCESS:
        return HostStatus::kSuccess;
    case LIBUSB_ERROR_NO_DEVICE:
        return HostStatus::kNoDevice;
    case LIBUSB_ERROR_ACCESS:
        return HostStatus::kAccessDenied;
    case LIBUSB_ERROR_BUSY:
        return HostStatus::kBusy;
    case LIBUSB_ERROR_NOT_FOUND:
        return HostStatus::kNotFound;
    case LIBUSB_ERROR_NO_MEM:
        return HostStatus::kNoMemory;
    default:
        return HostStatus::kIoError;
    }
}

HostStatus StatusOfErrno(int error)
{
    switch (error)
    {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return HostStatus::kNoDevice;
    case EACCES:
    case EPERM:
        return HostStatus::kAccessDenied;
    case EBUSY:
        return HostStatus::kBusy;
    case ENOMEM:
        return HostStatus::kNoMemory;
    default:
        return HostStatus::kIoError;
    }
}

HostSpeed SpeedOfLibusb(int speed)
{
    switch (speed)
    {
    case LIBUSB_SPEED_LOW:
        return HostSpeed::kLow;
    case LIBUSB_SPEED_FULL:
        return HostSpeed::kFull;
    case LIBUSB_SPEED_HIGH:
        return HostSpeed::kHigh;
    case LIBUSB_SPEED_SUPER:
        return HostSpeed::kSuper;
    case LIBUSB_SPEED_SUPER_PLUS:
        return HostSpeed::kSuperPlus;
    default:
        return HostSpeed::kUnknown;
    }
}

struct ContextDeleter
{
    void operator()(libusb_context* context) const { libusb_exit(context); }
};

struct DeviceListDeleter
{
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};

struct ConfigDescriptorDeleter
{
    void operator()(libusb_config_descriptor* descriptor) const { libusb_free_config_descriptor(descriptor); }
};

struct DeviceHandleDeleter
{
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};

using DeviceHandlePtr = std::unique_ptr<libusb_device_handle, DeviceHandleDeleter>;

// A file descriptor, closed with the holder.
class UniqueFd
{
public:
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }

private:
    int m_fd;
};

// One interface setting of a configuration descriptor as the backend's record.
HostInterfaceInfo InterfaceSettingInfo(const libusb_interface_descriptor& setting)
{
    HostInterfaceInfo entry;
    entry.number = setting.bInterfaceNumber;
    entry.interfaceClass = setting.bInterfaceClass;
    entry.interfaceSubClass = setting.bInterfaceSubClass;
    entry.interfaceProtocol = setting.bInterfaceProtocol;
    for (int e = 0; e < setting.bNumEndpoints; ++e)
    {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        entry.endpoints.push_back({endpoint.bEndpointAddress, endpoint.bmAttributes,
                                   static_cast<std::uint16_t>(endpoint.wMaxPacketSize & 0x7FF)});
    }
    return entry;
}

// The backend status of a finished libusb transfer. usbfs reports a pulled
// cable, a CRC or bit-stuffing error and a device that does not answer
// (EPROTO, EILSEQ, ETIME) as LIBUSB_TRANSFER_ERROR, a device gone as
// LIBUSB_TRANSFER_NO_DEVICE (ENODEV, ESHUTDOWN), a halted endpoint as
// LIBUSB_TRANSFER_STALL (EPIPE) and babble as LIBUSB_TRANSFER_OVERFLOW
// (EOVERFLOW). How the device treats each status: UsbFailureOf
// (Q7PlatformUsbDevice_Libusb.h).
HostStatus StatusOfTransfer(libusb_transfer_status status)
{
    switch (status)
    {
    case LIBUSB_TRANSFER_COMPLETED:
        return HostStatus::kSuccess;
    case LIBUSB_TRANSFER_CANCELLED:
        return HostStatus::kCancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return HostStatus::kNoDevice;
    case LIBUSB_TRANSFER_STALL:
        return HostStatus::kStall;
    case LIBUSB_TRANSFER_OVERFLOW:
        return HostStatus::kOverflow;
    case LIBUSB_TRANSFER_TIMED_OUT: // no transfer here has a libusb time-out
    case LIBUSB_TRANSFER_ERROR:
        break;
    }
    return HostStatus::kIoError;
}

// A libusb bulk transfer. libusb calls OnDone on the backend's event thread.
class BulkTransfer_Libusb final : public HostBulkTransfer
{
public:
    BulkTransfer_Libusb(libusb_device_handle* handle, std::uint8_t endpoint, HostTransferListener& listener)
        : m_handle(handle), m_endpoint(endpoint), m_listener(listener), m_transfer(libusb_alloc_transfer(0))
    {
        if (m_transfer == nullptr)
        {
            throw std::bad_alloc();
        }
    }

    ~BulkTransfer_Libusb() override { libusb_free_transfer(m_transfer); }

    HostStatus Submit(std::uint8_t* buffer, std::uint32_t length) override
    {
        if (length > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
        {
            return HostStatus::kNoMemory;
        }
        libusb_fill_bulk_transfer(m_transfer, m_handle, m_endpoint, buffer, static_cast<int>(length),
                                  &BulkTransfer_Libusb::OnDone, this, 0);
        return StatusOfLibusbError(libusb_submit_transfer(m_transfer));
    }

    void Cancel() noexcept override
    {
        // LIBUSB_ERROR_NOT_FOUND: the transfer ended already; its listener runs
        // (or ran) with its own status.
        libusb_cancel_transfer(m_transfer);
    }

private:
    static void LIBUSB_CALL OnDone(libusb_transfer* transfer)
    {
        auto* const self = static_cast<BulkTransfer_Libusb*>(transfer->user_data);
        const HostTransferResult result{StatusOfTransfer(transfer->status),
                                        static_cast<std::uint32_t>(std::max(transfer->actual_length, 0))};
        // The last use of the transfer: its owner may destroy it once told.
        self->m_listener.OnTransferDone(result);
    }

    libusb_device_handle* const m_handle; // outlives the transfer
    const std::uint8_t m_endpoint;
    HostTransferListener& m_listener;
    libusb_transfer* const m_transfer;
};

// An opened device: the usbfs node and libusb's handle over it. The node stays
// open until libusb's handle is closed, as libusb requires.
class DeviceHandle_Libusb final : public HostDeviceHandle
{
public:
    DeviceHandle_Libusb(int fd, libusb_device_handle* handle) : m_fd(fd), m_handle(handle) {}

    ~DeviceHandle_Libusb() override
    {
        for (const std::uint8_t number : m_claimed)
        {
            libusb_release_interface(m_handle.get(), number);
        }
        m_handle.reset(); // before the node closes
    }

    HostStatus ClaimInterface(std::uint8_t interfaceNumber) override
    {
        if (std::find(m_claimed.begin(), m_claimed.end(), interfaceNumber) != m_claimed.end())
        {
            return HostStatus::kSuccess;
        }
        const HostStatus status =
            StatusOfLibusbError(libusb_claim_interface(m_handle.get(), interfaceNumber));
        if (status == HostStatus::kSuccess)
        {
            m_claimed.push_back(interfaceNumber);
        }
        return status;
    }

    void ReleaseInterface(std::uint8_t interfaceNumber) noexcept override
    {
        const auto found = std::find(m_claimed.begin(), m_claimed.end(), interfaceNumber);
        if (found != m_claimed.end())
        {
            libusb_release_interface(m_handle.get(), interfaceNumber);
            m_claimed.erase(found);
        }
    }

    HostSpeed GetSpeed() override
    {
        return SpeedOfLibusb(libusb_get_device_speed(libusb_get_device(m_handle.get())));
    }

    HostStatus GetInterfaceSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting,
                                   HostInterfaceInfo& setting) override
    {
        libusb_config_descriptor* raw = nullptr;
        const int result = libusb_get_active_config_descriptor(libusb_get_device(m_handle.get()), &raw);
        if (result != LIBUSB_SUCCESS)
        {
            return StatusOfLibusbError(result);
        }
        const std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config(raw);
        for (int i = 0; i < config->bNumInterfaces; ++i)
        {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a)
            {
                const libusb_interface_descriptor& candidate = interface.altsetting[a];
                if (candidate.bInterfaceNumber == interfaceNumber &&
                    candidate.bAlternateSetting == alternateSetting)
                {
                    setting = InterfaceSettingInfo(candidate);
                    return HostStatus::kSuccess;
                }
            }
        }
        return HostStatus::kNotFound;
    }

    HostStatus SetAlternateSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) override
    {
        return StatusOfLibusbError(
            libusb_set_interface_alt_setting(m_handle.get(), interfaceNumber, alternateSetting));
    }

    std::unique_ptr<HostBulkTransfer> CreateBulkTransfer(std::uint8_t endpointAddress,
                                                         HostTransferListener& listener) override
    {
        return std::make_unique<BulkTransfer_Libusb>(m_handle.get(), endpointAddress, listener);
    }

private:
    UniqueFd m_fd; // declared first: closed last
    DeviceHandlePtr m_handle;
    std::vector<std::uint8_t> m_claimed; // interfaces this handle claimed
};

// The location of a libusb device; false for root hubs and unreadable paths.
bool LocationOfDevice(libusb_device* device, HostDeviceLocation& location)
{
    std::uint8_t ports[kMaxPortDepth];
    const int count = libusb_get_port_numbers(device, ports, static_cast<int>(kMaxPortDepth));
    if (count <= 0)
    {
        return false;
    }
    location.busNumber = libusb_get_bus_number(device);
    location.portNumbers.assign(ports, ports + count);
    location.deviceAddress = libusb_get_device_address(device);
    return true;
}

// One string descriptor's text; empty when the device does not answer it.
std::string ReadStringDescriptor(libusb_device_handle* handle, std::uint8_t index, std::uint16_t languageId)
{
    std::uint8_t bytes[255];
    const int count = libusb_get_string_descriptor(handle, index, languageId, bytes, sizeof bytes);
    if (count <= 0)
    {
        return {};
    }
    return DecodeStringDescriptor(std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(count)))
        .value_or(std::string());
}

// The three texts of a device from its string descriptors, in its first
// language. A device that cannot be opened keeps empty texts.
void ReadTexts(libusb_device* device, const libusb_device_descriptor& descriptor, HostDeviceInfo& info)
{
    if (descriptor.iManufacturer == 0 && descriptor.iProduct == 0 && descriptor.iSerialNumber == 0)
    {
        return;
    }
    libusb_device_handle* raw = nullptr;
    const int result = libusb_open(device, &raw);
    if (result != LIBUSB_SUCCESS)
    {
        Q7::Universal::LogDebug(L"The texts of USB device %hs cannot be read: %hs",
                                info.location.PortPath().c_str(), LibusbErrorText(result).c_str());
        return;
    }
    const DeviceHandlePtr handle(raw);
    std::uint8_t bytes[255];
    const int count = libusb_get_string_descriptor(handle.get(), 0, 0, bytes, sizeof bytes);
    const std::vector<std::uint16_t> languages = DecodeLanguageIds(
        std::span<const std::uint8_t>(bytes, count > 0 ? static_cast<std::size_t>(count) : 0));
    const std::uint16_t language = languages.empty() ? kDefaultLanguageId : languages.front();
    HostDeviceDescription& d = info.description;
    if (descriptor.iManufacturer != 0)
    {
        d.manufacturer = ReadStringDescriptor(handle.get(), descriptor.iManufacturer, language);
    }
    if (descriptor.iProduct != 0)
    {
        d.product = ReadStringDescriptor(handle.get(), descriptor.iProduct, language);
    }
    if (descriptor.iSerialNumber != 0)
    {
        d.serialNumber = ReadStringDescriptor(handle.get(), descriptor.iSerialNumber, language);
    }
}

// The interfaces of the active configuration (alternate setting 0 of each);
// false with readError set when they cannot be read. An unconfigured device
// has none.
bool ReadInterfaces(libusb_device* device, HostDeviceInfo& info)
{
    libusb_config_descriptor* raw = nullptr;
    const int result = libusb_get_active_config_descriptor(device, &raw);
    if (result == LIBUSB_ERROR_NOT_FOUND)
    {
        return true;
    }
    if (result != LIBUSB_SUCCESS)
    {
        info.readError = "libusb_get_active_config_descriptor() failed: " + LibusbErrorText(result);
        return false;
    }
    const std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config(raw);
    for (int i = 0; i < config->bNumInterfaces; ++i)
    {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1)
        {
            continue;
        }
        info.description.interfaces.push_back(InterfaceSettingInfo(interface.altsetting[0]));
    }
    std::sort(info.description.interfaces.begin(), info.description.interfaces.end(),
              [](const HostInterfaceInfo& a, const HostInterfaceInfo& b) { return a.number < b.number; });
    return true;
}

bool LocationLess(const HostDeviceLocation& a, const HostDeviceLocation& b)
{
    return a.busNumber != b.busNumber ? a.busNumber < b.busNumber : a.portNumbers < b.portNumbers;
}

} // namespace

// ---------------------------------------------------------------- context

struct HostBackend_Libusb::Context
{
    std::unique_ptr<libusb_context, ContextDeleter> context;
    libusb_hotplug_callback_handle hotplug = 0;
    bool hotplugRegistered = false;

    // libusb's hotplug callback, on the event thread. For a device that left
    // libusb allows only the device descriptor to be read: so both kinds only
    // report, and the monitors refresh their lists.
    static int LIBUSB_CALL OnHotplug(libusb_context* /*context*/, libusb_device* device,
                                     libusb_hotplug_event event, void* user)
    {
        HostChange change;
        change.kind =
            event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? HostChangeKind::kArrived : HostChangeKind::kLeft;
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS)
        {
            change.idsKnown = true;
            change.vendorId = descriptor.idVendor;
            change.productId = descriptor.idProduct;
        }
        static_cast<HostBackend_Libusb*>(user)->Report(change);
        return 0; // stay registered
    }
};

// ---------------------------------------------------------------- backend

HostBackend_Libusb::HostBackend_Libusb() : HostBackend_Libusb(Options()) {}

HostBackend_Libusb::HostBackend_Libusb(Options options) : m_options(std::move(options)) {}

HostBackend_Libusb::~HostBackend_Libusb()
{
    ShutDown();
}

void HostBackend_Libusb::DoStart()
{
    auto context = std::make_unique<Context>();
    libusb_context* raw = nullptr;
    const int result = libusb_init(&raw);
    if (result != LIBUSB_SUCCESS)
    {
        ThrowStartError("libusb_init() failed: " + LibusbErrorText(result));
    }
    context->context.reset(raw);
    m_pContext = std::move(context);
    try
    {
        m_sysfsAvailable = Sysfs::IsAvailable(m_options.sysfsRoot);
        m_lastLook = LookAtDevices();
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0)
        {
            const int hotplug = libusb_hotplug_register_callback(
                raw,
                static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                  LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, &Context::OnHotplug, this, &m_pContext->hotplug);
            m_pContext->hotplugRegistered = hotplug == LIBUSB_SUCCESS;
            if (hotplug != LIBUSB_SUCCESS)
            {
                LogWarning(
                    L"USB hotplug events are not available (%hs); attached devices are checked every %u ms.",
                    LibusbErrorText(hotplug).c_str(), m_options.safetyRefreshMs);
            }
        }
        m_eventThread.Start(ThreadFunctor(this, &HostBackend_Libusb::EventLoop), nullptr, 0);
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        DoStop();
        ThrowStartError(
            Q7::Universal::ToNarrow(Q7::Universal::FormatErrorText(error, nullptr).c_str()).c_str());
    }
    catch (const std::exception& exception)
    {
        DoStop();
        ThrowStartError(exception.what());
    }
}

void HostBackend_Libusb::DoStop() noexcept
{
    if (!m_pContext)
    {
        return;
    }
    libusb_context* const context = m_pContext->context.get();
    if (m_pContext->hotplugRegistered)
    {
        libusb_hotplug_deregister_callback(context, m_pContext->hotplug);
        m_pContext->hotplugRegistered = false;
    }
    m_eventThread.GetStopEvent().Set();
    libusb_interrupt_event_handler(context);
    while (!m_eventThread.Stop(kThreadStopWaitMs))
    {
        LogWarning(L"Thread '%ls' taking an unexpectedly long time to stop.", m_eventThread.GetName());
    }
    m_eventThread.Close();
    m_pContext.reset(); // libusb_exit, after its last event was handled
}

void HostBackend_Libusb::EventLoop(Thread_Posix& thread, void* /*parameter*/)
{
    thread.GetReadyEvent().Set();
    libusb_context* const context = m_pContext->context.get();
    std::uint64_t nextRefresh = GetTickCountMs() + m_options.safetyRefreshMs;
    bool failureLogged = false;
    while (!thread.IsStopRequested())
    {
        const std::uint64_t now = GetTickCountMs();
        if (now >= nextRefresh)
        {
            SafetyRefresh();
            nextRefresh = now + m_options.safetyRefreshMs;
            continue;
        }
        const std::uint64_t waitMs = std::min(nextRefresh - now, kMaxEventWaitMs);
        timeval timeout{static_cast<time_t>(waitMs / 1000), static_cast<suseconds_t>((waitMs % 1000) * 1000)};
        const int result = libusb_handle_events_timeout_completed(context, &timeout, nullptr);
        if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_INTERRUPTED && result != LIBUSB_ERROR_TIMEOUT)
        {
            if (!failureLogged)
            {
                LogWarning(L"USB event handling failed: %hs", LibusbErrorText(result).c_str());
                failureLogged = true;
            }
            WaitForObject(&thread.GetStopEvent(), kEventFailurePauseMs);
        }
    }
}

std::vector<Sysfs::AttachedDevice> HostBackend_Libusb::LookAtDevices() const
{
    if (m_sysfsAvailable)
    {
        return Sysfs::ScanDevices(m_options.sysfsRoot);
    }
    std::vector<Sysfs::AttachedDevice> devices;
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(m_pContext->context.get(), &raw);
    if (count < 0)
    {
        return devices;
    }
    const std::unique_ptr<libusb_device*, DeviceListDeleter> list(raw);
    for (ssize_t i = 0; i < count; ++i)
    {
        Sysfs::AttachedDevice device;
        libusb_device_descriptor descriptor{};
        if (LocationOfDevice(raw[i], device.location) &&
            libusb_get_device_descriptor(raw[i], &descriptor) == LIBUSB_SUCCESS)
        {
            device.vendorId = descriptor.idVendor;
            device.productId = descriptor.idProduct;
            devices.push_back(std::move(device));
        }
    }
    std::sort(devices.begin(), devices.end(),
              [](const auto& a, const auto& b) { return LocationLess(a.location, b.location); });
    return devices;
}

void HostBackend_Libusb::SafetyRefresh()
{
    std::vector<Sysfs::AttachedDevice> look = LookAtDevices();
    const auto report = [this](HostChangeKind kind, const Sysfs::AttachedDevice& device) {
        Report(HostChange{kind, device.idsKnown, device.vendorId, device.productId});
    };
    // The same device: same place, address and ids. One that got its
    // interfaces since the last look is reported as arrived again, so that a
    // device first seen while the kernel was still adding it is looked at
    // once it is complete.
    const auto sameDevice = [](const Sysfs::AttachedDevice& a, const Sysfs::AttachedDevice& b)
    { return a.location == b.location && a.vendorId == b.vendorId && a.productId == b.productId; };
    for (const Sysfs::AttachedDevice& before : m_lastLook)
    {
        if (std::none_of(look.begin(), look.end(),
                         [&](const Sysfs::AttachedDevice& now) { return sameDevice(before, now); }))
        {
            report(HostChangeKind::kLeft, before);
        }
    }
    for (const Sysfs::AttachedDevice& now : look)
    {
        if (std::find(m_lastLook.begin(), m_lastLook.end(), now) == m_lastLook.end())
        {
            report(HostChangeKind::kArrived, now);
        }
    }
    m_lastLook = std::move(look);
}

std::vector<HostDeviceInfo> HostBackend_Libusb::List()
{
    RequireStarted();
    if (m_sysfsAvailable)
    {
        return Sysfs::ListDevices(m_options.sysfsRoot);
    }
    return ListWithLibusb();
}

std::vector<HostDeviceInfo> HostBackend_Libusb::ListWithLibusb() const
{
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(m_pContext->context.get(), &raw);
    if (count < 0)
    {
        const StdExceptionError error(std::runtime_error("libusb_get_device_list() failed: " +
                                                         LibusbErrorText(static_cast<int>(count))));
        Q7::Universal::LogError(error);
        Q7::Universal::ThrowStdExceptionError(error);
    }
    const std::unique_ptr<libusb_device*, DeviceListDeleter> list(raw);
    std::vector<HostDeviceInfo> devices;
    for (ssize_t i = 0; i < count; ++i)
    {
        libusb_device* const device = raw[i];
        HostDeviceInfo info;
        if (!LocationOfDevice(device, info.location))
        {
            continue;
        }
        libusb_device_descriptor descriptor{};
        const int result = libusb_get_device_descriptor(device, &descriptor);
        if (result != LIBUSB_SUCCESS)
        {
            info.readError = "libusb_get_device_descriptor() failed: " + LibusbErrorText(result);
        }
        else if (ReadInterfaces(device, info))
        {
            HostDeviceDescription& d = info.description;
            d.vendorId = descriptor.idVendor;
            d.productId = descriptor.idProduct;
            d.deviceRelease = descriptor.bcdDevice;
            d.deviceClass = descriptor.bDeviceClass;
            d.speed = SpeedOfLibusb(libusb_get_device_speed(device));
            ReadTexts(device, descriptor, info);
        }
        devices.push_back(std::move(info));
    }
    std::sort(devices.begin(), devices.end(),
              [](const auto& a, const auto& b) { return LocationLess(a.location, b.location); });
    return devices;
}

bool HostBackend_Libusb::IsAttached(const HostDeviceLocation& location)
{
    RequireStarted();
    if (m_sysfsAvailable)
    {
        const std::optional<std::uint8_t> address = Sysfs::ReadDeviceAddress(m_options.sysfsRoot, location);
        return address && *address == location.deviceAddress;
    }
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(m_pContext->context.get(), &raw);
    if (count < 0)
    {
        return true; // unknown: the failure is reported as it is
    }
    const std::unique_ptr<libusb_device*, DeviceListDeleter> list(raw);
    for (ssize_t i = 0; i < count; ++i)
    {
        HostDeviceLocation found;
        if (LocationOfDevice(raw[i], found) && found == location)
        {
            return true;
        }
    }
    return false;
}

HostStatus HostBackend_Libusb::Open(const HostDeviceLocation& location,
                                    std::unique_ptr<HostDeviceHandle>& handle)
{
    RequireStarted();
    handle.reset();
    if (location.portNumbers.empty() || location.deviceAddress == 0)
    {
        return HostStatus::kNoDevice;
    }
    if (m_sysfsAvailable)
    {
        const std::optional<std::uint8_t> address = Sysfs::ReadDeviceAddress(m_options.sysfsRoot, location);
        if (!address || *address != location.deviceAddress)
        {
            return HostStatus::kNoDevice;
        }
    }
    char node[32];
    std::snprintf(node, sizeof node, "/%03u/%03u", unsigned{location.busNumber},
                  unsigned{location.deviceAddress});
    const std::string path = m_options.usbfsRoot + node;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        return StatusOfErrno(errno);
    }
    libusb_device_handle* raw = nullptr;
    const int result = libusb_wrap_sys_device(m_pContext->context.get(), static_cast<intptr_t>(fd), &raw);
    if (result != LIBUSB_SUCCESS)
    {
        ::close(fd);
        return StatusOfLibusbError(result);
    }
    handle = std::make_unique<DeviceHandle_Libusb>(fd, raw);
    return HostStatus::kSuccess;
}

} // namespace Q7::Platform::Usb
