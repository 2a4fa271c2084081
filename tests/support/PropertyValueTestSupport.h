// Property values in the SDK tests: built from a type and the member it
// selects, and compared through their text form (the type's number and that
// member; the PropertyValue comparison refuses some types).
#pragma once

#include <TavrinCpp/PropertyValue.h>

#include <sstream>
#include <string>
#include <type_traits>

namespace TestSupport
{

/// Type and the member it selects, as text.
inline std::string Describe(const Q7::Tavrin::PropertyValue& value)
{
    using Q7::Tavrin::PropertyType;
    std::ostringstream text;
    text << static_cast<unsigned>(value.type) << ":";
    switch (value.type)
    {
    case PropertyType::Float64:
        text << value.doubleValue;
        break;
    case PropertyType::String:
        text << '"' << value.textValue << '"';
        break;
    case PropertyType::Point:
        text << value.point.x << "," << value.point.y;
        break;
    case PropertyType::AreaInt:
        text << value.area.w << "," << value.area.h;
        break;
    case PropertyType::AreaFloat:
        text << value.areaFloat.w << "," << value.areaFloat.h;
        break;
    case PropertyType::Rect:
        text << value.rect.x << "," << value.rect.y << "," << value.rect.w << "," << value.rect.h;
        break;
    case PropertyType::ColorRgbFloat:
    case PropertyType::ColorArgbFloat:
        text << value.color.a << "," << value.color.r << "," << value.color.g << "," << value.color.b;
        break;
    case PropertyType::RangeInt:
        text << value.range.min << "," << value.range.max;
        break;
    case PropertyType::RangeFloat:
        text << value.rangeFloat.min << "," << value.rangeFloat.max;
        break;
    case PropertyType::Unknown:
        break;
    default:
        text << value.intValue;
        break;
    }
    return text.str();
}

/// A value of type whose member holds fields.
template <typename Member>
Q7::Tavrin::PropertyValue Record(Q7::Tavrin::PropertyType type, Member Q7::Tavrin::PropertyValue::*member,
                                 const std::type_identity_t<Member>& fields)
{
    Q7::Tavrin::PropertyValue value;
    value.type = type;
    value.*member = fields;
    return value;
}

/// A value of type whose integer member holds integer.
inline Q7::Tavrin::PropertyValue Typed(Q7::Tavrin::PropertyType type, std::int64_t integer)
{
    return Record(type, &Q7::Tavrin::PropertyValue::intValue, integer);
}

} // namespace TestSupport
