#include "Q7PlatformUsbEnum_Cmn.h"

namespace Q7::Platform::Usb
{

namespace
{

constexpr DeviceEnum::Detail::MonitorTexts kUsbMonitorTexts{
    L"USB device refresh", L"USB device monitor: notify callback not set.",
    L"USB device refresh thread taking an unexpectedly long time to stop.",
    L"USB device monitor: Ignoring exception thrown from notify callback."};

bool SameUsbDevice(const DeviceMoniker_Libusb& a, const DeviceMoniker_Libusb& b)
{
    return a.IsSameDevice(b);
}

} // namespace

Q7::Universal::UniversalString DefaultInterfaceClassText()
{
    Q7::Universal::UniversalString text;
    text.Assign(L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    return text;
}

BaseDeviceMonitor::BaseDeviceMonitor()
    : m_machine(kUsbMonitorTexts, &SameUsbDevice,
                [this]() -> DeviceEnumeratorInterface& { return GetEnumerator(); })
{
}

BaseDeviceMonitor::~BaseDeviceMonitor()
{
    m_machine.Stop();
}

void BaseDeviceMonitor::SetNotifyCallback(const NotifyCallback& callback)
{
    m_machine.SetNotifyCallback(callback);
}

void BaseDeviceMonitor::SetFilter(const std::vector<DeviceEnumFilter_Libusb>& filter)
{
    m_machine.SetFilter(filter);
}

void BaseDeviceMonitor::Start()
{
    m_machine.Start();
}

void BaseDeviceMonitor::Stop()
{
    m_machine.Stop();
}

bool BaseDeviceMonitor::IsRunning()
{
    return m_machine.IsRunning();
}

void BaseDeviceMonitor::GetDevices(std::vector<DeviceMoniker_Libusb>& devices)
{
    m_machine.GetDevices(devices);
}

void BaseDeviceMonitor::Enumerate(std::vector<DeviceMoniker_Libusb>& devices)
{
    m_machine.Enumerate(devices);
}

void BaseDeviceMonitor::Refresh()
{
    m_machine.Refresh();
}

EventStatus& BaseDeviceMonitor::GetEnumeratedEvent()
{
    return m_machine.GetEnumeratedEvent();
}

void BaseDeviceMonitor::RequestRefresh()
{
    m_machine.RequestRefresh();
}

bool BaseDeviceMonitor::IsRefreshThread() const
{
    return m_machine.IsRefreshThread();
}

} // namespace Q7::Platform::Usb
