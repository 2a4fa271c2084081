#pragma once
// Test helpers of the USB and device-list monitor tests: device descriptions
// of cameras and other devices, the cameras' filter, and a recorder of monitor
// notifications that tests wait on.

#include "Q7PlatformUsbEnum_Cmn.h"
#include "Q7PlatformUsbHostBackend.h"
#include "Q7UniversalFunPtr_Template.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace UsbTest
{

using Q7::Platform::Usb::DeviceEnumFilter_Libusb;
using Q7::Platform::Usb::DeviceMoniker_Libusb;
using Q7::Platform::Usb::HostDeviceDescription;
using Q7::Platform::Usb::HostInterfaceInfo;

inline constexpr std::uint16_t kCameraVendor = 0x7AB1;
inline constexpr std::uint16_t kSingleCamera = 0x0101;    // KPX on interface 0
inline constexpr std::uint16_t kCompositeCamera = 0x0102; // KPX on the vendor-specific interface
inline constexpr const char* kKpxClassText = "{89817110-5D06-42F5-AF4A-A0B430042FC0}";

/// An interface with a bulk endpoint pair of the given number.
inline HostInterfaceInfo BulkInterface(std::uint8_t number, std::uint8_t interfaceClass,
                                       std::uint8_t endpoint = 1, std::uint16_t maxPacketSize = 512)
{
    HostInterfaceInfo interface;
    interface.number = number;
    interface.interfaceClass = interfaceClass;
    interface.endpoints = {{endpoint, 0x02, maxPacketSize},
                           {static_cast<std::uint8_t>(endpoint | 0x80), 0x02, maxPacketSize}};
    return interface;
}

/// A device with the given ids, serial number and interfaces.
inline HostDeviceDescription Device(std::uint16_t vendorId, std::uint16_t productId, std::string serial,
                                    std::vector<HostInterfaceInfo> interfaces)
{
    HostDeviceDescription d;
    d.vendorId = vendorId;
    d.productId = productId;
    d.deviceRelease = 0x0100;
    d.speed = Q7::Platform::Usb::HostSpeed::kHigh;
    d.manufacturer = "Tavrin Cameras";
    d.product = "TS-1";
    d.serialNumber = std::move(serial);
    d.interfaces = std::move(interfaces);
    return d;
}

/// A camera that carries KPX on its only interface.
inline HostDeviceDescription SingleCamera(std::string serial)
{
    return Device(kCameraVendor, kSingleCamera, std::move(serial), {BulkInterface(0, 0xFF)});
}

/// A composite camera: a still-image interface 0, KPX on the vendor-specific
/// interface 2.
inline HostDeviceDescription CompositeCamera(std::string serial)
{
    return Device(kCameraVendor, kCompositeCamera, std::move(serial),
                  {BulkInterface(0, 0x06, 1), BulkInterface(2, 0xFF, 3, 1024)});
}

/// A device no filter entry accepts.
inline HostDeviceDescription Keyboard()
{
    return Device(0x1234, 0x5678, "KB1", {BulkInterface(0, 0x03)});
}

/// The filter of the two camera kinds above.
inline std::vector<DeviceEnumFilter_Libusb> CameraFilter()
{
    DeviceEnumFilter_Libusb single;
    single.vendorId = kCameraVendor;
    single.productId = kSingleCamera;
    single.interfaceMatch = Q7::Platform::Usb::InterfaceMatch::kNumber;
    single.interfaceValue = 0;
    DeviceEnumFilter_Libusb composite;
    composite.vendorId = kCameraVendor;
    composite.productId = kCompositeCamera;
    composite.interfaceMatch = Q7::Platform::Usb::InterfaceMatch::kClass;
    composite.interfaceValue = 0xFF;
    composite.interfaceClass = Q7::Universal::FromNarrow(kKpxClassText);
    return {single, composite};
}

/// Records a monitor's notifications as "+name" (added) and "-name" (removed),
/// where name is what Name gives for the moniker; tests wait for a count.
template <typename Kind, typename M>
class NotifyRecorder
{
public:
    using NameOf = std::string (*)(const M&);

    explicit NotifyRecorder(NameOf name) : m_name(name) {}

    Q7::Universal::FunctionPointer2<void, Kind, const M*> Callback()
    {
        return Q7::Universal::FunctionPointer2<void, Kind, const M*>(this, &NotifyRecorder::OnNotify);
    }

    /// Waits until at least count notifications came.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
    }

    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    /// The monikers of the notifications, in order.
    std::vector<M> Monikers()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_monikers;
    }

    /// The next count notifications throw after being recorded.
    void ThrowOnNext(int count)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_throwCount = count;
    }

private:
    void OnNotify(Kind kind, const M* moniker)
    {
        bool throwNow = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back((static_cast<int>(kind) == 0 ? "+" : "-") + m_name(*moniker));
            m_monikers.push_back(*moniker);
            throwNow = m_throwCount > 0;
            m_throwCount -= throwNow ? 1 : 0;
        }
        m_changed.notify_all();
        if (throwNow)
        {
            throw std::runtime_error("callback failure");
        }
    }

    const NameOf m_name;
    std::mutex m_mutex; // guards the members below
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::vector<M> m_monikers;
    int m_throwCount = 0;
};

inline std::string DevicePathOf(const DeviceMoniker_Libusb& moniker)
{
    return moniker.devicePath.c_str();
}

using UsbRecorder =
    NotifyRecorder<Q7::Platform::Usb::DeviceMonitorInterface::EnumNotify, DeviceMoniker_Libusb>;

} // namespace UsbTest
