#pragma once
// The USB transport: a camera attached by USB. The device is the camera's KPX
// interface, opened through the platform's Device_Libusb; every pipe is one of
// its bulk endpoint pairs, and the pipe id is the endpoint number (1 to 15).

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformUsbDevice_Libusb.h"
#include "Q7PlatformUsbHostBackend.h"
#include "Transport/KPXDeviceMoniker.h"
#include "Transport/KPXLinkLossNotifier.h"
#include "Transport/KPXTransport.h"

#include <cstdint>
#include <memory>

namespace Q7::KPX::Transport
{

class UsbPipe;

/// A camera attached by USB. A lost link (a transfer that finds the device
/// gone) marks the device disconnected; the "UsbDevice notify" thread then
/// calls the link-loss callback once. Time-outs and disconnections of its pipes
/// are results (2 and 4), never raised. Thread-safe (see DeviceInterface).
class UsbDevice : public virtual DeviceInterface
{
public:
    /// Copies the moniker; the device starts closed. Raises ModuleError
    /// 0x650001 "UsbDevice constructor" (plain) for a moniker that is not a
    /// USB moniker. The device uses the process's host backend.
    explicit UsbDevice(const DeviceMoniker& moniker);
    /// As above, on the given host backend (which must outlive the device).
    UsbDevice(const DeviceMoniker& moniker, Q7::Platform::Usb::HostBackend& backend);

    /// Closes.
    ~UsbDevice() override;

    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    const DeviceMoniker& GetMoniker() const override { return m_moniker; }

    /// Closes first, then opens the moniker's USB device with alternate setting
    /// 0 and, when that succeeded, starts the notify thread without waiting for
    /// it. Answers the platform open's result: 0, or 4 when the device is not
    /// there (then no notify thread runs: a device that never opened is not
    /// reported as lost). Raises what the platform open raises
    /// (SystemError_Posix EACCES logged with "USB device open failed." when the
    /// user may not open the camera, EBUSY when another program holds it), after
    /// a Close. Blocks.
    std::uint32_t Open() override;

    /// Asks the notify thread to stop, then closes the USB device (which ends
    /// every transfer of the pipes and wakes their blocked calls with 3), then
    /// waits for the thread in 10-second rounds, logging "Thread '%ls' taking an
    /// unexpectedly long time to stop." after each round. A normal Close never
    /// runs the link-loss callback. Safe on a closed device; never throws.
    void Close() override;

    bool IsOpen() const override { return m_usb.IsOpen(); }
    bool IsConnected() const override { return m_usb.IsConnected(); }
    Q7::Platform::EventStatus& GetClosedEvent() override { return m_usb.GetClosedEvent(); }
    Q7::Platform::EventStatus& GetDisconnectedEvent() override { return m_usb.GetDisconnectedEvent(); }

    /// A new, unopened UsbPipe on the endpoint pipeId (kDefaultPipeId: 1). The
    /// device need not be open. Raises ModuleError 0x650001 "Invalid USB pipe
    /// ID." (internal error) for an id outside 1 to 15.
    std::unique_ptr<PipeInterface> CreatePipe(std::uint32_t pipeId) override;

    /// kConnectionType_UsbUnknownSpeed, _Usb2 or _Usb3 from the USB generation
    /// found at open.
    std::uint32_t GetConnectionType() override;

    void SetNotifyCallback(const NotifyCallback& callback) override;

private:
    friend class UsbPipe;

    const DeviceMoniker m_moniker;
    Q7::Platform::Usb::Device_Libusb m_usb;
    Q7::Platform::Mutex_Posix m_deviceLock; // serialises Open and Close
    LinkLossNotifier m_notifier{
        L"UsbDevice notify"}; // watches the USB device's disconnected event while open
};

/// One bulk endpoint pair of the camera; the pipe id is the endpoint number.
/// Unlike a TCP pipe, Read and Write honour abort objects (result 1) and
/// time-outs (result 2). Close (from any thread), the device's Close and a lost
/// device end blocked calls with 3 or 4. One reader at a time; writers are
/// serialised. The pipe must not outlive its device.
class UsbPipe : public virtual PipeInterface
{
public:
    /// A pipe of device on the endpoint pipeId (1 to 15); no I/O.
    UsbPipe(UsbDevice& device, std::uint8_t pipeId);

    /// Closes.
    ~UsbPipe() override;

    UsbPipe(const UsbPipe&) = delete;
    UsbPipe& operator=(const UsbPipe&) = delete;

    std::uint32_t GetPipeId() const override { return m_pipeId; }
    DeviceInterface& GetDevice() override { return m_device; }

    /// Opens the endpoint pair. Answers 0, 3 when the device is closed, or 4;
    /// raises what BulkEndpoint_Libusb::Open raises (a missing or wrong pipe).
    /// Blocks briefly.
    std::uint32_t Open() override;

    /// Closes the endpoint pair, discarding bytes received and not read.
    /// Thread-safe; never throws.
    void Close() override { m_endpoint.Close(); }

    /// Marks the device disconnected (without a transfer having found it
    /// gone), then closes as Close. Thread-safe; never throws.
    void CloseAsLost() override;

    bool IsOpen() const override { return m_endpoint.IsOpen(); }
    bool IsConnected() const override { return m_endpoint.IsConnected(); }
    Q7::Platform::EventStatus& GetClosedEvent() override { return m_endpoint.GetClosedEvent(); }
    Q7::Platform::EventStatus& GetDisconnectedEvent() override { return m_endpoint.GetDisconnectedEvent(); }

    /// Discards the bytes received and not yet read (no clear-halt is sent).
    bool Flush() override { return m_endpoint.Flush(); }

    /// Reads exactly size bytes, through as many endpoint reads as it takes (a
    /// zero-length packet ends one, not this call); adds every byte moved to
    /// *transferred, also on failure. The time-out bounds the whole call.
    uint32_t Read(void* buffer, uint32_t size, const WaitObjectList* abortObjects, uint32_t* transferred,
                  uint32_t timeoutMs) override;

    /// One endpoint write of the whole buffer; the result is the endpoint's.
    /// Once it returns the buffer is no longer used.
    uint32_t Write(const void* buffer, uint32_t size, const WaitObjectList* abortObjects,
                   uint32_t* transferred, uint32_t timeoutMs) override;

    /// Burst IN: reads queued from the next start of the endpoint's reads are
    /// about 1 MiB (true) or one packet (false).
    virtual void SetBurstIn(bool enable);

private:
    UsbDevice& m_device; // not owned; outlives the pipe
    const std::uint8_t m_pipeId;
    Q7::Platform::Usb::BulkEndpoint_Libusb m_endpoint;
};

} // namespace Q7::KPX::Transport
