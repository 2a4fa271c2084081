#include "Q7PlatformUsbDevice_Libusb.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

namespace Q7::Platform::Usb
{

using Q7::Universal::LogInfo;
using Q7::Universal::LogWarning;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalString;

namespace
{

// Queued reads of an endpoint while reading.
constexpr std::size_t kRingLength = 4;
// Bytes of one read with large transfers (rounded down to whole packets).
constexpr std::uint32_t kLargeTransferBytes = 0x100000;
// Rounds of the waits for a cancelled transfer's end.
constexpr std::uint32_t kAbortWaitMs = 10000;
// Maximum packet size of a SuperSpeed bulk endpoint.
constexpr std::uint16_t kSuperSpeedPacketSize = 1024;

// Positions in the wait list of a read or write.
enum WaitIndex : std::uint32_t
{
    kWait_Transfer = 0,
    kWait_EndpointClosed = 1,
    kWait_DeviceClosed = 2,
    kWait_Disconnected = 3,
    kWait_FirstAbort = 4,
};

// The wait list of a read or write: the transfer's event (filled in per wait),
// the endpoint's and the device's closed events, the disconnected event, then
// the caller's abort objects. Built on the stack: the receive loop reads often.
// A list too long to wait on is cut at one past the limit, which the wait refuses.
class WaitList
{
public:
    WaitList(EventCondition_Posix& endpointClosed, Device_Libusb& device,
             const std::vector<BaseWaitObject*>* abortObjects)
        : m_objects{nullptr, &endpointClosed, &device.GetClosedEvent(), &device.GetDisconnectedEvent()}
    {
        if (abortObjects != nullptr)
        {
            for (auto it = abortObjects->begin(); it != abortObjects->end() && m_count < m_objects.size();
                 ++it)
            {
                m_objects[m_count++] = *it;
            }
        }
    }

    BaseWaitObject*& operator[](std::size_t index) { return m_objects[index]; }
    BaseWaitObject** data() { return m_objects.data(); }
    std::uint32_t size() const { return m_count; }

private:
    std::array<BaseWaitObject*, kMaxWaitObjects + 1> m_objects;
    std::uint32_t m_count = kWait_FirstAbort;
};

// Raises a caught standard exception as an internal error.
[[noreturn]] void ThrowWrapped(const std::exception& exception)
{
    Q7::Universal::ThrowInternalError(Q7::Universal::StdExceptionError(exception), nullptr,
                                      Q7_SOURCE_LOCATION);
}

// Reports an error that must not leave a cleanup as an internal error with
// ModuleError 0x6500CB.
void ReportUnexpected(const Q7::Universal::UniversalError& error,
                      const Q7::Universal::SourceLocation& location)
{
    Q7::Universal::ReportInternalError(ModuleError(Q7::Universal::kError_UnexpectedException),
                                       Q7::Universal::FormatErrorText(error, nullptr).c_str(), location);
}

} // namespace

UsbFailure UsbFailureOf(HostStatus status) noexcept
{
    switch (status)
    {
    case HostStatus::kNoDevice:
        return UsbFailure::kDisconnect;
    case HostStatus::kIoError:
    case HostStatus::kStall:
    case HostStatus::kOverflow:
        return UsbFailure::kTransferError;
    case HostStatus::kSuccess:
    case HostStatus::kAccessDenied:
    case HostStatus::kBusy:
    case HostStatus::kNotFound:
    case HostStatus::kNoMemory:
    case HostStatus::kCancelled:
        break;
    }
    return UsbFailure::kError;
}

LinkException::~LinkException() = default;
DeviceInterface::~DeviceInterface() = default;
EndpointInterface::~EndpointInterface() = default;
BulkEndpointInterface::~BulkEndpointInterface() = default;

bool BulkEndpointInterface::Flush()
{
    return true;
}

// ---------------------------------------------------------------- transfer contexts

/// A transfer of an endpoint and its end as its listener heard it.
struct BulkEndpoint_Libusb::TransferContext : HostTransferListener
{
    explicit TransferContext(Device_Libusb& owner) : device(owner) {}

