#include "TextStream.h"

#include <TavrinCpp/PropertyValue.h>

#include <cmath>
#include <ostream>
#include <stdexcept>

namespace Q7::Tavrin
{

namespace
{

// Strictly closer than 0.001: a difference of exactly 0.001 or a NaN is unequal.
bool Near(double a, double b)
{
    return std::fabs(a - b) < 0.001;
}

} // namespace

bool ValueAreaFloat::operator==(const ValueAreaFloat& other) const
{
    return Near(w, other.w) && Near(h, other.h);
}

bool ValueRangeFloat::operator==(const ValueRangeFloat& other) const
{
    return Near(min, other.min) && Near(max, other.max);
}

PropertyValue::PropertyValue(const int& value) : type(PropertyType::Int32), intValue(value) {}
PropertyValue::PropertyValue(const unsigned int& value) : type(PropertyType::UInt32), intValue(value) {}
PropertyValue::PropertyValue(const long& value) : type(PropertyType::Int64), intValue(value) {}
PropertyValue::PropertyValue(const long long& value) : type(PropertyType::Int64), intValue(value) {}
PropertyValue::PropertyValue(const unsigned long& value)
    : type(PropertyType::UInt64), intValue(static_cast<std::int64_t>(value))
{
}
PropertyValue::PropertyValue(const unsigned long long& value)
    : type(PropertyType::UInt64), intValue(static_cast<std::int64_t>(value))
{
}
PropertyValue::PropertyValue(const double& value) : type(PropertyType::Float64), doubleValue(value) {}
PropertyValue::PropertyValue(const std::string& value) : type(PropertyType::String), textValue(value) {}
PropertyValue::PropertyValue(const char* value)
    : type(PropertyType::String), textValue(value != nullptr ? value : "")
{
}

PropertyValue PropertyValue::CreateEnum(unsigned int index)
{
    PropertyValue value;
    value.type = PropertyType::Enum;
    value.intValue = index;
    return value;
}

std::string PropertyValue::TypeString() const
{
    switch (type)
    {
    case PropertyType::Bool:
        return "Bool";
    case PropertyType::Int32:
        return "Int32";
    case PropertyType::UInt32:
        return "UInt32";
    case PropertyType::Int64:
        return "Int64";
    case PropertyType::UInt64:
        return "UInt64";
    case PropertyType::Float64:
        return "Float64";
    case PropertyType::String:
        return "String";
    case PropertyType::Enum:
        return "Enum";
    case PropertyType::AreaInt:
        return "Area(Int)";
    case PropertyType::AreaFloat:
        return "Area(Float)";
    case PropertyType::Rect:
        return "Rect";
    case PropertyType::ColorArgbFloat:
        return "ARGB(Float)";
    case PropertyType::RangeInt:
        return "Range(Int)";
    case PropertyType::RangeFloat:
        return "Range(Float)";
    case PropertyType::Time:
        return "Time";
    case PropertyType::Unknown:
    case PropertyType::Point:
    case PropertyType::ColorRgbFloat:
        break;
    }
    return "(Unknown)";
}

std::string PropertyValue::StringValue() const
{
    if (!displayText.empty())
    {
        return displayText;
    }
    Detail::TextStream text;
    switch (type)
    {
    case PropertyType::Bool:
        text << (intValue != 0 ? "True" : "False");
        break;
    case PropertyType::Int32:
        text << IntegerAsI32();
        break;
    case PropertyType::UInt32:
        text << IntegerAsU32();
        break;
    case PropertyType::Int64:
        text << IntegerAsI64();
        break;
    case PropertyType::UInt64:
    case PropertyType::Enum:
    case PropertyType::Time:
        text << IntegerAsU64();
        break;
    case PropertyType::Float64:
        text << doubleValue;
        break;
    case PropertyType::String:
        text << textValue;
        break;
    case PropertyType::AreaInt:
        text << "{ W: " << area.w << ", H: " << area.h << " }";
        break;
    case PropertyType::AreaFloat:
        text << "{ W: " << areaFloat.w << ", H: " << areaFloat.h << " }";
        break;
    case PropertyType::Rect:
        text << "{ X: " << rect.x << ", Y: " << rect.y << ", W: " << rect.w << ", H: " << rect.h << " }";
        break;
    case PropertyType::ColorArgbFloat:
        text << "{ A: " << color.a << ", R: " << color.r << ", G: " << color.g << ", B: " << color.b << " }";
        break;
    case PropertyType::RangeInt:
        text << " { min: " << range.min << ", max: " << range.max << " }";
        break;
    case PropertyType::RangeFloat:
        text << " { min: " << rangeFloat.min << ", max: " << rangeFloat.max << " }";
        break;
    case PropertyType::Unknown:
    case PropertyType::Point:
    case PropertyType::ColorRgbFloat:
    default:
        text << "?";
        break;
    }
    return text.str();
}

std::string PropertyValue::ToString() const
{
    return "(" + TypeString() + ") " + StringValue();
}

bool PropertyValue::operator==(const PropertyValue& other) const
{
    if (type != other.type)
    {
        return false;
    }
    switch (type)
    {
    case PropertyType::Bool:
    case PropertyType::Enum:
    case PropertyType::Time:
    case PropertyType::Int64:
    case PropertyType::UInt64:
        return intValue == other.intValue;
    case PropertyType::Int32:
        return IntegerAsI32() == other.IntegerAsI32();
    case PropertyType::UInt32:
        return IntegerAsU32() == other.IntegerAsU32();
    case PropertyType::Float64:
        return doubleValue == other.doubleValue;
    case PropertyType::String:
        return textValue == other.textValue;
    case PropertyType::AreaInt:
        return area == other.area;
    case PropertyType::AreaFloat:
        return areaFloat == other.areaFloat;
    case PropertyType::Rect:
        return rect == other.rect;
    case PropertyType::ColorArgbFloat:
        return color == other.color;
    case PropertyType::RangeInt:
        return range == other.range;
    case PropertyType::RangeFloat:
        return rangeFloat == other.rangeFloat;
    case PropertyType::Unknown:
    case PropertyType::Point:
    case PropertyType::ColorRgbFloat:
        break;
    }
    throw std::logic_error("Unknown PropertyValue type - cannot compare!");
}

bool PropertyValue::operator!=(const PropertyValue& other) const
{
    return !(*this == other);
}

std::ostream& operator<<(std::ostream& out, const PropertyValue& value)
{
    return out << value.ToString();
}

std::ostream& operator<<(std::ostream& out, const ValuePoint& point)
{
    return out << "( " << point.x << " , " << point.y << " )";
}

std::ostream& operator<<(std::ostream& out, const ValueArea& area)
{
    return out << "( " << area.w << " , " << area.h << " )";
}

std::ostream& operator<<(std::ostream& out, const ValueRect& rect)
{
    return out << "{ " << ValuePoint{rect.x, rect.y} << " , " << ValueArea{rect.w, rect.h} << " }";
}

} // namespace Q7::Tavrin
