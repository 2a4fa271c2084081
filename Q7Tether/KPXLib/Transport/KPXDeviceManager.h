#pragma once
// The device manager: the list of KPX cameras that can be opened, found on USB
// by the USB device monitor and over TCP through the static address list and
// the TCP camera monitor. It reports each arrival and removal to one callback,
// lists the known cameras on request and makes the transport device for a
// camera's moniker. The library creates one manager, owned by the SDK bridge.

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformUsbEnum_Libusb.h"
#include "Q7UniversalError.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Transport/KPXDeviceMoniker.h"
#include "Transport/KPXStaticIpConfiguration.h"
#include "Transport/KPXTcpMonitor.h"
#include "Transport/KPXTransport.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Q7::KPX::Transport
{

/// Which transports a manager watches (fixed at construction). Any other value
/// watches none.
enum EnumTransportSelection : std::uint32_t
{
    kTransportSelection_UsbAndTcp = 0,
    kTransportSelection_UsbOnly = 1,
    kTransportSelection_TcpOnly = 2,
};

/// Keeps the list of cameras, both types mixed, in order of arrival.
///
/// Threads: the public operations are thread-safe and serialised. The callback
/// runs on the USB monitor's "USB device refresh" thread, on the service
/// monitor's "Device refresh" thread, and on the thread of StartNotify and of
/// SetStaticIpConfiguration[File]; one callback at a time. It must not call the
/// manager's operations (they may wait for the thread that runs it).
///
/// Order: each refresh of one type reports its removals, then its arrivals; a
/// refresh of one type never removes a camera of the other.
class DeviceManager
{
public:
    /// Kind of change passed to the notify callback.
    enum EnumNotify
    {
        kEnumNotify_DeviceArrived = 0,
        kEnumNotify_DeviceRemoved = 1,
    };

    /// The notify callback: the kind and the camera; the moniker pointer is
    /// valid only during the call.
    using NotifyCallback = Q7::Universal::FunctionPointer2<void, EnumNotify, const DeviceMoniker*>;

    /// A manager over the process's USB host backend. Sets up the TCP side when
    /// TCP is used, then the USB side (the cameras' filter, the monitor's
    /// callback) when USB is used; an unknown selection logs the error
    /// "DeviceManager cannot handled Transport layer selection!" and sets up
    /// nothing. An error while setting up USB is raised as StdExceptionError
    /// (internal error). Starts nothing.
    explicit DeviceManager(std::uint32_t selection);

    /// The same over the given USB host backend, which must outlive the manager.
    DeviceManager(std::uint32_t selection, Q7::Platform::Usb::HostBackend& usbBackend);

    /// StopNotify.
    ~DeviceManager();

    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    /// Stores a clone of the callback; a null or empty one removes it. Waits for
    /// a running notification. Thread-safe; not from the callback.
    void SetNotifyCallback(const NotifyCallback& callback);

    /// Starts notification: empties the list, starts the USB monitor (whose
    /// first enumeration then reports every present USB camera as arrived) and
    /// the TCP monitor, and reports every TCP camera as arrived. Nothing when
    /// notification runs already. Raises ModuleError 0x650066 (logged) "KPX
    /// device manager: notify callback not set." without a callback. A USB
    /// subsystem that cannot start raises its StdExceptionError with selection 1;
    /// with selection 0 it is logged as the warning "USB subsystem failed: %s"
    /// and TCP goes on. On any error notification is stopped again. Blocks.
    /// Thread-safe.
    void StartNotify();

    /// Stops the monitors (waiting for their threads); keeps the list. Blocks.
    /// Thread-safe.
    void StopNotify();

    /// Replaces devices with the known cameras, in order of arrival. With
    /// notification running it first waits up to 1000 ms for the USB monitor's
    /// first enumeration (then logs the warning "KPXLib EnumerateDevices gave up
    /// waiting on USB enumeration to finish, after 1 sec." and goes on);
    /// otherwise it enumerates USB and TCP on the spot without notifying (a USB
    /// failure as in StartNotify). A std::exception is raised as
    /// StdExceptionError (internal error). Blocks. Thread-safe.
    void EnumerateDevices(std::vector<DeviceMoniker>& devices);

    /// A new, closed transport device for the moniker, owned by the caller: a
    /// UsbDevice on the process's USB host backend for type 1, a TcpDevice for
    /// type 2. Any other type raises ModuleError 0x650002 "KPX device manager:
    /// cannot create device of unknown type." (internal error). Reentrant.
    static std::unique_ptr<DeviceInterface> CreateDevice(const DeviceMoniker& moniker);

    /// Logs "KPX - setting static IP configuration", replaces the static address
    /// list from the text (format and errors: StaticIpConfiguration::SetFromText)
    /// and, when TCP is used, refreshes the TCP cameras, with notification while
    /// notification runs (before StartNotify the list changes silently, since
    /// StartNotify reports every camera it finds). Blocks. Thread-safe.
    void SetStaticIpConfiguration(const char* text);

    /// Logs "KPX - setting static IP configuration file", replaces the static
    /// address list from the file at the UTF-8 path (format and errors:
    /// StaticIpConfiguration::SetFromFile) and, when TCP is used, refreshes the
    /// TCP cameras as SetStaticIpConfiguration does. Blocks. Thread-safe.
    void SetStaticIpConfigurationFile(const char* path);

private:
    using UsbMonitor = Q7::Platform::Usb::DeviceMonitor_Libusb;
    using UsbNotify = Q7::Platform::Usb::DeviceMonitorInterface::EnumNotify;

    bool UsesUsb() const;
    bool UsesTcp() const;

    // Sets up the monitors' callbacks and the USB filter (constructors).
    void SetUp();

    // Starts the USB monitor; a backend that cannot start goes to HandleUsbFailure.
    void StartUsb();

    // Raises the error again with selection 1, else logs "USB subsystem failed: %s".
    void HandleUsbFailure(const Q7::Universal::StdExceptionError& error);

    // Brings the USB cameras of the list up to date with the USB monitor (a fresh
    // enumeration when enumerateNow is set, else the monitor's current list).
    void RefreshUsb(bool enumerateNow, bool notify);

    // Brings the TCP cameras of the list up to date with the static list and the
    // resolved services.
    void RefreshTcp(bool notify);

    // After the static list changed: a TCP refresh when TCP is used, notifying
    // while notification runs. Manager lock held.
    void RefreshTcpAfterStaticListChange();

    // Replaces the cameras of the type in the list by fresh (see the .cpp);
    // notifies removals, then arrivals, when notify is set.
    void Update(std::uint32_t type, const std::vector<DeviceMoniker>& fresh, bool notify);

    // Calls the callback; its exceptions are logged.
    void Notify(EnumNotify kind, const DeviceMoniker& moniker);

    // The monitors' handlers, on their threads.
    void OnUsbNotify(UsbNotify kind, const Q7::Platform::Usb::DeviceMoniker_Libusb* device);
    void OnTcpNotify(TcpMonitor::EnumNotify kind, const TcpMoniker* moniker);

    static constexpr std::uint32_t kUsbEnumerationWaitMs = 1000;

    Q7::Platform::Mutex_Posix m_managerLock;  // serialises the public operations; guards m_notifying
    Q7::Platform::Mutex_Posix m_callbackLock; // guards m_callback; held while it runs
    NotifyCallback m_callback;                // empty when none
    Q7::Platform::Mutex_Posix m_listLock;     // guards m_devices; never held with m_callbackLock
    std::vector<DeviceMoniker> m_devices;     // in order of arrival
    UsbMonitor m_usbMonitor;
    TcpMonitor m_tcpMonitor;
    StaticIpConfiguration m_staticIpConfiguration;
    const std::uint32_t m_selection;
    bool m_notifying = false; // StartNotify succeeded and no StopNotify since
};

} // namespace Q7::KPX::Transport