    void OnTransferDone(const HostTransferResult& transferResult) noexcept override
    {
        result = transferResult;
        if (transferResult.status == HostStatus::kNoDevice)
        {
            // Seen at once, also while nobody reads or writes.
            device.MarkDisconnected();
        }
        completion.Set();
    }

    Device_Libusb& device;
    std::unique_ptr<HostBulkTransfer> transfer;
    EventCondition_Posix completion; // set when the transfer ended
    HostTransferResult result;       // written by the listener before completion is set
};

/// One queued read of the IN endpoint: its transfer, buffer and progress.
struct BulkEndpoint_Libusb::AsyncReadContext final : TransferContext
{
    AsyncReadContext(Device_Libusb& owner, std::uint32_t size) : TransferContext(owner), buffer(size) {}

    bool pending = false; // queued and not yet collected
    bool failed = false;  // the last read of this context failed
    HostStatus error = HostStatus::kSuccess;
    std::vector<std::uint8_t> buffer; // the transfer's buffer
    std::uint32_t bytesAvailable = 0; // received and not yet handed out
    std::uint32_t readOffset = 0;     // bytes of the buffer already handed out
};

/// The endpoint's OUT transfer.
struct BulkEndpoint_Libusb::WriteContext final : TransferContext
{
    using TransferContext::TransferContext;
};

// ---------------------------------------------------------------- Device_Libusb

Device_Libusb::Device_Libusb() : Device_Libusb(GetHostBackend()) {}

Device_Libusb::Device_Libusb(HostBackend& backend) : m_backend(backend)
{
    m_closedEvent.Set();
    m_disconnectedEvent.Set();
}

Device_Libusb::~Device_Libusb()
{
    Close();
}

UsbResult Device_Libusb::Open(const DeviceMoniker_Libusb& moniker, std::uint8_t alternateSetting)
{
    ScopedLock lock(m_deviceLock);
    if (IsOpen())
    {
        throw ModuleError(Q7::Universal::kError_AlreadyOpen);
    }
    try
    {
        const UsbResult result = OpenLocked(moniker, alternateSetting);
        if (result != kUsbResult_Success)
        {
            Close();
        }
        return result;
    }
    catch (...)
    {
        Close();
        throw;
    }
}

UsbResult Device_Libusb::OpenLocked(const DeviceMoniker_Libusb& moniker, std::uint8_t alternateSetting)
{
    Close();
    m_moniker = moniker;
    m_alternateSetting = alternateSetting;
    m_disconnectedEvent.Reset();

    m_backend.Start();
    m_backendStarted = true;
    const char* const path = m_moniker.devicePath.c_str();
    const std::optional<DevicePathParts> parts = ParseDevicePath(path != nullptr ? path : "");
    // A path that names no device is a device that is not there.
    const HostStatus opened = parts ? m_backend.Open(parts->location, m_handle) : HostStatus::kNoDevice;
    if (opened != HostStatus::kSuccess)
    {
        m_disconnectedEvent.Set();
        return HandleFailure(opened, L"USB device open failed.");
    }
    if (!m_handle)
    {
        throw ModuleError(Q7::Universal::kError_UnexpectedResult, L"Invalid libusb device handle.");
    }
    m_interfaceNumber = parts->interfaceNumber;
    m_location = parts->location;
    HostStatus status = m_handle->ClaimInterface(m_interfaceNumber);
    if (status != HostStatus::kSuccess)
    {
        return HandleFailure(status, L"libusb_claim_interface() failed.");
    }
    status = m_handle->SetAlternateSetting(m_interfaceNumber, m_alternateSetting);
    if (status != HostStatus::kSuccess)
    {
        return HandleFailure(status, L"libusb_set_interface_alt_setting() failed.");
    }
    FindUsbGeneration();
    m_closedEvent.Reset();
    return kUsbResult_Success;
}

void Device_Libusb::FindUsbGeneration()
{
    m_usbGeneration = kUsbGeneration_Unknown;
    switch (m_handle->GetSpeed())
    {
    case HostSpeed::kUnknown:
        LogWarning(L"libusb_get_device_speed() failed - ignoring");
        return;
    case HostSpeed::kLow:
    case HostSpeed::kFull:
        LogInfo(L"USB speed query returned: USB2");
        m_usbGeneration = kUsbGeneration_Usb2;
        return;
    case HostSpeed::kHigh:
    case HostSpeed::kSuper:
    case HostSpeed::kSuperPlus:
        break;
    }
    // High speed and faster: a SuperSpeed endpoint has 1024-byte packets.
    HostInterfaceInfo setting;
    if (m_handle->GetInterfaceSetting(m_interfaceNumber, m_alternateSetting, setting) != HostStatus::kSuccess)
    {
        LogWarning(L"libusb_get_active_config_descriptor() failed - ignoring");
        return;
    }
    if (setting.endpoints.empty())
    {
        LogWarning(L"libusb_get_active_config_descriptor() found no endpoint - ignoring");
        return;
    }
    Q7::Universal::LogDebug(L"Got descriptor!");
    m_usbGeneration = setting.endpoints.front().maxPacketSize < kSuperSpeedPacketSize ? kUsbGeneration_Usb2
                                                                                      : kUsbGeneration_Usb3;
}

void Device_Libusb::Close()
{
    ScopedLock lock(m_deviceLock);
    m_closedEvent.Set();
    m_disconnectedEvent.Set();
    {
        // The backend forbids closing a device with transfers in flight: the
        // endpoints end theirs (and wait for their ends) first.
        ScopedLock endpoints(m_endpointsLock);
        for (BulkEndpoint_Libusb* endpoint : m_endpoints)
        {
            endpoint->ReleaseTransfers();
        }
    }
    if (m_handle)
    {
        m_handle->ReleaseInterface(m_interfaceNumber);
        m_handle.reset();
    }
    if (m_backendStarted)
    {
        m_backendStarted = false;
        m_backend.Stop();
    }
}

bool Device_Libusb::SetDisconnected() noexcept
{
    std::lock_guard<std::mutex> lock(m_disconnectMutex);
    const bool wasConnected = IsConnected();
    m_disconnectedEvent.Set();
    return wasConnected;
}

UsbResult Device_Libusb::HandleDisconnect()
{
    const bool wasConnected = SetDisconnected();
    if (m_disconnectAsResult == 0)
    {
        throw ModuleError(Q7::Universal::kError_NotConnected, L"USB device.");
    }
    if (wasConnected)
    {
        LogInfo(L"USB device disconnected.");
    }
    return kUsbResult_Disconnected;
}

bool Device_Libusb::IsGone(HostStatus status) noexcept
{
    switch (UsbFailureOf(status))
    {
    case UsbFailure::kDisconnect:
        return true;
    case UsbFailure::kTransferError:
        break;
    case UsbFailure::kError:
        return false;
    }
    try
    {
        return !m_backend.IsAttached(m_location);
    }
    catch (const Q7::Universal::UniversalError&)
    {
        return false; // no answer: the error is reported as it is
    }
    catch (const std::exception&)
    {
        return false;
    }
}

UsbResult Device_Libusb::HandleFailure(HostStatus status, const wchar_t* text)
{
    if (IsGone(status))
    {
        return HandleDisconnect();
    }
    ThrowFailure(status, text);
}

void Device_Libusb::ThrowFailure(HostStatus status, const wchar_t* text)
{
    ThrowSystemError(SystemError_Posix(static_cast<std::uint32_t>(HostStatusErrno(status)), L"USB error."),
                     L"%ls", text);
}

void Device_Libusb::HandleFailureQuietly(HostStatus status, const wchar_t* text) noexcept
{
    if (IsGone(status))
    {
        MarkDisconnected();
        return;
    }
    Q7::Universal::LogError(
        SystemError_Posix(static_cast<std::uint32_t>(HostStatusErrno(status)), L"USB error."), L"%ls", text);
}

void Device_Libusb::MarkDisconnected() noexcept
{
    if (SetDisconnected())
    {
        LogInfo(L"USB device disconnected.");
    }
}

void Device_Libusb::AddEndpoint(BulkEndpoint_Libusb& endpoint)
{
    ScopedLock lock(m_endpointsLock);
    m_endpoints.push_back(&endpoint);
}

void Device_Libusb::RemoveEndpoint(BulkEndpoint_Libusb& endpoint)
{
    ScopedLock lock(m_endpointsLock);
    std::erase(m_endpoints, &endpoint);
}

// ---------------------------------------------------------------- Endpoint_Libusb

Endpoint_Libusb::Endpoint_Libusb(Device_Libusb& device)
    : m_device(&device), m_timeoutAsResult(device.GetTimeoutAsResult())
{
    m_closedEvent.Set();
}

Endpoint_Libusb::~Endpoint_Libusb() = default;

// ---------------------------------------------------------------- BulkEndpoint_Libusb

BulkEndpoint_Libusb::BulkEndpoint_Libusb(Device_Libusb& device) : Endpoint_Libusb(device)
{
    m_device->AddEndpoint(*this);
}

BulkEndpoint_Libusb::~BulkEndpoint_Libusb()
{
    Close();
    m_device->RemoveEndpoint(*this);
}

UsbResult BulkEndpoint_Libusb::Open(std::uint8_t endpointNumber)
{
    // The device lock first (the order Device_Libusb::Close takes): it keeps
    // the device's handle while the pipes are looked up.
    ScopedLock device(m_device->m_deviceLock);
    ScopedLock state(m_stateLock);
    if (IsOpen())
    {
        throw ModuleError(Q7::Universal::kError_AlreadyOpen);
    }
    Close();
    ScopedLock read(m_readLock);
    ScopedLock write(m_writeLock);
    try
    {
        m_outPipeId = endpointNumber & 0x7F;
        m_inPipeId = m_outPipeId | kEndpointDirectionIn;
        if (m_outPipeId == 0)
        {
            Q7::Universal::ThrowModuleError(
                ModuleError(Q7::Universal::kError_InvalidParameter, L"Invalid USB endpoint type."),
                L"Endpoint 0 must be control.");
        }
        if (!m_device->m_handle)
        {
            return kUsbResult_Closed;
        }
        HostInterfaceInfo setting;
        const HostStatus status = m_device->m_handle->GetInterfaceSetting(
            m_device->m_interfaceNumber, m_device->m_alternateSetting, setting);
        if (status != HostStatus::kSuccess)
        {
            return m_device->HandleFailure(status, L"libusb_get_active_config_descriptor() failed.");
        }
        bool outFound = false;
        bool inFound = false;
        for (const HostEndpointInfo& endpoint : setting.endpoints)
        {
            if (endpoint.address != m_outPipeId && endpoint.address != m_inPipeId)
            {
                continue;
            }
            if ((endpoint.attributes & kEndpointTypeMask) != kEndpointTypeBulk)
            {
                throw ModuleError(Q7::Universal::kError_InvalidParameter, L"Invalid USB endpoint type.");
            }
            if (endpoint.address == m_outPipeId)
            {
                outFound = true;
            }
            else
            {
                inFound = true;
                m_inMaxPacketSize = endpoint.maxPacketSize;
            }
            if (outFound && inFound)
            {
                break;
            }
        }
        if (!outFound || !inFound)
        {
            throw ModuleError(Q7::Universal::kError_NotFound,
                              UniversalString(L"USB endpoint %u not found.", unsigned{m_outPipeId}));
        }
        if (m_inMaxPacketSize == 0)
        {
            throw ModuleError(
                Q7::Universal::kError_OutOfRange,
                UniversalString(L"USB endpoint %u IN maximum packet size is zero.", unsigned{m_outPipeId}));
        }
        m_write = std::make_unique<WriteContext>(*m_device);
        m_write->transfer = m_device->m_handle->CreateBulkTransfer(m_outPipeId, *m_write);
        LogInfo(m_inMaxPacketSize < kSuperSpeedPacketSize ? L"Opening endpoint %u with USB 2.0"
                                                          : L"Opening endpoint %u with USB 3.0 superspeed",
                unsigned{m_outPipeId});
        m_closedEvent.Reset();
        return kUsbResult_Success;
    }
    catch (const std::exception& exception)
    {
        m_write.reset();
        m_closedEvent.Set();
        ThrowWrapped(exception);
    }
    catch (...)
    {
        m_write.reset();
        m_closedEvent.Set();
        throw;
    }
}

void BulkEndpoint_Libusb::Close()
{
    ScopedLock state(m_stateLock);
    ReleaseTransfers();
}

void BulkEndpoint_Libusb::ReleaseTransfers() noexcept
{
    m_closedEvent.Set();
    {
        ScopedLock read(m_readLock);
        CancelReadsLocked();
    }
    {
        // A Write holds this lock until its transfer ended.
        ScopedLock write(m_writeLock);
        m_write.reset();
    }
    m_closedEvent.Set();
}

void BulkEndpoint_Libusb::SetLargeTransfers(bool large)
{
    // Not under the read lock: a Read may hold it while it waits for data.
    m_largeTransfers = large;
}

UsbResult BulkEndpoint_Libusb::CheckState()
{
    if (m_closedEvent.IsSet() || !m_device->IsOpen())
    {
        return kUsbResult_Closed;
    }
    if (m_device->IsConnected())
    {
        return kUsbResult_Success;
    }
    // Close sets the closed event before the disconnected one: a device closed
    // since the first check is closed, not lost.
    if (m_closedEvent.IsSet() || !m_device->IsOpen())
    {
        return kUsbResult_Closed;
    }
    return m_device->HandleDisconnect();
}

UsbResult BulkEndpoint_Libusb::HandleTimeout(const wchar_t* text)
{
    if (m_timeoutAsResult != 0)
    {
        LogInfo(L"USB timeout.");
        return kUsbResult_Timeout;
    }
    Q7::Universal::ThrowModuleError(ModuleError(Q7::Universal::kError_Timeout, L"USB timeout."), L"%ls",
                                    text);
}

UsbResult BulkEndpoint_Libusb::StartReadsLocked()
{
    if (m_readsStarted)
    {
        return kUsbResult_Success;
    }
    // Closed since the caller's first check (the device's Close lets go of
    // the transfers under this lock).
    if (m_closedEvent.IsSet() || !m_device->IsOpen())
    {
        return kUsbResult_Closed;
    }
    if (!m_ring.empty())
    {
        throw ModuleError(Q7::Universal::kError_InvalidRequest,
                          L"USB Read() following failed asynchronous initialization.");
    }
    if (m_inMaxPacketSize == 0)
    {
        throw ModuleError(
            Q7::Universal::kError_OutOfRange,
            UniversalString(L"USB endpoint %u IN maximum packet size is zero.", unsigned{m_outPipeId}));
    }
    m_ringIndex = 0;
    const std::uint32_t multiplier =
        m_largeTransfers ? std::max<std::uint32_t>(kLargeTransferBytes / m_inMaxPacketSize, 1) : 1;
    const std::uint32_t size = m_inMaxPacketSize * multiplier;
    for (std::size_t i = 0; i < kRingLength; ++i)
    {
        auto context = std::make_unique<AsyncReadContext>(*m_device, size);
        context->transfer = m_device->m_handle->CreateBulkTransfer(m_inPipeId, *context);
        const HostStatus status = context->transfer->Submit(context->buffer.data(), size);
        if (status != HostStatus::kSuccess)
        {
            // Out of transfer memory with reads already queued: reading goes on
            // with fewer.
            if (status == HostStatus::kNoMemory && !m_ring.empty())
            {
                break;
            }
            return m_device->HandleFailure(status, L"libusb bulk IN transfer failed.");
        }
        context->pending = true;
        m_ring.push_back(std::move(context));
    }
    m_readsStarted = true;
    return kUsbResult_Success;
}

UsbResult BulkEndpoint_Libusb::CollectLocked(AsyncReadContext& context)
{
    context.pending = false;
    const HostTransferResult result = context.result;
    if (result.status == HostStatus::kSuccess)
    {
        context.bytesAvailable = result.actualLength;
        context.readOffset = 0;
        return kUsbResult_Success;
    }
    constexpr const wchar_t* kText = L"libusb transfer completion failed.";
    if (m_device->IsGone(result.status))
    {
        context.failed = true;
        context.error = result.status;
        return m_device->HandleDisconnect();
    }
    if (UsbFailureOf(result.status) != UsbFailure::kTransferError)
    {
        context.failed = true;
        context.error = result.status;
        m_device->ThrowFailure(result.status, kText);
    }
    // An error of this transfer only, the device still there: the ring goes on
    // with the transfer queued again, and this Read reports the error once. What
    // the failed transfer brought is not trusted.
    if (result.actualLength > 0)
    {
        LogWarning(L"Discarding %u received bytes from USB endpoint.", result.actualLength);
    }
    const UsbResult requeued = RequeueLocked(context);
    if (requeued != kUsbResult_Success)
    {
        return requeued;
    }
    m_device->ThrowFailure(result.status, kText);
}

UsbResult BulkEndpoint_Libusb::RequeueLocked(AsyncReadContext& context)
{
    const std::uint32_t index = m_ringIndex;
    m_ringIndex = static_cast<std::uint32_t>((m_ringIndex + 1) % m_ring.size());
    context.pending = false;
    context.failed = false;
    context.error = HostStatus::kSuccess;
    context.bytesAvailable = 0;
    context.readOffset = 0;
    context.completion.Reset();
    const HostStatus status =
        context.transfer->Submit(context.buffer.data(), static_cast<std::uint32_t>(context.buffer.size()));
    if (status == HostStatus::kNoMemory && m_ring.size() > 1)
    {
        // Out of transfer memory (other programs' transfers, or the ring was
        // started while memory was free): reading goes on with fewer reads, the
        // next one in the order they were queued.
        LogInfo(L"USB asynchronous read ring shrinks: out of transfer memory.");
        m_ring.erase(m_ring.begin() + index);
        m_ringIndex = static_cast<std::uint32_t>(index % m_ring.size());
        return kUsbResult_Success;
    }
    if (status != HostStatus::kSuccess)
    {
        context.failed = true;
        context.error = status;
        return m_device->HandleFailure(status, L"libusb bulk IN transfer failed.");
    }
    context.pending = true;
    return kUsbResult_Success;
}

UsbResult BulkEndpoint_Libusb::Read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead,
                                    const std::vector<BaseWaitObject*>* abortObjects, std::uint32_t timeoutMs)
{
    std::uint32_t ignored = 0;
    std::uint32_t& count = bytesRead != nullptr ? *bytesRead : ignored;
    count = 0;
    const UsbResult state = CheckState();
    if (state != kUsbResult_Success)
    {
        return state;
    }
    if (buffer == nullptr)
    {
        throw ModuleError(Q7::Universal::kError_InvalidParameter, L"Pointer is NULL.");
    }
    if (size == 0)
    {
        return kUsbResult_Success;
    }
    ScopedLock lock(m_readLock);
    try
    {
        const UsbResult started = StartReadsLocked();
        if (started != kUsbResult_Success)
        {
            return started;
        }
        WaitList waitList(m_closedEvent, *m_device, abortObjects);
        const std::uint64_t start = GetTickCountMs();
        auto* destination = static_cast<std::uint8_t*>(buffer);
        std::uint32_t remaining = size;
        bool zeroLength = false;
        while (remaining > 0 && !zeroLength)
        {
            if (m_ringIndex >= m_ring.size() || m_ring[m_ringIndex]->failed)
            {
                throw ModuleError(Q7::Universal::kError_InvalidState, L"USB asynchronous read not active.");
            }
            AsyncReadContext& context = *m_ring[m_ringIndex];
            if (context.pending)
            {
                waitList[kWait_Transfer] = &context.completion;
                std::uint32_t index = kNoSignalledIndex;
                if (!WaitForObjects(&index, waitList.size(), waitList.data(), false,
                                    TimeLeftMs(timeoutMs, start)))
                {
                    return HandleTimeout(L"USB read timeout.");
                }
                switch (index)
                {
                case kWait_Transfer:
                    break;
                case kWait_EndpointClosed:
                case kWait_DeviceClosed:
                    LogInfo(L"USB closed during read.");
                    return kUsbResult_Closed;
                case kWait_Disconnected:
                    return m_device->HandleDisconnect();
                default:
                    LogInfo(L"USB read aborted.");
                    return kUsbResult_Aborted;
                }
                const UsbResult collected = CollectLocked(context);
                if (collected != kUsbResult_Success)
                {
                    return collected;
                }
            }
            const std::uint32_t n = std::min(context.bytesAvailable, remaining);
            if (n > 0)
            {
                std::memcpy(destination, context.buffer.data() + context.readOffset, n);
            }
            destination += n;
            count += n;
            remaining -= n;
            context.bytesAvailable -= n;
            context.readOffset += n;
            if (context.bytesAvailable > 0)
            {
                continue; // the rest serves the next Read
            }
            const UsbResult requeued = RequeueLocked(context);
            if (requeued != kUsbResult_Success)
            {
                return requeued;
            }
            // A zero-length packet ends a read early.
            zeroLength = n == 0;
        }
        return kUsbResult_Success;
    }
    catch (const std::exception& exception)
    {
        ThrowWrapped(exception);
    }
}

