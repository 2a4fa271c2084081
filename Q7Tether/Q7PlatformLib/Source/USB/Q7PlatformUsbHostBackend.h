#pragma once
// The USB host backend: the one seam between the library's USB classes and the
// machine's USB stack. It lists the attached devices with their descriptors
// and texts, opens a device and claims an interface, and reports arrivals and
// removals to listeners.
//
// Two implementations exist: libusb-1.0 (HostBackend_Libusb, the default) and
// the in-process virtual USB bus of the tests (VirtualUsbBus, a target of its
// own). The process uses one backend, chosen once before any USB class of the
// library touches it (InstallHostBackend, GetHostBackend).
//
// The records here use only standard types, so that code outside the library
// (the camera simulator on the virtual bus) can describe devices with them.
//
// Asynchronous bulk transfers belong to HostDeviceHandle: an opened device
// with its claimed interfaces is where they are made (CreateBulkTransfer),
// submitted and cancelled; a listener hears of each transfer's end.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Q7::Platform::Usb
{

/// Speed at which a device runs on its bus.
enum class HostSpeed : std::uint8_t
{
    kUnknown,
    kLow,       ///< 1.5 Mbit/s
    kFull,      ///< 12 Mbit/s
    kHigh,      ///< 480 Mbit/s
    kSuper,     ///< 5 Gbit/s
    kSuperPlus, ///< 10 Gbit/s and above
};

/// Transfer type in the low two bits of an endpoint's bmAttributes.
inline constexpr std::uint8_t kEndpointTypeMask = 0x03;
inline constexpr std::uint8_t kEndpointTypeBulk = 0x02;
/// Direction bit of an endpoint address: set for IN (device to host).
inline constexpr std::uint8_t kEndpointDirectionIn = 0x80;

/// One endpoint of an interface's alternate setting 0.
struct HostEndpointInfo
{
    std::uint8_t address = 0;        ///< number in bits 0-3, kEndpointDirectionIn for IN
    std::uint8_t attributes = 0;     ///< bmAttributes; transfer type in kEndpointTypeMask
    std::uint16_t maxPacketSize = 0; ///< bytes per packet (bits 0-10 of wMaxPacketSize)

    bool operator==(const HostEndpointInfo&) const = default;
};

/// One interface of the active configuration, as one of its alternate
/// settings (0 in listings).
struct HostInterfaceInfo
{
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t interfaceSubClass = 0;
    std::uint8_t interfaceProtocol = 0;
    std::vector<HostEndpointInfo> endpoints; ///< in descriptor order

    bool operator==(const HostInterfaceInfo&) const = default;
};

/// What a device is: its ids, class, speed, texts and interfaces. The texts
/// are UTF-8; a text the device does not have is empty.
struct HostDeviceDescription
{
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t deviceRelease = 0; ///< bcdDevice
    std::uint8_t deviceClass = 0;
    HostSpeed speed = HostSpeed::kUnknown;
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    std::vector<HostInterfaceInfo> interfaces; ///< active configuration, by interface number

    bool operator==(const HostDeviceDescription&) const = default;
};

/// Where a device is attached. The address is the one the system gave the
/// device when it was attached: a device taken out and put back (or replaced)
/// in the same port gets another one.
struct HostDeviceLocation
{
    std::uint8_t busNumber = 0;
    std::vector<std::uint8_t> portNumbers; ///< hub ports from the root hub down; 1 to 7 entries
    std::uint8_t deviceAddress = 0;

    /// The bus and port path as the system names it: "1-4" or "2-1.3.2"; for a
    /// location without ports, the bus number alone. Reentrant.
    std::string PortPath() const;

    bool operator==(const HostDeviceLocation&) const = default;
};

/// Deepest hub chain a USB port path can have.
inline constexpr std::size_t kMaxPortDepth = 7;

/// One attached device as a listing found it.
struct HostDeviceInfo
{
    HostDeviceLocation location;
    HostDeviceDescription description;
    /// Why the device's descriptors could not be read; empty when they were.
    /// Only the location is meaningful when it is not empty.
    std::string readError;
};

/// The device path of an interface of an attached device:
/// "<port path>@<address>:<interface>", for example "1-4.2@17:0". It names
/// the device as attached (another attachment gives another path) and the
/// interface to claim. Reentrant.
std::string FormatDevicePath(const HostDeviceLocation& location, std::uint8_t interfaceNumber);

/// The parts of a device path.
struct DevicePathParts
{
    HostDeviceLocation location;
    std::uint8_t interfaceNumber = 0;
};

/// Reads a device path written by FormatDevicePath for a location with ports;
/// none for any other text (also for numbers with leading zeros or out of
/// range: bus 1-255, ports 1-255, address 1-127, interface 0-255), so that
/// each path has exactly one spelling. Reentrant.
std::optional<DevicePathParts> ParseDevicePath(std::string_view path);

/// Outcome of the backend's device operations. How a device treats each
/// failure (a disconnection, an error of one transfer, an ordinary error):
/// UsbFailure in Q7PlatformUsbDevice_Libusb.h.
enum class HostStatus : std::uint8_t
{
    kSuccess,
    kNoDevice,     ///< the device is not attached (any more)
    kAccessDenied, ///< the user may not open the device (see the udev rule in the README)
    kBusy,         ///< the interface is claimed by someone else
    kNotFound,     ///< no such interface
    kNoMemory,     ///< also: the system's cap on USB transfer memory is reached
    kIoError,      ///< any other failure of the system's USB stack
    kCancelled,    ///< a transfer ended by Cancel (with the bytes moved before)
    kStall,        ///< the endpoint answered with a stall (halt)
    kOverflow,     ///< the device sent more than the transfer's buffer holds
};

/// The status's name, "no device" and the like, for log lines. Thread-safe.
const char* HostStatusText(HostStatus status) noexcept;

/// The errno value that stands for a failure status (ENODEV, EACCES, EBUSY,
/// ENOENT, ENOMEM, EIO, ECANCELED, EPIPE, EOVERFLOW); 0 for kSuccess.
/// Thread-safe.
int HostStatusErrno(HostStatus status) noexcept;

/// How one submission of a transfer ended.
struct HostTransferResult
{
    /// kSuccess (complete: an IN transfer ends on a full buffer, a short or a
    /// zero-length packet), kCancelled, kNoDevice, kStall, kOverflow or kIoError.
    HostStatus status = HostStatus::kSuccess;
    /// Bytes moved before the end, whatever the status.
    std::uint32_t actualLength = 0;

    bool operator==(const HostTransferResult&) const = default;
};

/// Hears of the ends of a transfer's submissions.
class HostTransferListener
{
public:
    virtual ~HostTransferListener();

    /// Called once for every submission that Submit accepted, when it ended
    /// (completed, failed or cancelled), on a backend thread (libusb: its event
    /// thread; virtual bus: its completion thread), never inside Submit. Must
    /// return quickly, must not throw and must not call the backend. Once it
    /// returns (and from the moment it is called, for the transfer's buffer) the
    /// backend no longer touches the transfer: its owner may submit it again or
    /// destroy it.
    virtual void OnTransferDone(const HostTransferResult& result) noexcept = 0;
};

/// One asynchronous bulk transfer on one endpoint of an open device, submitted
/// again and again. Its owner calls Submit and Cancel from one thread at a
/// time.
class HostBulkTransfer
{
public:
    /// The transfer must not be in flight (submitted, its listener not yet
    /// called).
    virtual ~HostBulkTransfer();

    HostBulkTransfer(const HostBulkTransfer&) = delete;
    HostBulkTransfer& operator=(const HostBulkTransfer&) = delete;

    /// Starts the transfer: an IN endpoint reads up to length bytes into buffer,
    /// an OUT endpoint sends the length bytes of buffer. The buffer stays in use
    /// until the listener is called. Answers kSuccess (the listener will be
    /// called exactly once), or kNoDevice, kNoMemory or kIoError, with nothing in
    /// flight. Never blocks for long. Not while in flight.
    virtual HostStatus Submit(std::uint8_t* buffer, std::uint32_t length) = 0;

    /// Asks for the end of the transfer in flight: its listener then reports
    /// kCancelled with the bytes moved so far (or its ordinary end, when that
    /// came first). Returns at once; nothing when not in flight. Never throws.
    virtual void Cancel() noexcept = 0;

protected:
    HostBulkTransfer() = default;
};

/// An opened device. Closing (destruction) releases every interface it claimed;
/// every transfer made on it must be destroyed first. One owner; its calls may
/// come from any one thread at a time, except the transfers', which belong to
/// their own owners.
class HostDeviceHandle
{
public:
    virtual ~HostDeviceHandle();

    /// The speed the device runs at. Never blocks for long.
    virtual HostSpeed GetSpeed() = 0;

    /// The endpoints and class of an interface of the active configuration as
    /// the given alternate setting. Answers kSuccess, kNotFound (no such
    /// interface or setting), kNoDevice or kIoError. Blocks briefly.
    virtual HostStatus GetInterfaceSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting,
                                           HostInterfaceInfo& setting) = 0;

    /// Selects an alternate setting of an interface this handle claimed.
    /// Answers kSuccess, kNotFound (no such interface or setting, or not
    /// claimed), kNoDevice or kIoError. Blocks briefly.
    virtual HostStatus SetAlternateSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) = 0;

    /// A new transfer on the bulk endpoint with this address (direction bit
    /// included) of a claimed interface, reporting to listener (which must
    /// outlive it). Never null. Raises std::bad_alloc when no transfer can be
    /// made.
    virtual std::unique_ptr<HostBulkTransfer> CreateBulkTransfer(std::uint8_t endpointAddress,
                                                                 HostTransferListener& listener) = 0;

    /// Claims the interface for this handle. Answers kSuccess, kNoDevice (the
    /// device left), kNotFound (no such interface), kBusy (claimed elsewhere) or
    /// kIoError. Claiming an interface twice through one handle succeeds. Blocks
    /// briefly.
    virtual HostStatus ClaimInterface(std::uint8_t interfaceNumber) = 0;

    /// Releases a claimed interface; nothing for one this handle does not hold.
    /// Never throws.
    virtual void ReleaseInterface(std::uint8_t interfaceNumber) noexcept = 0;
};

