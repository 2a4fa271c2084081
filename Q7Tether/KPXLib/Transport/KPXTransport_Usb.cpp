#include "Transport/KPXTransport_Usb.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX::Transport
{

using Q7::Platform::ScopedLock;
using Q7::Universal::ModuleError;

namespace
{

constexpr std::uint32_t kFirstUsbPipeId = 1;
constexpr std::uint32_t kLastUsbPipeId = 15;

} // namespace

// ---------------------------------------------------------------- UsbDevice

UsbDevice::UsbDevice(const DeviceMoniker& moniker) : UsbDevice(moniker, Q7::Platform::Usb::GetHostBackend())
{
}

UsbDevice::UsbDevice(const DeviceMoniker& moniker, Q7::Platform::Usb::HostBackend& backend)
    : m_moniker(moniker), m_usb(backend)
{
    if (m_moniker.type != kMonikerType_Usb)
    {
        throw ModuleError(Q7::Universal::kError_InvalidParameter, L"UsbDevice constructor");
    }
    m_usb.SetDisconnectAsResult(1);
    m_usb.SetTimeoutAsResult(1);
}

UsbDevice::~UsbDevice()
{
    Close();
}

std::uint32_t UsbDevice::Open()
{
    ScopedLock lock(m_deviceLock);
    try
    {
        Close();
        const std::uint32_t result = m_usb.Open(m_moniker.usb, 0);
        if (result == kPipeResult_Success)
        {
            m_notifier.Start(m_usb.GetDisconnectedEvent());
        }
        return result;
    }
    catch (...)
    {
        Close();
        throw;
    }
}

void UsbDevice::Close()
{
    ScopedLock lock(m_deviceLock);
    // The notify thread is told to stop before the device reads as disconnected,
    // so that it never takes an ordinary close for a lost link.
    m_notifier.RequestStop();
    m_usb.Close();
    m_notifier.Stop();
}

std::unique_ptr<PipeInterface> UsbDevice::CreatePipe(std::uint32_t pipeId)
{
    const std::uint32_t id = pipeId == kDefaultPipeId ? kFirstUsbPipeId : pipeId;
    if (id < kFirstUsbPipeId || id > kLastUsbPipeId)
    {
        Q7::Universal::ThrowInternalError(
            ModuleError(Q7::Universal::kError_InvalidParameter, L"Invalid USB pipe ID."), nullptr,
            Q7_SOURCE_LOCATION);
    }
    return std::make_unique<UsbPipe>(*this, static_cast<std::uint8_t>(id));
}

std::uint32_t UsbDevice::GetConnectionType()
{
    const std::uint32_t generation = m_usb.GetUsbGeneration();
    switch (generation)
    {
    case Q7::Platform::Usb::kUsbGeneration_Unknown:
        return kConnectionType_UsbUnknownSpeed;
    case Q7::Platform::Usb::kUsbGeneration_Usb2:
        return kConnectionType_Usb2;
    case Q7::Platform::Usb::kUsbGeneration_Usb3:
        return kConnectionType_Usb3;
    default:
        Q7::Universal::LogWarning(L"Unexpected connection-type reported by USB device: %d",
                                  static_cast<int>(generation));
        return kConnectionType_Unknown;
    }
}

void UsbDevice::SetNotifyCallback(const NotifyCallback& callback)
{
    m_notifier.SetCallback(callback);
}

// ---------------------------------------------------------------- UsbPipe

UsbPipe::UsbPipe(UsbDevice& device, std::uint8_t pipeId)
    : m_device(device), m_pipeId(pipeId), m_endpoint(device.m_usb)
{
}

UsbPipe::~UsbPipe()
{
    Close();
}

void UsbPipe::CloseAsLost()
{
    m_device.m_usb.GetDisconnectedEvent().Set();
    Close();
}

std::uint32_t UsbPipe::Open()
{
    return m_endpoint.Open(m_pipeId);
}

uint32_t UsbPipe::Read(void* buffer, uint32_t size, const WaitObjectList* abortObjects, uint32_t* transferred,
                       uint32_t timeoutMs)
{
    const std::uint64_t start = Q7::Platform::GetTickCountMs();
    auto* destination = static_cast<std::uint8_t*>(buffer);
    while (size > 0)
    {
        uint32_t endpointRead = 0;
        const uint32_t result = m_endpoint.Read(destination, size, &endpointRead, abortObjects,
                                                Q7::Platform::TimeLeftMs(timeoutMs, start));
        if (transferred != nullptr)
        {
            *transferred += endpointRead;
        }
        if (result != kPipeResult_Success)
        {
            return result;
        }
        Q7_ASSERT(endpointRead <= size);
        destination += endpointRead;
        size -= endpointRead;
    }
    return kPipeResult_Success;
}

uint32_t UsbPipe::Write(const void* buffer, uint32_t size, const WaitObjectList* abortObjects,
                        uint32_t* transferred, uint32_t timeoutMs)
{
    return m_endpoint.Write(buffer, size, transferred, abortObjects, timeoutMs);
}

void UsbPipe::SetBurstIn(bool enable)
{
    m_endpoint.SetLargeTransfers(enable);
}

} // namespace Q7::KPX::Transport