UsbResult BulkEndpoint_Libusb::Write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten,
                                     const std::vector<BaseWaitObject*>* abortObjects,
                                     std::uint32_t timeoutMs)
{
    if (bytesWritten != nullptr)
    {
        *bytesWritten = 0;
    }
    const UsbResult state = CheckState();
    if (state != kUsbResult_Success)
    {
        return state;
    }
    if (buffer == nullptr)
    {
        throw ModuleError(Q7::Universal::kError_InvalidParameter, L"Pointer is NULL.");
    }
    ScopedLock lock(m_writeLock);
    if (!m_write || m_closedEvent.IsSet())
    {
        return kUsbResult_Closed; // closed since the first check
    }
    WriteContext& write = *m_write;
    write.completion.Reset();
    // The backend only reads an OUT transfer's buffer.
    const HostStatus submitted =
        write.transfer->Submit(const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), size);
    if (submitted != HostStatus::kSuccess)
    {
        return m_device->HandleFailure(submitted, L"libusb bulk OUT transfer failed.");
    }
    WaitList waitList(m_closedEvent, *m_device, abortObjects);
    waitList[kWait_Transfer] = &write.completion;
    std::uint32_t index = kNoSignalledIndex;
    const bool signalled = WaitForObjects(&index, waitList.size(), waitList.data(), false, timeoutMs);
    const bool cancelled = !signalled || index != kWait_Transfer;
    if (cancelled)
    {
        // The transfer still reads the caller's buffer: it must have ended
        // before Write returns.
        write.transfer->Cancel();
        while (!WaitForObject(&write.completion, kAbortWaitMs))
        {
            LogWarning(L"USB asynchronous write taking longer than 10 seconds to abort.");
        }
    }
    const HostTransferResult result = write.result;
    if (bytesWritten != nullptr)
    {
        *bytesWritten = result.actualLength;
    }
    const bool complete = result.status == HostStatus::kSuccess && result.actualLength == size;
    if (result.status != HostStatus::kSuccess && !(cancelled && result.status == HostStatus::kCancelled))
    {
        return m_device->HandleFailure(result.status, L"libusb bulk OUT transfer failed.");
    }
    if (cancelled && !complete)
    {
        if (!signalled)
        {
            return HandleTimeout(L"USB write timeout.");
        }
        switch (index)
        {
        case kWait_EndpointClosed:
        case kWait_DeviceClosed:
            LogInfo(L"USB closed during write.");
            return kUsbResult_Closed;
        case kWait_Disconnected:
            return m_device->HandleDisconnect();
        default:
            LogInfo(L"USB write aborted.");
            return kUsbResult_Aborted;
        }
    }
    if (result.actualLength != size)
    {
        Q7::Universal::ThrowModuleError(
            ModuleError(Q7::Universal::kError_UnexpectedResult, L"USB write incomplete."),
            L"libusb bulk OUT transfer wrote %u of %u bytes.", result.actualLength, size);
    }
    return kUsbResult_Success;
}