/// Kinds of change a backend reports.
enum class HostChangeKind : std::uint8_t
{
    kArrived,
    kLeft,
};

/// One reported change. Its ids say which device it was, when known.
struct HostChange
{
    HostChangeKind kind = HostChangeKind::kArrived;
    bool idsKnown = false; ///< false: the device's ids could not be read
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

/// Receives a backend's change reports.
class HostChangeListener
{
public:
    virtual ~HostChangeListener();

    /// Called on a backend thread (libusb: its event thread; virtual bus: the
    /// thread that plugs or unplugs, or that releases held reports), possibly on
    /// several threads at once. Must return quickly, must not throw, and must not
    /// call back into the backend.
    virtual void OnHostChange(const HostChange& change) noexcept = 0;
};

/// The host backend. Every member is thread-safe unless said otherwise.
///
/// Usage is counted: every Start needs one Stop; the first Start brings the
/// backend up (libusb: context, hotplug, event thread), the last Stop takes it
/// down. List and Open need a started backend; an opened HostDeviceHandle keeps
/// needing it until it is destroyed.
class HostBackend
{
public:
    virtual ~HostBackend();

    HostBackend(const HostBackend&) = delete;
    HostBackend& operator=(const HostBackend&) = delete;

    /// Counts one user; the first brings the backend up. Blocks while it does.
    /// Raises StdExceptionError (logged) with a text that says what failed when
    /// the backend cannot come up; the count is then unchanged.
    void Start();

