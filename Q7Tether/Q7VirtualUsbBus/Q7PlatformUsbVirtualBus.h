#pragma once
// The virtual USB bus: a host backend that lives in the process. Tests plug
// devices with the descriptors, interfaces and texts they choose and take them
// out again; the library's USB classes see them as they would see a real bus.
// The device's side of each bulk endpoint pair (VirtualFunctionEndpoint) is
// what the device's firmware sees: the camera simulator sits there.
//
// Transfers behave as on hardware:
// - IN data reaches the host in packets of the endpoint's maximum packet size:
//   each Send of the device is one transfer of the device, cut into packets,
//   the last one short; a Send of a whole number of packets (also of none) ends
//   with a zero-length packet. A host IN transfer ends on a full buffer, a short
//   or a zero-length packet; a packet that does not fit the rest of a host
//   buffer ends it with kOverflow (the packet is lost).
// - OUT data is taken by the device as its firmware reads it (Receive): a host
//   OUT transfer ends when the device took every byte, so a write to a device
//   that does not read blocks.
// - A cancelled transfer ends (kCancelled) with the bytes moved before.
// - Unplugging ends every transfer in flight with kNoDevice (or, as a pulled
//   cable often does, with a transfer error), delivered before the removal is
//   reported.
// - Faults on request: the firmware's side can end the host's next transfer
//   on an endpoint with an I/O error, a stall or an overflow
//   (VirtualFunctionEndpoint::FailHostTransfer).
// - Transfers end on the bus's completion thread, never inside Submit.
// - The bytes of host transfers in flight are capped bus-wide (as Linux caps
//   USB transfer memory, 16 MiB by default): a Submit beyond it answers
//   kNoMemory.

