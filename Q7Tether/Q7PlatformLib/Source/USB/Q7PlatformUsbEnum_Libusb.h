#pragma once
// USB device enumeration and the USB device monitor over the host backend.

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7PlatformUsbEnum_Cmn.h"
#include "Q7PlatformUsbHostBackend.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace Q7::Platform::Usb
{

/// Lists the interfaces of attached USB devices that match a filter, as
/// monikers. It keeps no state between calls. Reentrant.
///
/// A filter entry matches a device whose vendor and product ids it accepts
/// and that has the interface the entry names (by number, or the first of its
/// class). The moniker carries the ids, the manufacturer and product texts
/// (the latter as friendly name), the identity (the device's serial number; a
/// device without one gets its bus and port path, "1-4.2"), the device path
/// (FormatDevicePath: the attached device and the interface to claim, new for
/// each attachment) and the entry's interface class text.
class DeviceEnumerator_Libusb : public DeviceEnumeratorInterface
{
public:
    /// Uses the process's host backend (choosing it if nothing did yet).
    DeviceEnumerator_Libusb();
    /// Uses backend, which must outlive the enumerator.
    explicit DeviceEnumerator_Libusb(HostBackend& backend);

    /// Clears out, then appends one moniker per matching entry and device:
    /// entry by entry in filter order, devices in bus order within an entry (a
    /// device that matches several entries is listed once per entry). An empty
    /// filter ends at once without touching the backend. A device whose
    /// descriptors cannot be read is skipped with the warning "USB device %hs
    /// skipped: %hs." (port path, reason). Starts the backend for the call:
    /// raises StdExceptionError (logged) when it cannot start or cannot list.
    /// Blocks.
    void Enumerate(std::vector<DeviceMoniker_Libusb>& out,
                   const std::vector<DeviceEnumFilter_Libusb>& filter) override;

    /// The backend it lists.
    HostBackend& GetBackend() const { return m_backend; }

private:
    HostBackend& m_backend;
};

/// True when a change report concerns a device the filter may list: its vendor
/// and product ids match an entry (0 in an entry accepts any id), the filter is
/// empty, or the report has no ids. Reentrant.
bool ChangeMatchesFilter(const HostChange& change, const std::vector<DeviceEnumFilter_Libusb>& filter);

/// The USB device monitor: a BaseDeviceMonitor over DeviceEnumerator_Libusb,
/// with a second thread, "USB device monitor", fed by the backend's change
/// reports. A report whose vendor and product ids match an entry of the filter
/// (an empty filter matches all; a report without ids matches too) requests a
/// refresh; the refresh thread then enumerates, compares and notifies.
/// Thread-safe; callbacks run on "USB device refresh".
class DeviceMonitor_Libusb final : public BaseDeviceMonitor, private HostChangeListener
{
public:
    /// Uses the process's host backend (choosing it if nothing did yet).
    DeviceMonitor_Libusb();
    /// Uses backend, which must outlive the monitor.
    explicit DeviceMonitor_Libusb(HostBackend& backend);

    /// Stops: once it returns no backend report is being delivered to the
    /// monitor and none will be.
    ~DeviceMonitor_Libusb() override;

    /// Sets the filter of the refreshes and of the change reports.
    void SetFilter(const std::vector<DeviceEnumFilter_Libusb>& filter) override;

    /// Starts the backend (synchronously: a backend that cannot start raises its
    /// StdExceptionError here, with the monitor left stopped), listens to its
    /// reports, starts the refresh thread (whose first refresh reports every
    /// present matching device as added) and the monitor thread. Any other error
    /// on the way (a missing notify callback, logged as "USB device monitor:
    /// notify callback not set.") stops everything again and Start returns
    /// normally. Nothing when both threads run. Blocks briefly.
    /// From a notify callback after a Stop there, it starts everything again;
    /// the refresh thread goes on after the callback with a first refresh that
    /// reports every present device as added (see BaseDeviceMonitor::Start).
    /// It does nothing there while a Stop on another thread is under way.
    void Start() override;

    /// Stops listening (waiting for a report being delivered), stops the monitor
    /// thread (warning "USB device monitor thread taking an unexpectedly long
    /// time to stop." after each 10 s) and the refresh thread, and releases the
    /// backend. Keeps the device list and the callback. Blocks. From a notify
    /// callback it does the same except that the refresh thread (the caller)
    /// ends once the callback returned; it never waits there for a Stop on
    /// another thread.
    void Stop() override;

    /// Both threads run and no Stop is pending.
    bool IsRunning() override;

    /// The monitor's own enumerator.
    DeviceEnumeratorInterface& GetEnumerator() override { return m_enumerator; }

private:
    // Queues the report and wakes the monitor thread (on a backend thread).
    void OnHostChange(const HostChange& change) noexcept override;

    // Body of "USB device monitor": takes the queued reports and requests a
    // refresh when one of them matches the id filter.
    void MonitorThread(Thread_Posix& thread, void* parameter);

    // Start and Stop on the refresh thread (from a notify callback); the parts
    // lock held where the name says so.
    void StartFromCallback();
    void StopFromCallbackLocked();
    // Listener, refresh thread and monitor thread up (parts lock held).
    void StartPartsLocked();
    // Listener and monitor thread down, reports dropped (parts lock held).
    void StopPartsLocked();
    // Drops this monitor's Start of the backend (parts lock held).
    void ReleaseBackendLocked();

    HostBackend& m_backend;
    DeviceEnumerator_Libusb m_enumerator;
    Thread_Posix m_monitorThread{L"USB device monitor"};

    // Serialises Start and Stop of other threads than the refresh thread, which
    // never takes it: a Stop holds it while it waits for the refresh thread.
    Mutex_Posix m_startLock;
    // Guards the members below up to m_stopping; taken by Start and Stop on
    // every thread, never held while waiting for the refresh thread.
    Mutex_Posix m_partsLock;
    bool m_backendStarted = false; // this monitor holds one Start of the backend
    bool m_listening = false;      // added as the backend's listener
    bool m_stopping = false;       // a Stop on another thread than the refresh thread is under way

    Mutex_Posix m_idFilterLock;                      // guards m_idFilter; taken before the base filter lock
    std::vector<DeviceEnumFilter_Libusb> m_idFilter; // the filter, for the change reports

    std::mutex m_reportMutex; // guards m_reports and m_reportsOverflowed (backend threads take it)
    std::vector<HostChange> m_reports;
    bool m_reportsOverflowed = false;          // reports were dropped: refresh regardless
    EventCondition_Posix m_reportEvent{false}; // set with reports queued; reset under m_reportMutex
};

} // namespace Q7::Platform::Usb