void BulkEndpoint_Libusb::CancelReadsLocked() noexcept
{
    m_readsStarted = false;
    if (m_ring.empty())
    {
        return;
    }
    try
    {
        for (const auto& context : m_ring)
        {
            if (context->pending)
            {
                context->transfer->Cancel();
            }
        }
        for (auto& slot : m_ring)
        {
            std::unique_ptr<AsyncReadContext> context = std::move(slot);
            if (context->pending)
            {
                while (!WaitForObject(&context->completion, kAbortWaitMs))
                {
                    LogWarning(L"USB asynchronous read taking longer than 10 seconds to abort.");
                }
                context->pending = false;
                const HostTransferResult result = context->result;
                context->bytesAvailable = result.actualLength;
                if (result.status != HostStatus::kSuccess)
                {
                    context->failed = true;
                    if (result.status != HostStatus::kCancelled)
                    {
                        m_device->HandleFailureQuietly(result.status, L"libusb bulk IN transfer failed.");
                    }
                }
            }
            if (context->bytesAvailable > 0)
            {
                LogWarning(L"Discarding %u received bytes from USB endpoint.", context->bytesAvailable);
            }
        }
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        ReportUnexpected(error, Q7_SOURCE_LOCATION);
    }
    catch (const std::exception& exception)
    {
        ReportUnexpected(Q7::Universal::StdExceptionError(exception), Q7_SOURCE_LOCATION);
    }
    m_ring.clear();
}

bool BulkEndpoint_Libusb::Flush()
{
    ScopedLock read(m_readLock);
    if (!m_readsStarted)
    {
        return true;
    }
    try
    {
        // From the entry being consumed on: the rest it holds, then every
        // entry whose read already ended, each queued again; the first read
        // still in flight ends the walk. A failed read is left for the next
        // Read to report.
        for (std::size_t i = 0; i < m_ring.size(); ++i)
        {
            AsyncReadContext& context = *m_ring[m_ringIndex];
            if (context.failed)
            {
                break;
            }
            if (context.pending)
            {
                if (!context.completion.IsSet() || context.result.status != HostStatus::kSuccess)
                {
                    break;
                }
                context.pending = false;
            }
            if (RequeueLocked(context) != kUsbResult_Success)
            {
                return false;
            }
        }
        return true;
    }
    catch (const Q7::Universal::UniversalError&)
    {
        return false; // logged where it was raised
    }
}

} // namespace Q7::Platform::Usb
