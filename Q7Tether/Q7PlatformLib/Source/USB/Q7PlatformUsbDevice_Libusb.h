#pragma once
// One opened USB device interface and its bulk endpoint pairs, over the host
// backend (libusb, or the virtual bus in tests).
//
// Device_Libusb opens the device a DeviceMoniker_Libusb names, claims its
// interface and selects an alternate setting. BulkEndpoint_Libusb is one
// bidirectional bulk endpoint pair of that device (the OUT and the IN endpoint
// of one number): reads come from a ring of asynchronous IN transfers that
// stay queued between calls, so the device never waits for the host to post a
// buffer; each write is one asynchronous OUT transfer. Reads and writes end by
// completion, time-out, closing, the device's disconnection or any further wait
// object of the caller.
//
// Every operation reports a UsbResult or throws a UniversalError. Whether a
// time-out or a disconnection is a result or thrown is a setting; the KPX
// transport makes both results.

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformUsbDeviceMoniker_Libusb.h"
#include "Q7PlatformUsbHostBackend.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace Q7::Platform::Usb
{

/// Results of the device and endpoint operations (the numbers 0, 2, 3 and 4
/// mean the same as for sockets).
enum EnumUsbResult : std::uint32_t
{
    kUsbResult_Success = 0,
    kUsbResult_Aborted = 1,      ///< one of the caller's further wait objects was signalled
    kUsbResult_Timeout = 2,      ///< timed out (when the time-out-as-result flag is set)
    kUsbResult_Closed = 3,       ///< the endpoint or the device is closed, or was closed meanwhile
    kUsbResult_Disconnected = 4, ///< disconnected (when the disconnect-as-result flag is set)
};

/// An EnumUsbResult value.
using UsbResult = std::uint32_t;

/// USB generation of an opened device (Device_Libusb::GetUsbGeneration).
enum EnumUsbGeneration : std::uint32_t
{
    kUsbGeneration_Unknown = 0,
    kUsbGeneration_Usb2 = 1,
    kUsbGeneration_Usb3 = 2,
};

/// How a device treats a backend status that ended one of its calls or
/// transfers. This is the one place where the statuses are sorted; the
/// backends map their system's errors to statuses (see HostStatus, and the
/// libusb backend's transfer mapping):
///
/// | status         | libusb (usbfs errno)                                    | class          |
/// |----------------|---------------------------------------------------------|----------------|
/// | kNoDevice      | ERROR_NO_DEVICE, TRANSFER_NO_DEVICE (ENODEV, ESHUTDOWN) | kDisconnect    |
/// | kIoError       | TRANSFER_ERROR (EPROTO, EILSEQ, ETIME), ERROR_IO, other | kTransferError |
/// | kStall         | TRANSFER_STALL (EPIPE)                                  | kTransferError |
/// | kOverflow      | TRANSFER_OVERFLOW (EOVERFLOW: babble)                   | kTransferError |
/// | kAccessDenied  | ERROR_ACCESS                                            | kError         |
/// | kBusy          | ERROR_BUSY                                              | kError         |
/// | kNotFound      | ERROR_NOT_FOUND                                         | kError         |
/// | kNoMemory      | ERROR_NO_MEM                                            | kError         |
/// | kCancelled     | TRANSFER_CANCELLED                                      | kError         |
///
/// - kDisconnect: the device is gone: its disconnected event is set and the
///   call answers 4, or raises ModuleError 0x650070 "USB device." (the
///   device's disconnect-as-result setting).
/// - kTransferError: a pulled cable ends transfers so before the system
///   notices the removal, so the backend is asked whether the device is still
///   attached (HostBackend::IsAttached). Gone: as kDisconnect. Still there: an
///   error of that transfer only, raised once as SystemError_Posix "USB
///   error." with the status's errno (EIO, EPIPE, EOVERFLOW) by the call that
///   met it; a read's transfer is queued again first, so later reads go on.
/// - kError: SystemError_Posix "USB error." with the status's errno (kNoMemory
///   on a submit has a path of its own, see BulkEndpoint_Libusb).
enum class UsbFailure : std::uint8_t
{
    kDisconnect,
    kTransferError,
    kError,
};

/// The class of a failure status (kSuccess answers kError). Thread-safe.
UsbFailure UsbFailureOf(HostStatus status) noexcept;

/// A lost USB link, carrying only its text. Nothing in the platform library
/// raises it; the KPX device manager passes it on.
class LinkException : public std::runtime_error
{
public:
    explicit LinkException(const char* text) : std::runtime_error(text) {}
    LinkException(const LinkException&) = default;
    ~LinkException() override;
};

/// An opened USB device. See Device_Libusb.
class DeviceInterface
{
public:
    virtual UsbResult Open(const DeviceMoniker_Libusb& moniker, std::uint8_t alternateSetting) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual bool IsConnected() const = 0;
    virtual EventCondition_Posix& GetClosedEvent() = 0;
    virtual EventCondition_Posix& GetDisconnectedEvent() = 0;
    virtual const DeviceMoniker_Libusb& GetMoniker() const = 0;
    virtual std::uint8_t GetAlternateSetting() const = 0;
    virtual void SetDisconnectAsResult(std::uint32_t asResult) = 0;
    virtual std::uint32_t GetDisconnectAsResult() const = 0;
    virtual void SetTimeoutAsResult(std::uint32_t asResult) = 0;
    virtual std::uint32_t GetTimeoutAsResult() const = 0;
    virtual std::uint32_t GetUsbGeneration() const = 0;
    virtual ~DeviceInterface();
};

/// An endpoint of an opened device. See BulkEndpoint_Libusb.
class EndpointInterface
{
public:
    virtual UsbResult Open(std::uint8_t endpointNumber) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual bool IsConnected() const = 0;
    virtual EventCondition_Posix& GetClosedEvent() = 0;
    virtual EventCondition_Posix& GetDisconnectedEvent() = 0;
    virtual std::uint8_t GetEndpointNumber() const = 0;
    virtual void SetTimeoutAsResult(std::uint32_t asResult) = 0;
    virtual std::uint32_t GetTimeoutAsResult() const = 0;
    virtual ~EndpointInterface();
};

/// A bulk endpoint pair. See BulkEndpoint_Libusb.
class BulkEndpointInterface : public EndpointInterface
{
public:
    ~BulkEndpointInterface() override;
    virtual UsbResult Read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead,
                           const std::vector<BaseWaitObject*>* abortObjects, std::uint32_t timeoutMs) = 0;
    virtual UsbResult Write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten,
                            const std::vector<BaseWaitObject*>* abortObjects, std::uint32_t timeoutMs) = 0;
    virtual void SetLargeTransfers(bool large) = 0;
    /// Discards data waiting in the endpoint; true when done. This default does
    /// nothing and answers true.
    virtual bool Flush();
};

