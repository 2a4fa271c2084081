#pragma once
// The record that describes one USB device interface found by the enumeration.

#include "Q7UniversalString.h"

#include <cstdint>

namespace Q7::Platform::Usb
{

/// One found USB device interface: a plain copyable value, the texts owned.
/// All five texts hold UTF-8; a property the device does not have is empty.
/// Reentrant.
struct DeviceMoniker_Libusb
{
    uint16_t vendorId = 0;  ///< 0 when the device's ids could not be read
    uint16_t productId = 0; ///< 0 when the device's ids could not be read
    Q7::Universal::UniversalStringA manufacturer;
    Q7::Universal::UniversalStringA friendlyName;
    /// The device's identity text: its USB serial number when it has one, else
    /// its bus and port path ("1-4.2").
    Q7::Universal::UniversalStringA identity;
    /// The path by which the device is opened (FormatDevicePath in
    /// Q7PlatformUsbHostBackend.h, "1-4.2@17:0"): the device as attached, with
    /// the interface to claim. It names the device: another attachment of the
    /// same device gets another path.
    Q7::Universal::UniversalStringA devicePath;
    /// The interface class text of the filter entry that found the device.
    Q7::Universal::UniversalStringA interfaceClass;

    /// True when both records name the same device: their device paths are equal
    /// byte for byte (two absent paths are equal).
    bool IsSameDevice(const DeviceMoniker_Libusb& other) const noexcept
    {
        return devicePath == other.devicePath;
    }
};

} // namespace Q7::Platform::Usb
