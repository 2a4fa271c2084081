#pragma once
// Property values: the tagged PropertyValue and the geometric and colour value
// structures it can hold, with their comparison and text forms.
//
// All types here are plain copyable values without locks: reentrant (different
// objects on different threads), not thread-safe on one object.

#include <TavrinCpp/Config.h>

#include <cstdint>
#include <iosfwd>
#include <string>

namespace Q7::Tavrin
{

/// Which member of a PropertyValue holds the value. Codes 10, 14, 15, 17 and
/// those above 21 have no meaning.
enum class PropertyType : std::uint32_t
{
    Unknown = 0,         ///< nothing (a default-constructed value)
    Bool = 1,            ///< intValue: 0 false, non-zero true
    Int32 = 2,           ///< intValue, sign-extended
    UInt32 = 3,          ///< intValue, zero-extended
    Int64 = 4,           ///< intValue
    UInt64 = 5,          ///< intValue
    Float64 = 6,         ///< doubleValue
    String = 7,          ///< textValue
    Enum = 8,            ///< intValue: the enumeration index
    Point = 9,           ///< point
    AreaInt = 11,        ///< area
    AreaFloat = 12,      ///< areaFloat
    Rect = 13,           ///< rect
    ColorRgbFloat = 16,  ///< color
    ColorArgbFloat = 18, ///< color
    RangeInt = 19,       ///< range
    RangeFloat = 20,     ///< rangeFloat
    Time = 21,           ///< intValue
};

/// A point; members compare exactly.
struct ValuePoint
{
    std::int32_t x = 0;
    std::int32_t y = 0;

    bool operator==(const ValuePoint&) const = default;
};

/// A width and height; members compare exactly.
struct ValueArea
{
    std::int32_t w = 0;
    std::int32_t h = 0;

    bool operator==(const ValueArea&) const = default;
};

/// A width and height in floating point.
struct TAVRIN_API ValueAreaFloat
{
    double w = 0.0;
    double h = 0.0;

    /// True when w and h each differ by less than 0.001 (exactly 0.001 and NaN
    /// compare unequal).
    bool operator==(const ValueAreaFloat& other) const;
};

/// A rectangle: origin, then size; members compare exactly.
struct ValueRect
{
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t w = 0;
    std::int32_t h = 0;

    bool operator==(const ValueRect&) const = default;
};

/// A colour: alpha, red, green, blue; members compare exactly (NaN never equal).
struct ValueColorFloat
{
    double a = 0.0;
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;

    bool operator==(const ValueColorFloat&) const = default;
};

/// An integer range; members compare exactly.
struct ValueRange
{
    std::int64_t min = 0;
    std::int64_t max = 0;

    bool operator==(const ValueRange&) const = default;
};

/// A floating-point range.
struct TAVRIN_API ValueRangeFloat
{
    double min = 0.0;
    double max = 0.0;

    /// True when min and max each differ by less than 0.001 (exactly 0.001 and
    /// NaN compare unequal).
    bool operator==(const ValueRangeFloat& other) const;
};

/// One property value: type says which member holds it. Every member exists
/// side by side; those not selected by type are zero or empty unless the
/// producer left data in them. displayText is the camera's or the converter's
/// text for the value (empty when none) and takes no part in comparison.
class TAVRIN_API PropertyValue
{
public:
    /// Type Unknown, every member zero or empty.
    PropertyValue() = default;
    PropertyValue(const int& value);                ///< Int32, sign-extended
    PropertyValue(const unsigned int& value);       ///< UInt32, zero-extended
    PropertyValue(const long& value);               ///< Int64
    PropertyValue(const long long& value);          ///< Int64
    PropertyValue(const unsigned long& value);      ///< UInt64
    PropertyValue(const unsigned long long& value); ///< UInt64
    PropertyValue(const double& value);             ///< Float64
    PropertyValue(const std::string& value);        ///< String, a copy
    PropertyValue(const char* value);               ///< String, a copy; null is the empty text
    /// No value from bool: a producer sets type Bool and intValue itself.
    PropertyValue(bool) = delete;

    /// Type Enum with intValue = index.
    static PropertyValue CreateEnum(unsigned int index);

    /// The low 32 bits of intValue as signed; type is not looked at.
    int IntegerAsI32() const { return static_cast<int>(static_cast<std::uint32_t>(intValue)); }
    /// The low 32 bits of intValue as unsigned; type is not looked at.
    unsigned int IntegerAsU32() const { return static_cast<unsigned int>(intValue); }
    /// intValue; type is not looked at.
    std::int64_t IntegerAsI64() const { return intValue; }
    /// intValue as unsigned; type is not looked at.
    std::uint64_t IntegerAsU64() const { return static_cast<std::uint64_t>(intValue); }

    /// The name of the type: "Bool", "Int32", "UInt32", "Int64", "UInt64",
    /// "Float64", "String", "Enum", "Area(Int)", "Area(Float)", "Rect",
    /// "ARGB(Float)", "Range(Int)", "Range(Float)", "Time"; "(Unknown)" for every
    /// other code (Unknown, Point and ColorRgbFloat included).
    std::string TypeString() const;
    /// displayText when it is not empty; otherwise the value formatted by type
    /// (six significant digits for doubles, independent of the process locale),
    /// "?" for a type without a text form.
    std::string StringValue() const;
    /// "(" TypeString() ") " StringValue().
    std::string ToString() const;

    /// Values of different types are unequal. Values of one type compare the
    /// member the type selects (Int32 and UInt32 only the low 32 bits, AreaFloat
    /// and RangeFloat within 0.001). Throws std::logic_error "Unknown
    /// PropertyValue type - cannot compare!" for two values of one type without
    /// a comparison: Unknown, Point, ColorRgbFloat and codes without meaning.
    bool operator==(const PropertyValue& other) const;
    /// The negation of operator==; throws as it does.
    bool operator!=(const PropertyValue& other) const;

    PropertyType type = PropertyType::Unknown;
    std::int64_t intValue = 0;
    double doubleValue = 0.0;
    std::string textValue;
    ValuePoint point;
    ValueColorFloat color;
    ValueArea area;
    ValueAreaFloat areaFloat;
    ValueRect rect;
    ValueRange range;
    ValueRangeFloat rangeFloat;
    std::string displayText;
};

/// Writes value.ToString().
TAVRIN_API std::ostream& operator<<(std::ostream& out, const PropertyValue& value);
/// Writes "( " x " , " y " )" with the stream's formatting.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const ValuePoint& point);
/// Writes "( " w " , " h " )" with the stream's formatting.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const ValueArea& area);
/// Writes "{ " the point (x, y) " , " the area (w, h) " }", both as printed above.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const ValueRect& rect);

} // namespace Q7::Tavrin