class BulkEndpoint_Libusb;

/// One USB device interface, opened through the host backend.
///
/// Life cycle: closed and disconnected (both events set) -> Open (claims the
/// interface, selects the alternate setting; holds one Start of the backend)
/// -> open and connected -> a call or transfer that finds the device gone (see
/// UsbFailure) sets the disconnected event (open but not connected) -> Close
/// sets both events, ends every transfer of its endpoints, releases the
/// interface and the backend.
///
/// Thread-safe: Open and Close are serialised; the events and queries may be
/// used from any thread. The device must outlive its endpoints.
class Device_Libusb final : public DeviceInterface
{
public:
    /// A closed device on the process's host backend (GetHostBackend).
    Device_Libusb();
    /// A closed device on the given backend, which must outlive it.
    explicit Device_Libusb(HostBackend& backend);
    /// Closes.
    ~Device_Libusb() override;

    Device_Libusb(const Device_Libusb&) = delete;
    Device_Libusb& operator=(const Device_Libusb&) = delete;

    /// Opens the device interface named by the moniker's device path (see
    /// FormatDevicePath) and selects the alternate setting. Answers 0, or 4
    /// when the device is not there (also for a path that names no device) and
    /// disconnect-as-result is set. Raises ModuleError 0x65006C when open;
    /// SystemError_Posix "USB error." (logged with the failing step: "USB
    /// device open failed." for EACCES when the user may not open the device,
    /// "libusb_claim_interface() failed." for EBUSY when another program holds
    /// it); ModuleError 0x650070 "USB device." for a missing device without
    /// disconnect-as-result; StdExceptionError when the backend cannot start.
    /// A failure leaves the device closed. Blocks.
    UsbResult Open(const DeviceMoniker_Libusb& moniker, std::uint8_t alternateSetting) override;

