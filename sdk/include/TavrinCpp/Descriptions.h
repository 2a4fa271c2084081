#pragma once
// Descriptions that accompany property values and cameras: a property's range
// and specification, the camera carried by SDK events, one entry of the list of
// available cameras, and the SDK version.
//
// All types here are plain copyable values without locks: reentrant (different
// objects on different threads), not thread-safe on one object.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/PropertyValue.h>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace Q7::Tavrin
{

/// How a camera is connected.
enum class TetherConnection : std::uint32_t
{
    Unknown = 0,
    Usb = 1,
    Usb2 = 2,
    Usb3 = 3,
    Tcp = 4,
};

/// A property's minimum and maximum, when it has a range.
struct TAVRIN_API PropertyRange
{
    bool valid = false;
    PropertyValue min;
    PropertyValue max;

    /// "(" min.StringValue() ", " max.StringValue() ")" when valid, else "-".
    std::string ToString() const;
};

/// Everything the camera says about one property. value carries the current
/// value; its type is the property's type.
struct TAVRIN_API PropertySpecification
{
    std::uint32_t id = 0xFFFFFFFFu;
    PropertyValue value;
    std::string name;
    std::string group;
    bool readOnly = false;
    bool enabled = true;
    std::int32_t userLevel = 0; ///< 0, 5, 10, 11 or 20
    bool selectOnly = false;    ///< only values of valueList may be set
    bool displayAsHex = false;
    bool refreshRequired = false; ///< read the value again after a change
    std::string unit;
    std::string description;
    std::uint32_t displayIndex = 0;
    PropertyValue defaultValue;
    PropertyRange range;
    std::vector<PropertyValue> valueList; ///< selectable values in the camera's order

    /// A multi-line text: "PropertySpecification:" and one labelled line per
    /// member, the value list counted ("1 entry", "N entries") and, when not
    /// empty, listed in a brace block with each entry's ToString() padded to a
    /// common column (at least 25) and its integer member. Independent of the
    /// process locale.
    std::string ToString() const;
};

/// The camera an SDK event is about.
struct TAVRIN_API CameraInfo
{
    std::uint8_t valid = 0; ///< 1 for a described camera
    TetherConnection connection = TetherConnection::Unknown;
    std::string name;
    std::string address; ///< IPv4 address text of a TCP camera; empty for USB
    std::string serialNumber;

    /// Every member zero or empty. Constructed when the library loads,
    /// destroyed at process exit.
    static const CameraInfo Invalid;
};

/// One entry of the list of available cameras. Note the order of the address
/// and serial-number texts, which differs from CameraInfo.
struct CameraListElement
{
    TetherConnection connection = TetherConnection::Unknown;
    std::string name;
    std::string serialNumber;
    std::string address; ///< IPv4 address text of a TCP camera; empty for USB
    bool open = false;   ///< the camera is open in this process
};

/// A version number.
struct Version
{
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
};

/// Writes range.ToString().
TAVRIN_API std::ostream& operator<<(std::ostream& out, const PropertyRange& range);
/// Writes specification.ToString().
TAVRIN_API std::ostream& operator<<(std::ostream& out, const PropertySpecification& specification);
/// Writes "[OPEN] " when open, then name " (" serialNumber ")", then ", " address
/// only for a TCP camera.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const CameraListElement& camera);
/// Writes major "." minor "." patch.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const Version& version);

} // namespace Q7::Tavrin
