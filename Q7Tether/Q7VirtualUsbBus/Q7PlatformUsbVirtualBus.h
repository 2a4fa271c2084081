#pragma once
// The virtual USB bus: a host backend that lives in the process. Tests plug
// devices with the descriptors, interfaces and texts they choose and take them
// out again; the library's USB classes see them as they would see a real bus.

#include "Q7PlatformUsbHostBackend.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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

/// One bus of devices (no root hub is listed). Every member is thread-safe.
///
/// List reflects the bus at once: a device is listed from the moment Plug
/// returns until Unplug starts. Change reports are delivered on the thread
/// that plugs or unplugs, after the list changed (so an unplugged device is
/// gone from the list before its removal is reported). There is no safety
/// refresh: a report held back (HoldReports) and never released is never seen.
/// Handles opened on the bus must be destroyed before the bus.
class VirtualUsbBus final : public HostBackend
{
public:
    explicit VirtualUsbBus(std::uint8_t busNumber = 1);
    ~VirtualUsbBus() override;

    /// Attaches a device at the port path (hub ports from the root, 1 to 7
    /// entries of 1-255), gives it the next free address (2 to 127, as the
    /// system counts) and reports its arrival. Answers its location. Raises
    /// std::invalid_argument for a bad or occupied port path, std::length_error
    /// when all addresses are taken.
    HostDeviceLocation Plug(const std::vector<std::uint8_t>& ports, const HostDeviceDescription& description,
                            const VirtualPlugOptions& options = {});

    /// Detaches the device at the port path: takes it off the list, marks its
    /// open handles as without device, then reports its removal. Answers false
    /// when no device is there.
    bool Unplug(const std::vector<std::uint8_t>& ports);

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

protected:
    /// Raises the start failure, if one is set.
    void DoStart() override;
    void DoStop() noexcept override {}

private:
    class Handle;
    struct Device; // an attached device, shared with its open handles

    // Delivers the report, or queues it while reports are held.
    void Deliver(const HostChange& change);

    const std::uint8_t m_busNumber;

    mutable std::mutex m_mutex;                     // guards every member below and the devices' claims
    std::vector<std::shared_ptr<Device>> m_devices; // attached, ordered by port
    std::uint8_t m_lastAddress = 1;
    bool m_reportsHeld = false;
    std::vector<HostChange> m_heldReports;
    bool m_listingHeld = false;
    std::condition_variable m_listingReleased;
    std::string m_startFailure;
    std::uint64_t m_listCount = 0;
};

} // namespace Q7::Platform::Usb