    /// Sets the closed and the disconnected event, ends every transfer of the
    /// endpoints (waiting for their ends; the endpoints read as closed after),
    /// releases the interface, closes the device and drops the backend's Start.
    /// Safe on a closed device; never throws. Blocks.
    void Close() override;

    /// The closed event is not set.
    bool IsOpen() const override { return !m_closedEvent.IsSet(); }
    /// Neither the closed nor the disconnected event is set.
    bool IsConnected() const override { return !m_closedEvent.IsSet() && !m_disconnectedEvent.IsSet(); }
    EventCondition_Posix& GetClosedEvent() override { return m_closedEvent; }
    EventCondition_Posix& GetDisconnectedEvent() override { return m_disconnectedEvent; }
    /// The moniker of the last Open. Not while Open runs.
    const DeviceMoniker_Libusb& GetMoniker() const override { return m_moniker; }
    std::uint8_t GetAlternateSetting() const override { return m_alternateSetting; }

    /// Whether a disconnection is the result 4 (non-zero) or thrown (0, the
    /// default). Thread-safe.
    void SetDisconnectAsResult(std::uint32_t asResult) override { m_disconnectAsResult = asResult; }
    std::uint32_t GetDisconnectAsResult() const override { return m_disconnectAsResult; }
    /// Whether a time-out is the result 2 (non-zero) or thrown (0, the
    /// default); copied into each endpoint when it is constructed. Thread-safe.
    void SetTimeoutAsResult(std::uint32_t asResult) override { m_timeoutAsResult = asResult; }
    std::uint32_t GetTimeoutAsResult() const override { return m_timeoutAsResult; }

    /// EnumUsbGeneration found at the last Open: high speed and faster give 1
    /// when the interface's first endpoint's maximum packet size is below 1024,
    /// else 2; low and full speed 1; an unknown speed 0.
    std::uint32_t GetUsbGeneration() const override { return m_usbGeneration; }

private:
    friend class BulkEndpoint_Libusb;

    // Disconnect handling: sets the disconnected event; answers 4 (logging
    // "USB device disconnected." when it had been connected) or throws
    // ModuleError 0x650070 "USB device.".
    UsbResult HandleDisconnect();
    // True when a failure status means the device is gone (see UsbFailure):
    // kDisconnect, or kTransferError while the backend no longer has the
    // device attached.
    bool IsGone(HostStatus status) noexcept;
    // Failure handling after a failed backend call: a status that means the
    // device is gone goes to the disconnect handling; any other status throws
    // SystemError_Posix "USB error." with its errno, logged with text.
    UsbResult HandleFailure(HostStatus status, const wchar_t* text);
    // Throws SystemError_Posix "USB error." with the status's errno, logged
    // with text.
    [[noreturn]] void ThrowFailure(HostStatus status, const wchar_t* text);
    // The non-throwing form: a status that means the device is gone marks it
    // disconnected; any other status is logged with text.
    void HandleFailureQuietly(HostStatus status, const wchar_t* text) noexcept;
    // Sets the disconnected event from a transfer's end, logging "USB device
    // disconnected." when the device had been connected. Any thread.
    void MarkDisconnected() noexcept;
    // Sets the disconnected event; true for the one call (of several threads
    // at once) that found the device connected.
    bool SetDisconnected() noexcept;

    // The body of Open under the device lock.
    UsbResult OpenLocked(const DeviceMoniker_Libusb& moniker, std::uint8_t alternateSetting);
    // Finds the USB generation (step of Open; never fails).
    void FindUsbGeneration();

    // The endpoints made on this device; Close ends their transfers.
    void AddEndpoint(BulkEndpoint_Libusb& endpoint);
    void RemoveEndpoint(BulkEndpoint_Libusb& endpoint);

    HostBackend& m_backend;

    Mutex_Posix m_deviceLock; // serialises Open and Close; guards the members below up to m_usbGeneration
    EventCondition_Posix m_closedEvent;       // set: the device is closed
    EventCondition_Posix m_disconnectedEvent; // set: the device is disconnected (or closed)
    DeviceMoniker_Libusb m_moniker;
    std::uint8_t m_alternateSetting = 0;
    std::uint8_t m_interfaceNumber = 0;
    HostDeviceLocation m_location; // where the open device is attached
    // The open device. Endpoints use it under their read or write lock while
    // open: Close takes those locks (ending the endpoints' transfers) before it
    // lets go of it.
    std::unique_ptr<HostDeviceHandle> m_handle;
    bool m_backendStarted = false; // this device holds one Start of m_backend
    std::uint32_t m_usbGeneration = kUsbGeneration_Unknown;

