#include "Transport/KPXDeviceManager.h"

#include "KPXUsbCameraIds.h"
#include "Q7UniversalLogMsg.h"
#include "Transport/KPXTransport_Tcp.h"
#include "Transport/KPXTransport_Usb.h"

#include <algorithm>
#include <exception>

namespace Q7::KPX::Transport
{

using Q7::Platform::ScopedLock;
using Q7::Platform::Usb::DeviceEnumFilter_Libusb;
using Q7::Platform::Usb::DeviceMoniker_Libusb;
using Q7::Universal::StdExceptionError;

namespace
{

// The USB filter: one entry per row of the cameras' id table, in its order.
std::vector<DeviceEnumFilter_Libusb> CameraUsbFilter()
{
    std::vector<DeviceEnumFilter_Libusb> filter;
    for (const UsbIds::CameraUsbId& row : UsbIds::kCameraUsbIds)
    {
        DeviceEnumFilter_Libusb entry;
        entry.vendorId = row.vendorId;
        entry.productId = row.productId;
        entry.interfaceMatch = row.interfaceMatch == UsbIds::InterfaceMatch::kClass
                                   ? Q7::Platform::Usb::InterfaceMatch::kClass
                                   : Q7::Platform::Usb::InterfaceMatch::kNumber;
        entry.interfaceValue = row.interfaceValue;
        if (row.interfaceClassText != nullptr)
        {
            entry.interfaceClass = Q7::Universal::FromNarrow(row.interfaceClassText);
        }
        filter.push_back(std::move(entry));
    }
    return filter;
}

bool Contains(const std::vector<DeviceMoniker>& list, const DeviceMoniker& moniker)
{
    return std::find(list.begin(), list.end(), moniker) != list.end();
}

} // namespace

DeviceManager::DeviceManager(std::uint32_t selection) : m_selection(selection)
{
    SetUp();
}

DeviceManager::DeviceManager(std::uint32_t selection, Q7::Platform::Usb::HostBackend& usbBackend)
    : m_usbMonitor(usbBackend), m_selection(selection)
{
    SetUp();
}

DeviceManager::~DeviceManager()
{
    StopNotify();
}

bool DeviceManager::UsesUsb() const
{
    return m_selection == kTransportSelection_UsbAndTcp || m_selection == kTransportSelection_UsbOnly;
}

bool DeviceManager::UsesTcp() const
{
    return m_selection == kTransportSelection_UsbAndTcp || m_selection == kTransportSelection_TcpOnly;
}

void DeviceManager::SetUp()
{
    if (!UsesUsb() && !UsesTcp())
    {
        Q7::Universal::LogErrorText(L"DeviceManager cannot handled Transport layer selection!");
        return;
    }
    if (UsesTcp())
    {
        m_tcpMonitor.SetNotifyCallback(TcpMonitor::NotifyCallback(this, &DeviceManager::OnTcpNotify));
    }
    if (UsesUsb())
    {
        try
        {
            m_usbMonitor.SetFilter(CameraUsbFilter());
            m_usbMonitor.SetNotifyCallback(UsbMonitor::NotifyCallback(this, &DeviceManager::OnUsbNotify));
        }
        catch (const std::exception& exception)
        {
            Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
        }
    }
}

void DeviceManager::SetNotifyCallback(const NotifyCallback& callback)
{
    ScopedLock lock(m_callbackLock);
    if (&callback != &m_callback)
    {
        m_callback = callback;
    }
}

void DeviceManager::StartNotify()
{
    ScopedLock lock(m_managerLock);
    if (m_notifying)
    {
        return;
    }
    try
    {
        StopNotify();
        {
            ScopedLock callbackLock(m_callbackLock);
            if (m_callback.IsNull())
            {
                Q7::Universal::ThrowModuleError(Q7::Universal::ModuleError(
                    Q7::Universal::kError_InvalidState, L"KPX device manager: notify callback not set."));
            }
        }
        {
            ScopedLock listLock(m_listLock);
            m_devices.clear();
        }
        if (UsesUsb())
        {
            StartUsb();
        }
        if (UsesTcp())
        {
            m_tcpMonitor.Start();
            RefreshTcp(true);
        }
        m_notifying = true;
    }
    catch (...)
    {
        StopNotify();
        throw;
    }
}

void DeviceManager::StopNotify()
{
    ScopedLock lock(m_managerLock);
    if (UsesUsb())
    {
        m_usbMonitor.Stop();
    }
    if (UsesTcp())
    {
        m_tcpMonitor.Stop();
    }
    m_notifying = false;
}

void DeviceManager::EnumerateDevices(std::vector<DeviceMoniker>& devices)
{
    ScopedLock lock(m_managerLock);
    devices.clear();
    try
    {
        if (m_notifying)
        {
            if (UsesUsb() && m_usbMonitor.IsRunning() &&
                !Q7::Platform::WaitForObject(&m_usbMonitor.GetEnumeratedEvent(), kUsbEnumerationWaitMs))
            {
                Q7::Universal::LogWarning(
                    L"KPXLib EnumerateDevices gave up waiting on USB enumeration to finish, after 1 sec.");
            }
        }
        else
        {
            if (UsesUsb())
            {
                try
                {
                    RefreshUsb(true, false);
                }
                catch (const StdExceptionError& error)
                {
                    HandleUsbFailure(error);
                }
            }
            if (UsesTcp())
            {
                RefreshTcp(false);
            }
        }
        ScopedLock listLock(m_listLock);
        devices = m_devices;
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

std::unique_ptr<DeviceInterface> DeviceManager::CreateDevice(const DeviceMoniker& moniker)
{
    switch (moniker.type)
    {
    case kMonikerType_Tcp:
        return std::make_unique<TcpDevice>(moniker);
    case kMonikerType_Usb:
        return std::make_unique<UsbDevice>(moniker);
    default:
        Q7_THROW_INTERNAL_ERROR(Q7::Universal::ModuleError(Q7::Universal::kError_InvalidDataType,
                                                           L"KPX device manager: cannot create device of "
                                                           L"unknown type."),
                                nullptr);
    }
}

void DeviceManager::SetStaticIpConfiguration(const char* text)
{
    ScopedLock lock(m_managerLock);
    Q7::Universal::LogInfo(L"KPX - setting static IP configuration");
    m_staticIpConfiguration.SetFromText(text);
    RefreshTcpAfterStaticListChange();
}

void DeviceManager::SetStaticIpConfigurationFile(const char* path)
{
    ScopedLock lock(m_managerLock);
    Q7::Universal::LogInfo(L"KPX - setting static IP configuration file");
    m_staticIpConfiguration.SetFromFile(path);
    RefreshTcpAfterStaticListChange();
}

void DeviceManager::RefreshTcpAfterStaticListChange()
{
    if (UsesTcp())
    {
        RefreshTcp(m_notifying);
    }
}

void DeviceManager::StartUsb()
{
    try
    {
        m_usbMonitor.Start();
    }
    catch (const StdExceptionError& error)
    {
        HandleUsbFailure(error);
    }
}

void DeviceManager::HandleUsbFailure(const StdExceptionError& error)
{
    if (m_selection == kTransportSelection_UsbOnly)
    {
        Q7::Universal::ThrowStdExceptionError(error);
    }
    Q7::Universal::LogWarning(L"USB subsystem failed: %ls", error.GetMessage().c_str());
}

void DeviceManager::RefreshUsb(bool enumerateNow, bool notify)
{
    if (!UsesUsb())
    {
        return;
    }
    try
    {
        std::vector<DeviceMoniker_Libusb> found;
        if (enumerateNow)
        {
            m_usbMonitor.Enumerate(found);
        }
        else
        {
            m_usbMonitor.GetDevices(found);
        }
        std::vector<DeviceMoniker> fresh(found.size());
        for (std::size_t i = 0; i < found.size(); ++i)
        {
            fresh[i].type = kMonikerType_Usb;
            fresh[i].usb = std::move(found[i]);
        }
        Update(kMonikerType_Usb, fresh, notify);
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

void DeviceManager::RefreshTcp(bool notify)
{
    const std::vector<TcpMoniker> entries = m_staticIpConfiguration.Copy();
    std::vector<TcpMoniker> services;
    m_tcpMonitor.GetResolvedServices(services);
    std::vector<DeviceMoniker> fresh(entries.size() + services.size());
    for (std::size_t i = 0; i < fresh.size(); ++i)
    {
        fresh[i].type = kMonikerType_Tcp;
        fresh[i].tcp = i < entries.size() ? entries[i] : services[i - entries.size()];
    }
    Update(kMonikerType_Tcp, fresh, notify);
}

// A camera of the type that fresh does not name leaves the list (collected as
// removed, in list order); a camera of fresh that the list does not name, as it
// stands with the cameras appended here, is appended (collected as added, in
// fresh order), so a camera named twice in fresh arrives once. A camera present
// before and after keeps its place and its record.
void DeviceManager::Update(std::uint32_t type, const std::vector<DeviceMoniker>& fresh, bool notify)
{
    std::vector<DeviceMoniker> removed;
    std::vector<DeviceMoniker> added;
    try
    {
        ScopedLock listLock(m_listLock);
        for (auto it = m_devices.begin(); it != m_devices.end();)
        {
            if (it->type == type && !Contains(fresh, *it))
            {
                removed.push_back(std::move(*it));
                it = m_devices.erase(it);
            }
            else
            {
                ++it;
            }
        }
        for (const DeviceMoniker& moniker : fresh)
        {
            if (!Contains(m_devices, moniker))
            {
                m_devices.push_back(moniker);
                added.push_back(moniker);
            }
        }
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
    if (!notify)
    {
        return;
    }
    for (const DeviceMoniker& moniker : removed)
    {
        Notify(kEnumNotify_DeviceRemoved, moniker);
    }
    for (const DeviceMoniker& moniker : added)
    {
        Notify(kEnumNotify_DeviceArrived, moniker);
    }
}

void DeviceManager::Notify(EnumNotify kind, const DeviceMoniker& moniker)
{
    ScopedLock lock(m_callbackLock);
    if (m_callback.IsNull())
    {
        return;
    }
    try
    {
        m_callback(kind, &moniker);
    }
    catch (...)
    {
        // Whatever the callback throws stays here: it must never reach the
        // monitor's thread.
        Q7::Universal::LogError(Q7::Universal::ModuleError(
            Q7::Universal::kError_UnexpectedException,
            L"KPX device manager: ignoring exception thrown from notify callback."));
    }
}

void DeviceManager::OnUsbNotify(UsbNotify kind, const DeviceMoniker_Libusb* device)
{
    if (kind != UsbNotify::kEnumNotify_DeviceAdded && kind != UsbNotify::kEnumNotify_DeviceRemoved)
    {
        Q7::Universal::LogErrorText(
            L"KPX device manager: unrecognized notification from USB device monitor.");
        return;
    }
    if (device == nullptr)
    {
        Q7::Universal::LogErrorText(
            L"KPX device manager: undefined moniker in notification from USB device monitor.");
        return;
    }
    RefreshUsb(false, true);
}

void DeviceManager::OnTcpNotify(TcpMonitor::EnumNotify /*kind*/, const TcpMoniker* /*moniker*/)
{
    RefreshTcp(true);
}

} // namespace Q7::KPX::Transport