#include "Q7PlatformUsbHostBackend.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Q7::Platform::Usb
{

/// How a device on the virtual bus behaves beyond its description.
struct VirtualPlugOptions
{
    /// Non-empty: the device's descriptors cannot be read (listings carry this
    /// as the readError).
    std::string readError;
    /// The user may not open the device (Open answers kAccessDenied).
    bool accessDenied = false;
};

class VirtualFunctionEndpoint;

/// One bus of devices (no root hub is listed). Every member is thread-safe.
///
/// List reflects the bus at once: a device is listed from the moment Plug
/// returns until Unplug starts. Change reports are delivered on the thread
/// that plugs or unplugs, after the list changed (so an unplugged device is
/// gone from the list before its removal is reported). There is no safety
/// refresh: a report held back (HoldReports) and never released is never seen.
/// Handles opened on the bus, and their transfers, must be destroyed before
/// the bus.
class VirtualUsbBus final : public HostBackend
{
public:
    /// Linux's default cap on USB transfer memory.
    static constexpr std::uint64_t kDefaultTransferMemoryLimit = 16u * 1024 * 1024;

    /// Starts the bus's completion thread.
    explicit VirtualUsbBus(std::uint8_t busNumber = 1);
    /// Stops the completion thread.
    ~VirtualUsbBus() override;

    /// Attaches a device at the port path (hub ports from the root, 1 to 7
    /// entries of 1-255), gives it the next free address (2 to 127, as the
    /// system counts) and reports its arrival. Answers its location. Raises
    /// std::invalid_argument for a bad or occupied port path, std::length_error
    /// when all addresses are taken.
    HostDeviceLocation Plug(const std::vector<std::uint8_t>& ports, const HostDeviceDescription& description,
                            const VirtualPlugOptions& options = {});

    /// Detaches the device at the port path: takes it off the list, ends its
    /// host transfers in flight with transferStatus (kNoDevice, or kIoError as a
    /// pulled cable ends them before the system notices) and waits until their
    /// listeners ran, wakes its firmware's Send and Receive calls (which fail),
    /// marks its open handles as without device, then reports its removal.
    /// Answers false when no device is there. Not from a transfer listener.
    bool Unplug(const std::vector<std::uint8_t>& ports, HostStatus transferStatus = HostStatus::kNoDevice);

    /// The firmware's side of the bulk endpoint pair with this number (1-15) of
    /// the device at the port path; null when no device is attached there or it
    /// has no bulk OUT and IN endpoint of that number.
    std::shared_ptr<VirtualFunctionEndpoint> GetFunctionEndpoint(const std::vector<std::uint8_t>& ports,
                                                                 std::uint8_t number);

    /// Waits until the listeners of every transfer that ended so far ran (a
    /// firmware's Send returns when the host's transfers took its packets, not
    /// when the host heard of it). Not from a transfer listener.
    void WaitForCompletions();

    /// The cap on the bytes of host transfers in flight (see the file comment).
    void SetTransferMemoryLimit(std::uint64_t bytes);

    /// Keeps change reports back, in order, until ReleaseReports delivers them
    /// (a device manager daemon that is late).
    void HoldReports();
    /// Delivers the reports held back, in order, on the calling thread; later
    /// reports are delivered at once again.
    void ReleaseReports();

    /// Makes List wait until ReleaseListing (a slow bus).
    void HoldListing();
    void ReleaseListing();

    /// Non-empty: the backend cannot start, and Start raises StdExceptionError
    /// with this text. Empty: it starts.
    void SetStartFailure(std::string text);

    /// How many List calls completed.
    std::uint64_t GetListCount() const;

    /// The attached devices, ordered by port. Raises ModuleError 0x650066
    /// (plain) when not started. Blocks while listing is held.
    std::vector<HostDeviceInfo> List() override;

    /// Opens the device at location when it is attached there with that
    /// address: kNoDevice otherwise, kAccessDenied for a device plugged so.
    HostStatus Open(const HostDeviceLocation& location, std::unique_ptr<HostDeviceHandle>& handle) override;

    /// Whether a device is attached at location with its address (from Plug
    /// until Unplug starts). Raises ModuleError 0x650066 (plain) when not
    /// started.
    bool IsAttached(const HostDeviceLocation& location) override;

protected:
    /// Raises the start failure, if one is set.
    void DoStart() override;
    void DoStop() noexcept override {}

    struct Device; // an attached device, shared with its handles, transfers and firmware

private:
    class Handle;
    class Transfer;
    struct Endpoint; // the transfer state of one endpoint of a device
    friend class VirtualFunctionEndpoint;

    // A transfer's end, waiting for the completion thread.
    struct Completion
    {
        HostTransferListener* listener = nullptr;
        HostTransferResult result;
    };

    // Delivers the report, or queues it while reports are held.
    void Deliver(const HostChange& change);

    // Ends a host transfer: off its endpoint's queue, its memory released, its
    // completion queued. Its device's I/O lock is held.
    void EndTransferLocked(Endpoint& endpoint, Transfer& transfer, HostStatus status);
    // Moves IN packets from the device's sends into the host's transfers. The
    // device's I/O lock is held.
    void MatchInLocked(Device& device, Endpoint& endpoint);
    // Takes room for length bytes of transfers in flight; false beyond the cap.
    bool TakeTransferMemory(std::uint64_t length);
    void ReturnTransferMemory(std::uint64_t length);

    // Body of the completion thread.
    void CompletionLoop();

    const std::uint8_t m_busNumber;

    mutable std::mutex m_mutex;                     // guards every member below up to m_listCount, and claims
    std::vector<std::shared_ptr<Device>> m_devices; // attached, ordered by port
    std::uint8_t m_lastAddress = 1;
    bool m_reportsHeld = false;
    std::vector<HostChange> m_heldReports;
    bool m_listingHeld = false;
    std::condition_variable m_listingReleased;
    std::string m_startFailure;
    std::uint64_t m_listCount = 0;

    std::mutex m_memoryMutex; // guards the two members below
    std::uint64_t m_transferMemory = 0;
    std::uint64_t m_transferMemoryLimit = kDefaultTransferMemoryLimit;

    std::mutex m_completionMutex; // guards the members below up to m_completionStop
    std::condition_variable m_completionChanged;
    std::deque<Completion> m_completions;
    std::uint64_t m_completionsQueued = 0;
    std::uint64_t m_completionsDelivered = 0;
    bool m_completionStop = false;
    std::thread m_completionThread;
};

/// The device's (the firmware's) side of one bulk endpoint pair of a device on
/// the virtual bus: the OUT and the IN endpoint of one number. Made by
/// VirtualUsbBus::GetFunctionEndpoint; it may outlive the device's attachment
/// (every call then fails). Thread-safe: one thread may send while another
/// receives.
class VirtualFunctionEndpoint
{
public:
    VirtualFunctionEndpoint(const VirtualFunctionEndpoint&) = delete;
    VirtualFunctionEndpoint& operator=(const VirtualFunctionEndpoint&) = delete;

    /// Sends the pieces, joined, to the host on the IN endpoint as one transfer
    /// of the device (see the file comment for its packets). Blocks until the
    /// host's transfers took all of it; answers false, the rest dropped, when
    /// the device is unplugged or Wake was called first. Several senders are
    /// served in the order they called.
    bool Send(std::span<const std::span<const std::uint8_t>> pieces);

    /// Waits until the host sent bytes on the OUT endpoint and takes up to
    /// buffer.size() of them (at least one). Answers their number; 0 when the
    /// device is unplugged or Wake was called. A buffer of size 0 answers 0.
    std::size_t Receive(std::span<std::uint8_t> buffer);

    /// Ends blocked and later Send and Receive calls of this object at once (a
    /// firmware that stops). Never blocks for long.
    void Wake();

    /// Ends the host's oldest transfer in flight on the IN endpoint (in true)
    /// or the OUT endpoint with status, the bytes it moved so far counted: as a
    /// host controller reports a transfer error (kIoError), a halted endpoint
    /// (kStall) or babble (kOverflow). With none in flight, the next transfer
    /// the host submits there ends so at once (one fault is kept per endpoint;
    /// a later call replaces it). Answers false when the device is unplugged.
    /// Never blocks for long.
    bool FailHostTransfer(bool in, HostStatus status);

    /// The IN endpoint's maximum packet size.
    std::uint16_t GetMaxPacketSize() const { return m_maxPacketSize; }

    /// Made by VirtualUsbBus::GetFunctionEndpoint only.
    VirtualFunctionEndpoint(std::shared_ptr<VirtualUsbBus::Device> device, std::uint8_t number,
                            std::uint16_t maxPacketSize);

private:
    const std::shared_ptr<VirtualUsbBus::Device> m_device;
    const std::uint8_t m_number;
    const std::uint16_t m_maxPacketSize;
    bool m_woken = false; // guarded by the device's I/O lock
};

} // namespace Q7::Platform::Usb
