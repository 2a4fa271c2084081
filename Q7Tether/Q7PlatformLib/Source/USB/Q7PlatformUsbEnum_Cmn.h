#pragma once
// USB device enumeration and the USB device-list monitor, independent of the
// USB stack: the filter entry, the enumerator interface, the monitor interface
// and BaseDeviceMonitor, which keeps the list of matching devices current on
// its "USB device refresh" thread.

#include "Q7PlatformDeviceEnum.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformUsbDeviceMoniker_Libusb.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalString.h"

#include <cstdint>
#include <vector>

namespace Q7::Platform::Usb
{

/// How a filter entry names the interface of the device it means.
enum class InterfaceMatch : std::uint8_t
{
    kNumber, ///< the interface with this number
    kClass,  ///< the first interface (lowest number) of this class
};

/// One entry of a USB device filter; a filter is a list of them, in the
/// caller's order.
struct DeviceEnumFilter_Libusb
{
    std::uint16_t vendorId = 0;  ///< 0: any
    std::uint16_t productId = 0; ///< 0: any
    InterfaceMatch interfaceMatch = InterfaceMatch::kNumber;
    std::uint8_t interfaceValue = 0; ///< the interface number or class, per interfaceMatch
    /// Interface class text given to the monikers this entry finds; empty: the
    /// default text (DefaultInterfaceClassText).
    Q7::Universal::UniversalString interfaceClass;
};

/// "{A5DCBF10-6530-11D2-901F-00C04FB951ED}": the interface class text of
/// monikers whose filter entry has none. Thread-safe.
Q7::Universal::UniversalString DefaultInterfaceClassText();

/// Lists the USB devices that match a filter.
using DeviceEnumeratorInterface =
    DeviceEnum::EnumeratorInterface<DeviceMoniker_Libusb, DeviceEnumFilter_Libusb>;

/// A USB device-list monitor.
class DeviceMonitorInterface
{
public:
    /// Kind of change passed to the notify callback with the moniker.
    enum EnumNotify
    {
        kEnumNotify_DeviceAdded = 0,
        kEnumNotify_DeviceRemoved = 1,
    };

    /// The notify callback: the kind and the device; the moniker pointer is
    /// valid only during the call.
    using NotifyCallback = Q7::Universal::FunctionPointer2<void, EnumNotify, const DeviceMoniker_Libusb*>;

    virtual void SetNotifyCallback(const NotifyCallback& callback) = 0;
    virtual void SetFilter(const std::vector<DeviceEnumFilter_Libusb>& filter) = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool IsRunning() = 0;
    virtual void GetDevices(std::vector<DeviceMoniker_Libusb>& devices) = 0;
    virtual void Enumerate(std::vector<DeviceMoniker_Libusb>& devices) = 0;
    virtual void Refresh() = 0;
    virtual ~DeviceMonitorInterface() = default;
};

/// The USB device-list monitor: its refresh thread "USB device refresh"
/// enumerates on request, compares with the list it holds (two monikers are
/// the same device when their device paths are equal) and notifies each
/// device that went away, then each that appeared, in order. A derived class
/// supplies the enumerator and requests refreshes; it must call Stop in its own
/// destructor. Thread-safe; callbacks run on the refresh thread, under the
/// callback lock (so SetNotifyCallback waits for a running notification).
class BaseDeviceMonitor : public DeviceMonitorInterface
{
public:
    BaseDeviceMonitor();
    /// Stops.
    ~BaseDeviceMonitor() override;

    BaseDeviceMonitor(const BaseDeviceMonitor&) = delete;
    BaseDeviceMonitor& operator=(const BaseDeviceMonitor&) = delete;

    /// Stores a clone of the callback (none for a null one).
    void SetNotifyCallback(const NotifyCallback& callback) override;
    /// Copies the filter; does not refresh.
    void SetFilter(const std::vector<DeviceEnumFilter_Libusb>& filter) override;
    /// Empties the list, clears the enumerated event and starts the refresh
    /// thread with a refresh requested, so that every present matching device
    /// is reported as added; nothing when it runs. Raises ModuleError 0x650066
    /// (logged) "USB device monitor: notify callback not set." without a
    /// callback. Blocks briefly.
    void Start() override;
    /// Stops the refresh thread (warning "USB device refresh thread taking an
    /// unexpectedly long time to stop." after each 10 s); keeps the list and the
    /// callback. Blocks. From a notify callback it asks the thread to stop
    /// after the callback (see MonitorMachine::Stop), and a Start there takes
    /// that back.
    void Stop() override;
    /// The refresh thread runs and no Stop is pending.
    bool IsRunning() override;
    /// Copies the device list out, in the order the devices were added.
    void GetDevices(std::vector<DeviceMoniker_Libusb>& devices) override;
    /// Refresh, then GetDevices (running: the list before that refresh).
    void Enumerate(std::vector<DeviceMoniker_Libusb>& devices) override;
    /// Running: requests a refresh that notifies. Stopped: refreshes at once on
    /// the calling thread without notifying (and sets the enumerated event),
    /// raising what the enumerator raises.
    void Refresh() override;

    /// Set after every completed refresh, cleared by Start: a wait on it after
    /// Start returns once the first enumeration of that start is complete.
    EventStatus& GetEnumeratedEvent();

    /// The enumerator the refreshes use.
    virtual DeviceEnumeratorInterface& GetEnumerator() = 0;

protected:
    /// Asks the running refresh thread for a refresh (several requests before
    /// it wakes make one). Thread-safe; never blocks.
    void RequestRefresh();

    /// The caller is the refresh thread (a notify callback runs there).
    bool IsRefreshThread() const;

private:
    using Machine =
        DeviceEnum::Detail::MonitorMachine<DeviceMoniker_Libusb, DeviceEnumFilter_Libusb, EnumNotify>;
    Machine m_machine;
};

} // namespace Q7::Platform::Usb