    /// Drops one user; the last takes the backend down (no change reports after
    /// that). Nothing when not started. Never from a listener. Never throws.
    void Stop() noexcept;

    /// The number of users (Starts not yet matched by a Stop).
    std::uint32_t GetStartCount() const;

    /// Every attached device except root hubs, ordered by location. A device
    /// whose descriptors cannot be read is listed with its readError set.
    /// Raises ModuleError 0x650066 (plain) when the backend is not started, and
    /// StdExceptionError (logged) when the system's device list cannot be read.
    /// Blocks.
    virtual std::vector<HostDeviceInfo> List() = 0;

    /// Opens the device attached at location (its address must match). On
    /// kSuccess, handle holds the open device; otherwise handle is left empty.
    /// Answers kNoDevice (not attached, or another device now), kAccessDenied,
    /// kBusy, kNoMemory or kIoError. Raises ModuleError 0x650066 (plain) when the
    /// backend is not started. Blocks briefly.
    virtual HostStatus Open(const HostDeviceLocation& location,
                            std::unique_ptr<HostDeviceHandle>& handle) = 0;

    /// True while a device is attached at location with location's address
    /// (the system still has it; a device taken out, or replaced in the same
    /// port, answers false). Asked after a transfer error, which a pulled cable
    /// causes before the system notices the removal. Raises ModuleError
    /// 0x650066 (plain) when the backend is not started. Blocks briefly.
    virtual bool IsAttached(const HostDeviceLocation& location) = 0;

