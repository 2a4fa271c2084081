#include "Q7PlatformUsbEnum_Libusb.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace Q7::Platform::Usb
{

namespace
{

// Stop rounds of the monitor thread.
constexpr std::uint32_t kThreadStopWaitMs = 10000;
// Reports kept for the monitor thread; beyond them it refreshes regardless.
constexpr std::size_t kMaxQueuedReports = 256;

Q7::Universal::UniversalStringA Utf8Text(const std::string& text)
{
    Q7::Universal::UniversalStringA result;
    result.Assign(text.c_str(), text.size());
    return result;
}

// The interface of the device that the entry means; null when it has none.
const HostInterfaceInfo* FindInterface(const HostDeviceDescription& device,
                                       const DeviceEnumFilter_Libusb& entry)
{
    for (const HostInterfaceInfo& interface : device.interfaces)
    {
        const std::uint8_t value =
            entry.interfaceMatch == InterfaceMatch::kNumber ? interface.number : interface.interfaceClass;
        if (value == entry.interfaceValue)
        {
            return &interface;
        }
    }
    return nullptr;
}

DeviceMoniker_Libusb MakeMoniker(const HostDeviceInfo& device, const HostInterfaceInfo& interface,
                                 const DeviceEnumFilter_Libusb& entry)
{
    const HostDeviceDescription& d = device.description;
    DeviceMoniker_Libusb moniker;
    moniker.vendorId = d.vendorId;
    moniker.productId = d.productId;
    moniker.manufacturer = Utf8Text(d.manufacturer);
    moniker.friendlyName = Utf8Text(d.product);
    moniker.identity = Utf8Text(d.serialNumber.empty() ? device.location.PortPath() : d.serialNumber);
    moniker.devicePath = Utf8Text(FormatDevicePath(device.location, interface.number));
    moniker.interfaceClass = Q7::Universal::ToNarrow(
        entry.interfaceClass.IsEmpty() ? DefaultInterfaceClassText().c_str() : entry.interfaceClass.c_str());
    return moniker;
}

} // namespace

// ---------------------------------------------------------------- enumerator

DeviceEnumerator_Libusb::DeviceEnumerator_Libusb() : m_backend(GetHostBackend()) {}

DeviceEnumerator_Libusb::DeviceEnumerator_Libusb(HostBackend& backend) : m_backend(backend) {}

void DeviceEnumerator_Libusb::Enumerate(std::vector<DeviceMoniker_Libusb>& out,
                                        const std::vector<DeviceEnumFilter_Libusb>& filter)
{
    out.clear();
    if (filter.empty())
    {
        return;
    }
    std::vector<HostDeviceInfo> devices;
    {
        const ScopedHostBackendStart start(m_backend);
        devices = m_backend.List();
    }
    for (const HostDeviceInfo& device : devices)
    {
        if (!device.readError.empty())
        {
            Q7::Universal::LogWarning(L"USB device %hs skipped: %hs.", device.location.PortPath().c_str(),
                                      device.readError.c_str());
        }
    }
    for (const DeviceEnumFilter_Libusb& entry : filter)
    {
        for (const HostDeviceInfo& device : devices)
        {
            const HostDeviceDescription& d = device.description;
            if (!device.readError.empty() || (entry.vendorId != 0 && entry.vendorId != d.vendorId) ||
                (entry.productId != 0 && entry.productId != d.productId))
            {
                continue;
            }
            if (const HostInterfaceInfo* interface = FindInterface(d, entry))
            {
                out.push_back(MakeMoniker(device, *interface, entry));
            }
        }
    }
}

// ---------------------------------------------------------------- monitor

bool ChangeMatchesFilter(const HostChange& change, const std::vector<DeviceEnumFilter_Libusb>& filter)
{
    if (filter.empty() || !change.idsKnown)
    {
        return true;
    }
    return std::any_of(filter.begin(), filter.end(),
                       [&](const DeviceEnumFilter_Libusb& entry)
                       {
                           return (entry.vendorId == 0 || entry.vendorId == change.vendorId) &&
                                  (entry.productId == 0 || entry.productId == change.productId);
                       });
}

DeviceMonitor_Libusb::DeviceMonitor_Libusb() : DeviceMonitor_Libusb(GetHostBackend()) {}

DeviceMonitor_Libusb::DeviceMonitor_Libusb(HostBackend& backend) : m_backend(backend), m_enumerator(backend)
{
}

DeviceMonitor_Libusb::~DeviceMonitor_Libusb()
{
    Stop();
}

void DeviceMonitor_Libusb::SetFilter(const std::vector<DeviceEnumFilter_Libusb>& filter)
{
    ScopedLock lock(m_idFilterLock);
    BaseDeviceMonitor::SetFilter(filter);
    m_idFilter = filter;
}

void DeviceMonitor_Libusb::Start()
{
    if (IsRefreshThread())
    {
        StartFromCallback();
        return;
    }
    ScopedLock lock(m_startLock);
    if (IsRunning())
    {
        return;
    }
    Stop();
    bool failed = false;
    {
        ScopedLock parts(m_partsLock);
        // Raised to the caller: a USB subsystem that cannot start must reach the
        // device manager.
        m_backend.Start();
        m_backendStarted = true;
        try
        {
            StartPartsLocked();
        }
        catch (const Q7::Universal::UniversalError&)
        {
            failed = true; // logged where it was raised
        }
        catch (const std::exception&)
        {
            failed = true;
        }
    }
    if (failed)
    {
        Stop(); // without the parts lock: the refresh thread may be in a callback
    }
}

void DeviceMonitor_Libusb::StartPartsLocked()
{
    // Listening before the first refresh: a device attached while it runs
    // requests another.
    if (!m_listening)
    {
        m_backend.AddListener(*this);
        m_listening = true;
    }
    BaseDeviceMonitor::Start();
    if (!m_monitorThread.IsRunning())
    {
        m_monitorThread.Close();
        m_monitorThread.Start(ThreadFunctor(this, &DeviceMonitor_Libusb::MonitorThread), nullptr, 0);
    }
}

void DeviceMonitor_Libusb::StartFromCallback()
{
    ScopedLock parts(m_partsLock);
    if (m_stopping || IsRunning())
    {
        return; // a Stop on another thread wins; a running monitor stays as it is
    }
    if (!m_backendStarted)
    {
        m_backend.Start(); // raised to the callback, the monitor left stopped
        m_backendStarted = true;
    }
    try
    {
        StartPartsLocked();
    }
    catch (const Q7::Universal::UniversalError&)
    {
        StopFromCallbackLocked(); // logged where it was raised
    }
    catch (const std::exception&)
    {
        StopFromCallbackLocked();
    }
}

void DeviceMonitor_Libusb::Stop()
{
    if (IsRefreshThread())
    {
        ScopedLock parts(m_partsLock);
        StopFromCallbackLocked();
        return;
    }
    ScopedLock lock(m_startLock);
    {
        ScopedLock parts(m_partsLock);
        m_stopping = true;
        StopPartsLocked();
    }
    // Waits for the refresh thread without the parts lock: a callback there may
    // call Start or Stop, which take it.
    BaseDeviceMonitor::Stop();
    ScopedLock parts(m_partsLock);
    ReleaseBackendLocked();
    m_stopping = false;
}

void DeviceMonitor_Libusb::StopFromCallbackLocked()
{
    StopPartsLocked();
    BaseDeviceMonitor::Stop(); // asks the refresh thread (this one) to stop after the callback
    ReleaseBackendLocked();
}

void DeviceMonitor_Libusb::StopPartsLocked()
{
    if (m_listening)
    {
        m_backend.RemoveListener(*this);
        m_listening = false;
    }
    while (!m_monitorThread.Stop(kThreadStopWaitMs))
    {
        Q7::Universal::LogWarning(L"USB device monitor thread taking an unexpectedly long time to stop.");
    }
    m_monitorThread.Close();
    std::lock_guard<std::mutex> reportLock(m_reportMutex);
    m_reports.clear();
    m_reportsOverflowed = false;
    m_reportEvent.Reset();
}

void DeviceMonitor_Libusb::ReleaseBackendLocked()
{
    if (m_backendStarted)
    {
        m_backendStarted = false;
        m_backend.Stop();
    }
}

bool DeviceMonitor_Libusb::IsRunning()
{
    return BaseDeviceMonitor::IsRunning() && m_monitorThread.IsRunning();
}

void DeviceMonitor_Libusb::OnHostChange(const HostChange& change) noexcept
{
    try
    {
        std::lock_guard<std::mutex> lock(m_reportMutex);
        if (m_reports.size() < kMaxQueuedReports)
        {
            m_reports.push_back(change);
        }
        else
        {
            m_reportsOverflowed = true;
        }
        m_reportEvent.Set();
    }
    catch (const std::exception&)
    {
        // Out of memory: the safety refresh of the backend reports again.
    }
}

void DeviceMonitor_Libusb::MonitorThread(Thread_Posix& thread, void* /*parameter*/)
{
    thread.GetReadyEvent().Set();
    while (!thread.IsStopRequested())
    {
        uint32_t index = kNoSignalledIndex;
        WaitForAnyOf(&index, 2, &thread.GetStopEvent(), &m_reportEvent);
        if (index != 1)
        {
            return;
        }
        std::vector<HostChange> reports;
        bool overflowed = false;
        {
            std::lock_guard<std::mutex> lock(m_reportMutex);
            reports.swap(m_reports);
            overflowed = std::exchange(m_reportsOverflowed, false);
            m_reportEvent.Reset();
        }
        bool wanted = overflowed;
        {
            ScopedLock lock(m_idFilterLock);
            for (const HostChange& change : reports)
            {
                wanted = wanted || ChangeMatchesFilter(change, m_idFilter);
            }
        }
        if (wanted)
        {
            RequestRefresh();
        }
    }
}

} // namespace Q7::Platform::Usb
