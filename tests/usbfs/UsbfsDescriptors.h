#pragma once
// The standard USB descriptors of a device described by the host backend's
// record, as a device sends them and as the kernel keeps them (the sysfs
// "descriptors" attribute and the usbfs node hold the device descriptor
// followed by the configuration with its interfaces and endpoints).

#include "Q7PlatformUsbHostBackend.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Usbfs
{

/// String descriptor indexes of the device's texts (0: the device has none).
inline constexpr std::uint8_t kManufacturerIndex = 1;
inline constexpr std::uint8_t kProductIndex = 2;
inline constexpr std::uint8_t kSerialNumberIndex = 3;
/// The one language of the texts (US English).
inline constexpr std::uint16_t kLanguageId = 0x0409;
/// The value of the device's only configuration.
inline constexpr std::uint8_t kConfigurationValue = 1;

/// The 18-byte device descriptor.
std::vector<std::uint8_t> DeviceDescriptor(const Q7::Platform::Usb::HostDeviceDescription& device);

/// The configuration descriptor with every interface (alternate setting 0) and
/// its endpoints; SuperSpeed devices get an endpoint companion after each
/// endpoint. Raises std::length_error when it does not fit 64 KiB.
std::vector<std::uint8_t> ConfigurationDescriptor(const Q7::Platform::Usb::HostDeviceDescription& device);

/// String descriptor `index` in `language`: index 0 lists the language, 1 to
/// 3 are the texts (UTF-8 in the record, UTF-16LE on the wire). None for an
/// index or language the device does not have.
std::optional<std::vector<std::uint8_t>>
StringDescriptor(const Q7::Platform::Usb::HostDeviceDescription& device, std::uint8_t index,
                 std::uint16_t language);

/// The kernel's text for the speed ("480" and the like), and usbfs's speed code
/// (enum usb_device_speed).
std::string SpeedText(Q7::Platform::Usb::HostSpeed speed);
int SpeedCode(Q7::Platform::Usb::HostSpeed speed);

} // namespace Usbfs
