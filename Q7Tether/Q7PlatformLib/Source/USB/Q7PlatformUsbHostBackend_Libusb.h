#pragma once
// The host backend on libusb-1.0: one libusb context serves listing, hotplug
// and I/O, and one named thread, "USB host events", handles its events.

#include "Q7PlatformThread_Posix.h"
#include "Q7PlatformUsbHostBackend.h"
#include "Q7PlatformUsbSysfs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Q7::Platform::Usb
{

/// The libusb host backend (see HostBackend for the contract).
///
/// Listing: where the system offers sysfs, devices, descriptors and texts come
/// from there: the kernel read them when the device was attached, so listing
/// never disturbs a busy camera, and the list is current even where libusb's
/// own device list is not (without a device-manager daemon libusb hears of no
/// change). Elsewhere libusb lists the devices, and the texts are read as
/// string descriptors (UTF-16 decoded by the library; a device that cannot be
/// opened keeps empty texts).
///
/// Change reports: libusb hotplug callbacks (each reads only the device
/// descriptor, as libusb allows for a device that left, and reports), plus a
/// slow safety refresh on the event thread that compares the attached devices
/// with the last look and reports each difference: without a device-manager
/// daemon, as in containers, libusb accepts the hotplug callback and no event
/// ever comes.
///
/// Opening: the device's node under the usbfs root (/dev/bus/usb/BBB/AAA),
/// handed to libusb; where sysfs is there it first checks that the device at
/// the location still has the address asked for.
class HostBackend_Libusb final : public HostBackend
{
public:
    /// Where the system's USB records are and how often the safety refresh
    /// runs. Tests point the roots at trees of their own.
    struct Options
    {
        std::string sysfsRoot = Sysfs::kDefaultRoot;
        std::string usbfsRoot = "/dev/bus/usb";
        std::uint32_t safetyRefreshMs = 2000;
    };

    HostBackend_Libusb();
    explicit HostBackend_Libusb(Options options);

    /// Takes the backend down if it is still started.
    ~HostBackend_Libusb() override;

    std::vector<HostDeviceInfo> List() override;

    HostStatus Open(const HostDeviceLocation& location, std::unique_ptr<HostDeviceHandle>& handle) override;

    /// Where sysfs is there, whether the device at location's bus and ports has
    /// location's address; elsewhere whether libusb's device list has it.
    bool IsAttached(const HostDeviceLocation& location) override;

protected:
    /// libusb_init, the hotplug callback (a refused one is a warning: the safety
    /// refresh remains), the first look at the attached devices and the event
    /// thread. Raises StdExceptionError (logged) "USB host backend could not
    /// start: libusb_init() failed: ..." and the like.
    void DoStart() override;

    /// Deregisters the hotplug callback, stops the event thread (waiting in
    /// 10-second rounds with a warning after each), then libusb_exit.
    void DoStop() noexcept override;

private:
    struct Context; // the libusb context and hotplug handle, while started

    // Body of "USB host events": handles libusb events and runs the safety
    // refresh every safetyRefreshMs until asked to stop.
    void EventLoop(Thread_Posix& thread, void* parameter);

    // The attached devices with their ids, by sysfs or libusb.
    std::vector<Sysfs::AttachedDevice> LookAtDevices() const;

    // Reports every difference between the last look and a new one.
    void SafetyRefresh();

    // Listing through libusb, texts from string descriptors.
    std::vector<HostDeviceInfo> ListWithLibusb() const;

    const Options m_options;
    std::unique_ptr<Context> m_pContext;           // set while started; changed under the start lock only
    bool m_sysfsAvailable = false;                 // decided at each start
    std::vector<Sysfs::AttachedDevice> m_lastLook; // the event thread's (set before it starts)
    Thread_Posix m_eventThread{L"USB host events"};
};

} // namespace Q7::Platform::Usb