    /// Adds a listener for change reports (nothing when it is already added).
    void AddListener(HostChangeListener& listener);

    /// Removes a listener. Once it returns, the listener is not running on any
    /// other thread and will not be called again, so its owner may be destroyed.
    /// Blocks while a report is being delivered to it. From inside the listener's
    /// own call it does not wait for that call.
    void RemoveListener(HostChangeListener& listener);

protected:
    HostBackend();

    /// Brings the backend up; called under the start lock by the first Start.
    /// Raises StdExceptionError as Start describes.
    virtual void DoStart() = 0;

    /// Takes the backend down; called under the start lock by the last Stop (and
    /// by a destructor that finds the backend still started). Never throws.
    virtual void DoStop() noexcept = 0;

    /// Delivers a report to every listener, in the order they were added, on
    /// the calling thread. Never throws.
    void Report(const HostChange& change) noexcept;

    /// Raises ModuleError 0x650066 (plain) unless the backend is started.
    void RequireStarted() const;

    /// Takes a still started backend down whatever its count. Derived classes
    /// call it first in their destructors. Never throws.
    void ShutDown() noexcept;

private:
    struct ListenerEntry;

    mutable std::mutex m_startMutex; // guards m_startCount; held while the backend comes up or goes down
    std::uint32_t m_startCount = 0;

    std::mutex m_listenerMutex;                              // guards m_listeners and the entries' callers
    std::vector<std::shared_ptr<ListenerEntry>> m_listeners; // in the order they were added
    std::condition_variable m_listenerIdle;                  // signalled when a call to a listener ends
};

/// Holds one Start of a backend for its lifetime. Lives on one thread.
class ScopedHostBackendStart
{
public:
    /// Starts the backend (raises as HostBackend::Start).
    explicit ScopedHostBackendStart(HostBackend& backend);
    ~ScopedHostBackendStart();

    ScopedHostBackendStart(const ScopedHostBackendStart&) = delete;
    ScopedHostBackendStart& operator=(const ScopedHostBackendStart&) = delete;

private:
    HostBackend& m_backend;
};

/// Makes backend the process's host backend. The choice is made once per
/// process and must come before anything asked for the backend: a device
/// manager, a device monitor or enumerator built without a backend of its own.
/// The backend lives until the process ends. Raises ModuleError 0x65006A
/// (logged, "USB host backend already chosen.") when a backend was chosen
/// before (installed, or the libusb default taken), and ModuleError 0x650001
/// (logged) for a null backend. Thread-safe.
void InstallHostBackend(std::unique_ptr<HostBackend> backend);

/// The process's host backend: the installed one, else (first call) a new
/// libusb backend, which then stays the choice. Thread-safe.
HostBackend& GetHostBackend();

} // namespace Q7::Platform::Usb
