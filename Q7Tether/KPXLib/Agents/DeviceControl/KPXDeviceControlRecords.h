// The records in which the device-control agent keeps a camera's properties:
// a value with the camera's display text, a property's state, its descriptor
// (with the attributes it was built from) and the property itself, plus the
// kinds of property notifications.
//
// The agent names them as its own nested types (DeviceControlAgent::Property,
// ...). They are plain values: copies are deep, equality compares field by
// field as documented per record. Reentrant; guarded by their owner's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Wire/KPXValue.h"

namespace Q7::KPX::DeviceControl
{

/// Property ids that name no property: 0 is undefined, 0xFFFFFFFF means "all
/// properties" in refresh and restore requests.
inline constexpr std::uint32_t kPropertyId_Undefined = 0;
inline constexpr std::uint32_t kPropertyId_All = 0xFFFFFFFFu;

/// State flag bits.
enum EnumPropertyStateFlags : std::uint32_t
{
    kStateFlag_Flagged = 0x1,  ///< the value carries the camera's flag (its flag byte is set)
    kStateFlag_ReadOnly = 0x2, ///< the camera refuses to set the value
    kStateFlag_Disabled = 0x4, ///< the property is disabled for now
    kStateFlag_Known = 0x8,    ///< known to the camera; no use on this side
    kStateFlag_AllKnown = 0xF,
};

/// Descriptor flag bits (values above 7 are unknown).
enum EnumPropertyDescriptorFlags : std::uint32_t
{
    kDescriptorFlag_SelectOnly = 0x1,
    kDescriptorFlag_DisplayHex = 0x2,
    kDescriptorFlag_RefreshRequired = 0x4,
    kDescriptorFlag_AllKnown = 0x7,
};

/// Attribute kinds of a descriptor.
enum EnumPropertyAttributeKind : std::uint32_t
{
    kAttribute_ValueListItem = 1,
    kAttribute_Default = 2,
    kAttribute_Minimum = 3,
    kAttribute_Maximum = 4,
    kAttribute_Kind5Word = 5,
};

/// What a property notification reports about its ids.
enum EnumPropertyNotify : std::uint32_t
{
    kPropertyNotify_Added = 1,             ///< now complete (descriptor and state of one type)
    kPropertyNotify_Removed = 2,           ///< gone from the camera's property list
    kPropertyNotify_DescriptorChanged = 3, ///< a complete property got another descriptor
    kPropertyNotify_StateChanged = 4,      ///< a complete property got another state
};

/// The lowest byte of a value's second word: set on the values of states that
/// carry kStateFlag_Flagged.
[[nodiscard]] inline std::uint32_t GetValueFlagByte(const Value& value) noexcept
{
    return value.GetSecondWord() & 0xFFu;
}

/// A value with the camera's display text for it and the word that may follow
/// the text on the wire. Default: value of type 0, empty text, word 0.
struct ValueWithText
{
    Value value;
    std::string text;        ///< narrow; empty when the camera sent none
    std::uint32_t extra = 0; ///< 0 unless the camera sent one

    friend bool operator==(const ValueWithText&, const ValueWithText&) = default;
};

/// A property's state as the camera last reported it.
struct PropertyState
{
    std::uint32_t id = 0;
    std::uint32_t valueType = 0; ///< from the reply's header, also when it carried no value
    std::uint32_t flags = 0;     ///< EnumPropertyStateFlags
    ValueWithText value;

    friend bool operator==(const PropertyState&, const PropertyState&) = default;
};

/// One attribute of a descriptor as received.
struct PropertyAttribute
{
    std::uint32_t kind = 0; ///< EnumPropertyAttributeKind, or another number
    ValueWithText value;

    friend bool operator==(const PropertyAttribute&, const PropertyAttribute&) = default;
};

/// A property's descriptor: what the property is and which values it takes.
struct PropertyDescriptor
{
    std::uint32_t id = 0;
    std::uint32_t valueType = 0;
    std::uint32_t flags = 0;        ///< EnumPropertyDescriptorFlags
    std::uint32_t displayIndex = 0; ///< the id when the camera sends 0
    std::uint32_t userLevel = 0;    ///< known: 0, 10, 11, 20
    std::string name;
    std::string secondText; ///< kept, never interpreted
    std::string group;
    std::string unit;
    std::string description;
    std::vector<ValueWithText> valueList; ///< the selectable values
    ValueWithText defaultValue;
    ValueWithText minimum;
    ValueWithText maximum;
    std::uint32_t kind5Word = 0;
    std::vector<PropertyAttribute> attributes; ///< as received, in order

    /// Equal when everything but the display index and the kind-5 word is.
    friend bool operator==(const PropertyDescriptor& a, const PropertyDescriptor& b);
};

/// A cached property. Its value type is 0 until its descriptor and state have
/// both arrived with one type (the property is then complete).
struct Property
{
    std::uint32_t id = 0;
    std::uint32_t valueType = 0;
    PropertyState state;
    PropertyDescriptor descriptor;

    [[nodiscard]] bool IsComplete() const noexcept { return valueType != 0; }

    friend bool operator==(const Property&, const Property&) = default;
};

} // namespace Q7::KPX::DeviceControl