    std::mutex m_disconnectMutex; // makes the connected-to-disconnected step one step (its line logged once)

    std::atomic<std::uint32_t> m_disconnectAsResult{0};
    std::atomic<std::uint32_t> m_timeoutAsResult{0};

    Mutex_Posix m_endpointsLock; // guards m_endpoints; held by Close while it ends their transfers
    std::vector<BulkEndpoint_Libusb*> m_endpoints;
};

/// The fields every endpoint of a Device_Libusb has: the device, the endpoint's
/// closed event, the pipe ids and the time-out setting.
class Endpoint_Libusb
{
public:
    virtual ~Endpoint_Libusb();
    /// The endpoint closed event (set: closed).
    virtual EventCondition_Posix& GetClosedEvent() { return m_closedEvent; }
    /// The device's disconnected event.
    virtual EventCondition_Posix& GetDisconnectedEvent() { return m_device->GetDisconnectedEvent(); }

protected:
    /// An endpoint of device (which must outlive it), closed; its time-out
    /// setting is the device's at this moment.
    explicit Endpoint_Libusb(Device_Libusb& device);

    Device_Libusb* const m_device; // not owned
    EventCondition_Posix m_closedEvent;
    std::uint8_t m_outPipeId = 0x7F;     // the OUT endpoint's address; set by Open
    std::uint8_t m_inPipeId = 0xFF;      // the IN endpoint's address; set by Open
    std::uint16_t m_inMaxPacketSize = 0; // set by Open
    std::atomic<std::uint32_t> m_timeoutAsResult;
};

/// One bulk endpoint pair of a Device_Libusb.
///
/// Calling order: the device's Open; Open here; Read and Write any number of
/// times from other threads (one reader and one writer at a time, a read and a
/// write at once); Close (or destruction) before the device's Close. A device
/// Close ends the endpoint's transfers and leaves it closed.
class BulkEndpoint_Libusb final : public BulkEndpointInterface, private Endpoint_Libusb
{
public:
    /// A closed endpoint of device, which must outlive it.
    explicit BulkEndpoint_Libusb(Device_Libusb& device);
    /// Closes.
    ~BulkEndpoint_Libusb() override;

    BulkEndpoint_Libusb(const BulkEndpoint_Libusb&) = delete;
    BulkEndpoint_Libusb& operator=(const BulkEndpoint_Libusb&) = delete;

    /// Opens the bulk pair of the endpoint number (bit 7 ignored) on the
    /// device's interface, logging "Opening endpoint %u with USB 2.0" (IN
    /// maximum packet size below 1024) or "... with USB 3.0 superspeed".
    /// Answers 0, or the device's failure handling result. Raises ModuleError
    /// 0x65006C when open, 0x650001 "Invalid USB endpoint type." (logged, with
    /// "Endpoint 0 must be control." for number 0) when a pipe is not bulk,
    /// 0x6500CE "USB endpoint %u not found." when a pipe is missing, 0x650004
    /// "USB endpoint %u IN maximum packet size is zero."; the endpoint then
    /// stays closed. Blocks briefly.
    UsbResult Open(std::uint8_t endpointNumber) override;

    /// Sets the closed event (waking a blocked Read or Write with 3), ends the
    /// queued reads, logging "Discarding %u received bytes from USB endpoint."
    /// for each that held bytes, and lets go of the endpoint's transfers.
    /// Never throws. Blocks until the transfers ended.
    void Close() override;

    /// The device is open and the endpoint closed event is not set.
    bool IsOpen() const override { return m_device->IsOpen() && !m_closedEvent.IsSet(); }
    /// The device is connected and the endpoint is open.
    bool IsConnected() const override { return m_device->IsConnected() && IsOpen(); }
    EventCondition_Posix& GetClosedEvent() override { return Endpoint_Libusb::GetClosedEvent(); }
    EventCondition_Posix& GetDisconnectedEvent() override { return Endpoint_Libusb::GetDisconnectedEvent(); }
    /// The OUT endpoint's address (0x7F before the first Open).
    std::uint8_t GetEndpointNumber() const override { return m_outPipeId; }
    void SetTimeoutAsResult(std::uint32_t asResult) override { m_timeoutAsResult = asResult; }
    std::uint32_t GetTimeoutAsResult() const override { return m_timeoutAsResult; }

