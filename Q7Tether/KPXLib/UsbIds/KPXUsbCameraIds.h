#pragma once
// The cameras' USB identities: vendor and product ids, and the interface that
// carries KPX on each, one row per entry of the device manager's USB filter.
//
// The values are this project's own choice: the real cameras' ids are not
// published with it. Everything that needs them takes them from here: the
// library's device filter, the camera simulator on the virtual USB bus, and
// the udev rule udev/70-tavrincpp-cameras.rules (a test keeps the two equal).
//
// Depends on nothing but the standard integer types, so that the simulator,
// which links no library code, can include it.

#include <cstdint>

namespace Q7::KPX::UsbIds
{

/// How a row names the KPX interface of its devices.
enum class InterfaceMatch : std::uint8_t
{
    kNumber, ///< the interface with this number
    kClass,  ///< the first interface of this class
};

/// One row of the cameras' USB filter.
struct CameraUsbId
{
    std::uint16_t vendorId;
    std::uint16_t productId;
    InterfaceMatch interfaceMatch;
    std::uint8_t interfaceValue; ///< interface number or class, per interfaceMatch
    /// The interface class text the row gives its devices; null: the default.
    const char* interfaceClassText;
};

/// The two vendors' ids.
inline constexpr std::uint16_t kVendorIdPrimary = 0x7AB1;
inline constexpr std::uint16_t kVendorIdSecondary = 0x7AB2;

/// Class of the KPX interface of composite cameras (vendor specific).
inline constexpr std::uint8_t kKpxInterfaceClass = 0xFF;

/// Interface class text of the KPX interface of composite cameras.
inline constexpr const char* kKpxInterfaceClassText = "{89817110-5D06-42F5-AF4A-A0B430042FC0}";

/// The filter rows, in the order the device manager gives them. Cameras of the
/// first and last row carry KPX on their only interface (number 0); the others
/// are composite devices whose KPX interface is the vendor-specific one.
inline constexpr CameraUsbId kCameraUsbIds[] = {
    {kVendorIdPrimary, 0x0101, InterfaceMatch::kNumber, 0, nullptr},
    {kVendorIdPrimary, 0x0102, InterfaceMatch::kClass, kKpxInterfaceClass, kKpxInterfaceClassText},
    {kVendorIdPrimary, 0x0103, InterfaceMatch::kClass, kKpxInterfaceClass, kKpxInterfaceClassText},
    {kVendorIdSecondary, 0x0201, InterfaceMatch::kClass, kKpxInterfaceClass, kKpxInterfaceClassText},
    {kVendorIdSecondary, 0x0202, InterfaceMatch::kNumber, 0, nullptr},
};

} // namespace Q7::KPX::UsbIds
