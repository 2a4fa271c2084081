#pragma once
// The system's own record of the attached USB devices (sysfs,
// /sys/bus/usb/devices): what the kernel read from each device when it was
// attached, so reading it never disturbs a busy device. Used by the libusb
// backend where the system offers it.

#include "Q7PlatformUsbHostBackend.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Q7::Platform::Usb::Sysfs
{

/// Where the system lists its USB devices.
inline constexpr const char* kDefaultRoot = "/sys/bus/usb/devices";

/// True when root is a directory that can be listed. Reentrant.
bool IsAvailable(const std::string& root);

/// The bus and ports of a device entry's name ("1-4", "2-1.3"); none for
/// every other entry (root hubs "usb1", interfaces "1-4:1.0"). The address is
/// left 0. Reentrant.
std::optional<HostDeviceLocation> ParseDeviceName(std::string_view name);

/// A device as the safety refresh sees it: its place, its ids and, where
/// sysfs gives them, its description as read now. The kernel adds a device's
/// files one after another (its own with its texts, then its interfaces, then
/// their endpoints), so a device read while it was being added is seen again,
/// as changed, once more of it is in place, until it is complete.
struct AttachedDevice
{
    HostDeviceLocation location;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    HostDeviceDescription description;
    std::string readError; ///< why the description is not complete; empty when it is
    bool idsKnown = true;  ///< false: the address or the ids could not be read (being added or removed)

    bool operator==(const AttachedDevice&) const = default;
};

/// Every device entry under root with its location, ids and description,
/// ordered by location. An entry whose address or ids cannot be read (the
/// kernel is adding or removing it) is there with idsKnown false, so that its
/// going away is seen too. Reentrant; blocks on file reads.
std::vector<AttachedDevice> ScanDevices(const std::string& root);

/// Every device entry under root with its description and texts, ordered by
/// location. A device whose entry cannot be read completely is listed with
/// readError set; one that went away meanwhile is left out. A device's
/// interfaces are read before its texts: the texts are in place before the
/// first interface entry appears, so a device read while the kernel adds it
/// has either no interface yet or its texts. Reentrant; blocks on file reads.
std::vector<HostDeviceInfo> ListDevices(const std::string& root);

/// The address of the device attached at location's bus and ports now; none
/// when no device is there. Reentrant.
std::optional<std::uint8_t> ReadDeviceAddress(const std::string& root, const HostDeviceLocation& location);

} // namespace Q7::Platform::Usb::Sysfs