    /// Reads exactly size bytes into buffer unless a zero-length packet, a
    /// failure or a time-out comes first; *bytesRead (must not be null) counts
    /// the bytes copied. Bytes that arrive between calls are kept in arrival
    /// order; a short packet does not end a read. abortObjects (may be null)
    /// end the wait with 1; timeoutMs bounds the whole call (0xFFFFFFFF: none;
    /// 0: one poll). Answers 0, 1, 2, 3 or 4. Raises ModuleError 0x650001
    /// "Pointer is NULL." for a null buffer, 0x650065 after a failed start of
    /// the reads, 0x650066 "USB asynchronous read not active." after a failed
    /// read (its transfer could not be queued again), SystemError_Posix for a
    /// failing transfer (see UsbFailure: a read that meets a transfer error of
    /// a device still attached raises it once and later reads go on),
    /// ModuleError 0x6500CF for a time-out and 0x650070 for a disconnection
    /// when those are not results. The buffer is not handed to the backend. Blocks; one reader at
    /// a time.
    UsbResult Read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead,
                   const std::vector<BaseWaitObject*>* abortObjects, std::uint32_t timeoutMs) override;

    /// Writes the whole buffer as one OUT transfer; *bytesWritten (may be null)
    /// receives the bytes sent. A wait that ends other than by the transfer's
    /// end cancels the transfer and waits for its end (logging "USB
    /// asynchronous write taking longer than 10 seconds to abort." every 10 s),
    /// so the backend no longer uses the buffer once Write returns. Results and
    /// errors as for Read, and ModuleError 0x6500CC "USB write incomplete." for
    /// a transfer that ended short. Blocks; writers are serialised.
    UsbResult Write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten,
                    const std::vector<BaseWaitObject*>* abortObjects, std::uint32_t timeoutMs) override;

    /// Chooses the size of the reads queued from the next start of the reads
    /// on: one maximum packet (false, the default) or about 1 MiB (a whole
    /// number of packets). Never blocks (not even behind a blocked Read);
    /// thread-safe.
    void SetLargeTransfers(bool large) override;

    /// Discards the bytes the queued reads received and not yet handed out
    /// (reads still in flight stay queued). Answers true. No clear-halt is
    /// sent: it would reset the device's data toggle.
    bool Flush() override;

private:
    friend class Device_Libusb;
    struct TransferContext; // a transfer and its end (the base of the two below)
    struct AsyncReadContext;
    struct WriteContext;

    // Starts the ring of queued reads (read lock held). Answers 0 or a result.
    UsbResult StartReadsLocked();
    // Ends the queued reads, discarding their bytes (read lock held). Never throws.
    void CancelReadsLocked() noexcept;
    // Collects the end of a context's transfer (read lock held): its bytes, or
    // a failure result. A transfer error with the device still there queues
    // the context again (moving on to the next one) and raises the error.
    UsbResult CollectLocked(AsyncReadContext& context);
    // Queues the current context's read again and moves to the next one (read
    // lock held). When the system's transfer memory runs out while other reads
    // are queued, the context leaves the ring instead (it may be destroyed).
    UsbResult RequeueLocked(AsyncReadContext& context);
    // The first checks of Read and Write: 0, or 3, or the disconnection's result.
    UsbResult CheckState();
    // Time-out handling with the caller's text: 2 with "USB timeout.", or throws.
    UsbResult HandleTimeout(const wchar_t* text);
    // Called by the device's Close (device and endpoint-list locks held): sets
    // the closed event and lets go of every transfer.
    void ReleaseTransfers() noexcept;

    Mutex_Posix m_stateLock; // serialises Open and Close
    Mutex_Posix m_writeLock; // one writer at a time; guards m_write
    std::unique_ptr<WriteContext> m_write;
    Mutex_Posix m_readLock; // one reader at a time; guards the members below
    std::vector<std::unique_ptr<AsyncReadContext>> m_ring;
    std::uint32_t m_ringIndex = 0; // the entry the next Read consumes
    bool m_readsStarted = false;
    std::atomic<bool> m_largeTransfers{false}; // atomic, not under the lock: read when the reads start
};

} // namespace Q7::Platform::Usb
