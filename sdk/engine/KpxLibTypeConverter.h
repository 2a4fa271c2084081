#pragma once
// Conversion between the protocol's typed values (the KPX value with the
// camera's display text) and the public PropertyValue, both ways, and the
// mapping of the protocol's user levels to the public ones.

#include "Agents/DeviceControl/KPXDeviceControlRecords.h"
#include "Wire/KPXValue.h"

#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/PropertyValue.h>

#include <array>
#include <cstdint>
#include <string>

namespace Q7::TavrinC
{

using Q7::Tavrin::ErrorCode;

/// Stateless: every operation is a pure function of its arguments apart from
/// its log lines and the failures it records as the calling thread's last
/// error (source "KpxLibTypeConverter::FromKpxValue" or "::ToKpxValue").
/// Thread-safe.
class KpxLibTypeConverter
{
public:
    using ValueWithText = Q7::KPX::DeviceControl::ValueWithText;

    /// Sets out.type and the one member that type selects from value (codes 1
    /// to 14, 20 to 23, 30, 34, 36, 38, 53, 70 to 73); the other members of out
    /// keep their contents. An enumeration index (code 11) is zero-extended.
    /// Another code (0, 37, 54, 58, 59 ...) logs "KpxLibTypeConverter:
    /// Unhandled source-type: %u\n" at level 2, sets out.type to Unknown and
    /// records and returns -21 "Cannot convert KPX subsystem property value
    /// type". Raises ModuleError 0x650005 (the value object's size error) for
    /// a value holding fewer bytes than its code's size.
    static ErrorCode FromKpxValue(const Q7::KPX::Value& value, Q7::Tavrin::PropertyValue& out);

    /// With skipEmpty and a value of code 0: 0, out untouched. Otherwise the
    /// plain conversion (its failure returned as is), then out.displayText is
    /// the camera's text, or when it gave none a presentation text of the
    /// geometric and range types ("[x=%d y=%d]", "[h=%d w=%d]" ...; empty for
    /// scalars). Raises as the plain conversion.
    static ErrorCode FromKpxValue(const ValueWithText& value, Q7::Tavrin::PropertyValue& out, bool skipEmpty);

    /// When both values have a code: out.valid, out.min and then out.max
    /// converted with their texts (the first failure is returned, the maximum
    /// then left alone). Otherwise out.valid false, the rest untouched, and 0.
    static ErrorCode FromKpxRange(const ValueWithText& min, const ValueWithText& max,
                                  Q7::Tavrin::PropertyRange& out);

    /// Builds out for a property of KPX code kpxCode from value: Bool as code
    /// 12, Int64 as 7, Enum as 11, Point as 30, AreaInt as 34, Rect as 38, a
    /// String as the property's text code (20 as it is; 21, 22, 23 padded with
    /// zero bytes to 32, 80, 256; any other code as 23); every other type in
    /// the property's own code. A value goes out exactly or not at all: the
    /// whole 64-bit intValue of an Int32 (read signed), UInt32, UInt64, Time or
    /// Enum (read unsigned), each 64-bit member of a RangeInt, and each double
    /// bound for a 32-bit float must lie within what the code holds.
    /// Failures, recorded under "KpxLibTypeConverter::ToKpxValue", out
    /// untouched unless said: -25 for a text too long for its code, and -25
    /// "SetPropertyValue: <type> <member> <number> does not fit the property's
    /// KPX type <code> (<what the code holds>)" for a value outside its code;
    /// -6 for a record, colour or range type the code does not take, an
    /// integer for a code that is not an integer code (1 to 8, 11 to 14), or a
    /// Float64 for a code other than 9 and 10 (out then has the code and no
    /// bytes); -21 (empty message) for a type without a conversion. Throws
    /// std::bad_alloc only.
    static ErrorCode ToKpxValue(const Q7::Tavrin::PropertyValue& value, Q7::KPX::Value& out,
                                std::uint32_t kpxCode);

    /// 0 gives 5; 10, 11 and 20 give themselves; another level logs "Un-supported
    /// KPX UserLevel (%d) for property" at level 1 and gives 0.
    static std::int32_t UserLevel(std::uint32_t level);

    /// The text without its trailing zero bytes (zero bytes before the last
    /// other byte stay).
    static std::string FromKpxString(const std::string& text);

    /// The live view's white-balance point: x, y as two unsigned words.
    static std::array<std::uint32_t, 2> ToKpxPoint(const Q7::Tavrin::ValuePoint& point);
    /// The live view's crop rectangle: x, y, w, h as four unsigned words.
    static std::array<std::uint32_t, 4> ToKpxRect(const Q7::Tavrin::ValueRect& rect);
    /// The crop rectangle back: the four words in order.
    static Q7::Tavrin::ValueRect FromKpxRect(const std::array<std::uint32_t, 4>& rect);
};

} // namespace Q7::TavrinC
