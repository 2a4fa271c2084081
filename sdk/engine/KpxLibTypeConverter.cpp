#include "KpxLibTypeConverter.h"

#include "LastError.h"
#include "SdkLog.h"

#include "Q7UniversalError.h"
#include "Wire/KPXByteCursor.h"

#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Q7::KPX::ByteReader;
using Q7::KPX::ByteWriter;
using Q7::KPX::Value;

namespace
{

constexpr const char* kFromSource = "KpxLibTypeConverter::FromKpxValue";
constexpr const char* kToSource = "KpxLibTypeConverter::ToKpxValue";

// The longest presentation text (a 64-byte formatted print).
constexpr std::size_t kMaxPresentationLength = 63;

// The longest text a String value may carry.
constexpr std::size_t kMaxTextLength = 255;

// The codes FromKpxValue converts.
bool IsConvertible(std::uint32_t code)
{
    return (code >= 1 && code <= 14) || (code >= 20 && code <= 23) || code == 30 || code == 34 ||
           code == 36 || code == 38 || code == 53 || (code >= 70 && code <= 73);
}

// Reads a value's bytes in order (its size is checked before).
class ValueReader
{
public:
    explicit ValueReader(const Value& value) : m_reader(value.GetBytes()) {}
    std::uint8_t U8() noexcept { return m_reader.ReadU8(); }
    std::uint32_t U32() noexcept { return m_reader.ReadU32(); }
    std::int32_t I32() noexcept { return static_cast<std::int32_t>(m_reader.ReadU32()); }
    std::uint64_t U64() noexcept { return m_reader.ReadU64(); }
    double F32() noexcept { return std::bit_cast<float>(m_reader.ReadU32()); }
    double F64() noexcept { return std::bit_cast<double>(m_reader.ReadU64()); }

private:
    ByteReader m_reader;
};

// Builds a value's bytes, then stores them with the value object's setter.
class ValueBuilder
{
public:
    explicit ValueBuilder(std::size_t size) : m_bytes(size), m_writer(m_bytes) {}
    void U8(std::uint8_t v) noexcept { m_writer.WriteU8(v); }
    void U32(std::uint32_t v) noexcept { m_writer.WriteU32(v); }
    void U64(std::uint64_t v) noexcept { m_writer.WriteU64(v); }
    void F32(double v) noexcept { m_writer.WriteU32(std::bit_cast<std::uint32_t>(static_cast<float>(v))); }
    void F64(double v) noexcept { m_writer.WriteU64(std::bit_cast<std::uint64_t>(v)); }
    // The low-order bytes of a 64-bit word, as many as the value holds.
    void Low(std::uint64_t v) noexcept
    {
        for (std::size_t i = 0; i < m_bytes.size() && i < 8; ++i)
        {
            m_writer.WriteU8(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void Text(const std::string& text) noexcept
    {
        m_writer.WriteBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    void StoreIn(Value& out, std::uint32_t code)
    {
        out.SetType(code);
        out.SetData(m_bytes.data(), m_bytes.size());
    }

private:
    std::vector<std::uint8_t> m_bytes; // zero-filled: padding needs no writes
    ByteWriter m_writer;
};

// Appends a double as "%g" does in the C locale, whatever the process locale.
void AppendG(std::string& text, double value)
{
    char buffer[32];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    if (error == std::errc())
    {
        text.append(buffer, end);
    }
}

template <typename Integer>
void AppendInteger(std::string& text, Integer value)
{
    char buffer[24];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error == std::errc())
    {
        text.append(buffer, end);
    }
}

// "[name=value name=value ...]" from the labelled numbers.
template <typename Number>
std::string Presentation(std::initializer_list<std::pair<const char*, Number>> fields)
{
    std::string text = "[";
    bool first = true;
    for (const auto& [name, value] : fields)
    {
        if (!first)
        {
            text += ' ';
        }
        first = false;
        text += name;
        text += '=';
        if constexpr (std::is_floating_point_v<Number>)
        {
            AppendG(text, value);
        }
        else
        {
            AppendInteger(text, value);
        }
    }
    text += ']';
    if (text.size() > kMaxPresentationLength)
    {
        text.resize(kMaxPresentationLength);
    }
    return text;
}

// The text a value of the public type shows when the camera gave none.
std::string PresentationText(const Q7::Tavrin::PropertyValue& value)
{
    switch (value.type)
    {
    case PropertyType::Unknown:
    case PropertyType::Bool:
    case PropertyType::Int32:
    case PropertyType::UInt32:
    case PropertyType::Int64:
    case PropertyType::UInt64:
    case PropertyType::Float64:
    case PropertyType::String:
    case PropertyType::Enum:
    case PropertyType::Time:
        return {};
    case PropertyType::Point:
        return Presentation<std::int32_t>({{"x", value.point.x}, {"y", value.point.y}});
    case PropertyType::AreaInt:
        // The height before the width.
        return Presentation<std::int32_t>({{"h", value.area.h}, {"w", value.area.w}});
    case PropertyType::AreaFloat:
        return Presentation<double>({{"h", value.areaFloat.h}, {"w", value.areaFloat.w}});
    case PropertyType::Rect:
        return Presentation<std::int32_t>(
            {{"x", value.rect.x}, {"y", value.rect.y}, {"h", value.rect.h}, {"w", value.rect.w}});
    case PropertyType::ColorRgbFloat:
        return Presentation<double>({{"r", value.color.r}, {"g", value.color.g}, {"b", value.color.b}});
    case PropertyType::ColorArgbFloat:
        return Presentation<double>(
            {{"a", value.color.a}, {"r", value.color.r}, {"g", value.color.g}, {"b", value.color.b}});
    case PropertyType::RangeInt:
        return Presentation<long long>({{"min", value.range.min}, {"max", value.range.max}});
    case PropertyType::RangeFloat:
        return Presentation<double>({{"min", value.rangeFloat.min}, {"max", value.rangeFloat.max}});
    }
    SdkLog(4, "KpxLibTypeConverter: No presentation string for property-type: %u\n",
           static_cast<unsigned>(value.type));
    return {};
}

// The padded block size of a text code; 0 for the variable-length code 20.
std::size_t TextBlockSize(std::uint32_t code)
{
    switch (code)
    {
    case 20:
        return 0;
    case 21:
        return 32;
    case 22:
        return 80;
    default:
        return 256;
    }
}

ErrorCode Unsupported(Value& out, std::uint32_t code, const char* message)
{
    out.SetType(code);
    return SetLastErrorInfo(SdkNotYetImplemented, message, kToSource);
}

// The integers a KPX code holds: its signedness and width in bits.
struct IntegerCode
{
    bool isSigned = false;
    unsigned bits = 0;
};

// The integer codes: the numbers, the enumeration index, the truth value's
// byte and the times. None for the other codes.
std::optional<IntegerCode> IntegerCodeOf(std::uint32_t code)
{
    switch (code)
    {
    case 1:
        return IntegerCode{true, 8};
    case 2:
    case 12:
        return IntegerCode{false, 8};
    case 3:
        return IntegerCode{true, 16};
    case 4:
        return IntegerCode{false, 16};
    case 5:
        return IntegerCode{true, 32};
    case 6:
    case 11:
    case 13:
        return IntegerCode{false, 32};
    case 7:
        return IntegerCode{true, 64};
    case 8:
    case 14:
        return IntegerCode{false, 64};
    default:
        return std::nullopt;
    }
}

// What a KPX code holds, for the message of a value that does not fit it.
const char* CodeName(std::uint32_t code)
{
    switch (code)
    {
    case 1:
        return "signed 8-bit integer";
    case 2:
        return "unsigned 8-bit integer";
    case 3:
        return "signed 16-bit integer";
    case 4:
        return "unsigned 16-bit integer";
    case 5:
        return "signed 32-bit integer";
    case 6:
        return "unsigned 32-bit integer";
    case 7:
        return "signed 64-bit integer";
    case 8:
        return "unsigned 64-bit integer";
    case 9:
        return "32-bit float";
    case 11:
        return "32-bit enumeration index";
    case 12:
        return "truth value byte";
    case 13:
        return "32-bit time";
    case 14:
        return "64-bit time";
    case 36:
        return "area of 32-bit floats";
    case 53:
        return "RGB colour of 32-bit floats";
    case 58:
        return "ARGB colour of 32-bit floats";
    case 70:
        return "range of signed 32-bit integers";
    case 71:
        return "range of unsigned 32-bit integers";
    case 72:
        return "range of 32-bit floats";
    default:
        return "?";
    }
}

// The public type's name in a message.
std::string TypeName(PropertyType type)
{
    switch (type)
    {
    case PropertyType::Int32:
        return "Int32";
    case PropertyType::UInt32:
        return "UInt32";
    case PropertyType::UInt64:
        return "UInt64";
    case PropertyType::Time:
        return "Time";
    default:
        return "integer";
    }
}

// Whether the integer, read as signed or unsigned, lies within what the code
// holds.
bool Fits(std::int64_t raw, bool valueIsSigned, IntegerCode code)
{
    if (valueIsSigned && raw < 0)
    {
        return code.isSigned && (code.bits == 64 || raw >= -(std::int64_t{1} << (code.bits - 1)));
    }
    const auto magnitude = static_cast<std::uint64_t>(raw);
    const unsigned valueBits = code.isSigned ? code.bits - 1 : code.bits;
    return valueBits == 64 || magnitude < (std::uint64_t{1} << valueBits);
}

// Whether a double keeps its magnitude as a 32-bit float: every infinity and
// NaN does, a finite double only up to the largest finite float.
bool FitsFloat(double value)
{
    return !std::isfinite(value) ||
           std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max());
}

std::string IntegerText(std::int64_t raw, bool isSigned)
{
    return isSigned ? std::to_string(raw) : std::to_string(static_cast<std::uint64_t>(raw));
}

// The shortest text that reads back as the double, whatever the process locale.
std::string DoubleText(double value)
{
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

// Refuses a value the property's code cannot hold (-25), naming the value's
// member and number and the code; out stays untouched.
ErrorCode DoesNotFit(const char* what, const std::string& number, std::uint32_t code)
{
    const std::string message = std::string("SetPropertyValue: ") + what + " " + number +
                                " does not fit the property's KPX type " + std::to_string(code) + " (" +
                                CodeName(code) + ")";
    return SetLastErrorInfo(PropertySetFailed, message.c_str(), kToSource);
}

// Refuses the first double of a record that a code of 32-bit floats cannot hold.
std::optional<ErrorCode> FloatsDoNotFit(const char* type,
                                        std::initializer_list<std::pair<const char*, double>> members,
                                        std::uint32_t code)
{
    for (const auto& [name, value] : members)
    {
        if (!FitsFloat(value))
        {
            return DoesNotFit((std::string(type) + " " + name).c_str(), DoubleText(value), code);
        }
    }
    return std::nullopt;
}

} // namespace

ErrorCode KpxLibTypeConverter::FromKpxValue(const Value& value, Q7::Tavrin::PropertyValue& out)
{
    const std::uint32_t code = value.GetType();
    // A value shorter than its code's size is a failure of the value object,
    // raised as its own size error.
    if (IsConvertible(code) && value.GetSize() < Value::SizeOfType(code))
    {
        throw Q7::Universal::ModuleError(Q7::Universal::kError_InvalidSize);
    }
    switch (code)
    {
    case 1:
    case 3:
    case 5:
        out.type = PropertyType::Int32;
        out.intValue = value.GetInt64();
        return Success;
    case 2:
    case 4:
    case 6:
        out.type = PropertyType::UInt32;
        out.intValue = static_cast<std::int64_t>(value.GetUInt64());
        return Success;
    case 7:
        out.type = PropertyType::Int64;
        out.intValue = value.GetInt64();
        return Success;
    case 8:
        out.type = PropertyType::UInt64;
        out.intValue = static_cast<std::int64_t>(value.GetUInt64());
        return Success;
    case 9:
    case 10:
        out.type = PropertyType::Float64;
        out.doubleValue = value.GetDouble();
        return Success;
    case 11:
    {
        ValueReader reader(value);
        out.type = PropertyType::Enum;
        out.intValue = reader.U32();
        return Success;
    }
    case 12:
    {
        ValueReader reader(value);
        out.type = PropertyType::Bool;
        out.intValue = reader.U8();
        return Success;
    }
    case 13:
    {
        ValueReader reader(value);
        out.type = PropertyType::Time;
        out.intValue = reader.U32();
        return Success;
    }
    case 14:
    {
        ValueReader reader(value);
        out.type = PropertyType::Time;
        out.intValue = static_cast<std::int64_t>(reader.U64());
        return Success;
    }
    case 20:
    case 21:
    case 22:
    case 23:
    {
        out.type = PropertyType::String;
        out.textValue =
            FromKpxString(std::string(reinterpret_cast<const char*>(value.GetData()), value.GetSize()));
        return Success;
    }
    case 30:
    {
        ValueReader reader(value);
        out.type = PropertyType::Point;
        out.point.x = reader.I32();
        out.point.y = reader.I32();
        return Success;
    }
    case 34:
    {
        ValueReader reader(value);
        out.type = PropertyType::AreaInt;
        out.area.w = reader.I32();
        out.area.h = reader.I32();
        return Success;
    }
    case 36:
    {
        ValueReader reader(value);
        out.type = PropertyType::AreaFloat;
        out.areaFloat.w = reader.F32();
        out.areaFloat.h = reader.F32();
        return Success;
    }
    case 38:
    {
        ValueReader reader(value);
        out.type = PropertyType::Rect;
        out.rect.x = reader.I32();
        out.rect.y = reader.I32();
        out.rect.w = reader.I32();
        out.rect.h = reader.I32();
        return Success;
    }
    case 53:
    {
        ValueReader reader(value);
        out.type = PropertyType::ColorArgbFloat;
        out.color.a = 1.0;
        out.color.r = reader.F32();
        out.color.g = reader.F32();
        out.color.b = reader.F32();
        return Success;
    }
    case 70:
    {
        ValueReader reader(value);
        out.type = PropertyType::RangeInt;
        out.range.min = reader.I32();
        out.range.max = reader.I32();
        return Success;
    }
    case 71:
    {
        ValueReader reader(value);
        out.type = PropertyType::RangeInt;
        out.range.min = reader.U32();
        out.range.max = reader.U32();
        return Success;
    }
    case 72:
    {
        ValueReader reader(value);
        out.type = PropertyType::RangeFloat;
        out.rangeFloat.min = reader.F32();
        out.rangeFloat.max = reader.F32();
        return Success;
    }
    case 73:
    {
        ValueReader reader(value);
        out.type = PropertyType::RangeFloat;
        out.rangeFloat.min = reader.F64();
        out.rangeFloat.max = reader.F64();
        return Success;
    }
    default:
        break;
    }
    SdkLog(2, "KpxLibTypeConverter: Unhandled source-type: %u\n", code);
    out.type = PropertyType::Unknown;
    return SetLastErrorInfo(PropertyTypeNotConvertible, "Cannot convert KPX subsystem property value type",
                            kFromSource);
}

ErrorCode KpxLibTypeConverter::FromKpxValue(const ValueWithText& value, Q7::Tavrin::PropertyValue& out,
                                            bool skipEmpty)
{
    if (skipEmpty && value.value.GetType() == 0)
    {
        return Success;
    }
    if (const ErrorCode converted = FromKpxValue(value.value, out); converted != Success)
    {
        return converted;
    }
    out.displayText = !value.text.empty() ? value.text : PresentationText(out);
    return Success;
}

ErrorCode KpxLibTypeConverter::FromKpxRange(const ValueWithText& min, const ValueWithText& max,
                                            PropertyRange& out)
{
    if (min.value.GetType() == 0 || max.value.GetType() == 0)
    {
        out.valid = false;
        return Success;
    }
    out.valid = true;
    if (const ErrorCode converted = FromKpxValue(min, out.min, false); converted != Success)
    {
        return converted;
    }
    return FromKpxValue(max, out.max, false);
}

ErrorCode KpxLibTypeConverter::ToKpxValue(const Q7::Tavrin::PropertyValue& value, Value& out,
                                          std::uint32_t kpxCode)
{
    const std::uint64_t codeSize = Value::SizeOfType(kpxCode);
    switch (value.type)
    {
    case PropertyType::Bool:
    {
        ValueBuilder bytes(1);
        bytes.U8(value.intValue != 0 ? 1 : 0);
        bytes.StoreIn(out, 12);
        return Success;
    }
    case PropertyType::Int32:
    case PropertyType::UInt32:
    case PropertyType::UInt64:
    case PropertyType::Time:
    {
        // The whole of intValue is the value: an Int32 reads it signed, the
        // others unsigned. It goes out only to an integer code that holds it,
        // so the low-order bytes the code takes are all of it.
        const std::optional<IntegerCode> integer = IntegerCodeOf(kpxCode);
        if (!integer)
        {
            return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported integer type");
        }
        const bool isSigned = value.type == PropertyType::Int32;
        if (!Fits(value.intValue, isSigned, *integer))
        {
            return DoesNotFit((TypeName(value.type) + " value").c_str(),
                              IntegerText(value.intValue, isSigned), kpxCode);
        }
        ValueBuilder bytes(static_cast<std::size_t>(codeSize));
        bytes.Low(static_cast<std::uint64_t>(value.intValue));
        bytes.StoreIn(out, kpxCode);
        return Success;
    }
    case PropertyType::Int64:
    {
        ValueBuilder bytes(8);
        bytes.U64(static_cast<std::uint64_t>(value.intValue));
        bytes.StoreIn(out, 7);
        return Success;
    }
    case PropertyType::Float64:
    {
        if (kpxCode == 9)
        {
            if (!FitsFloat(value.doubleValue))
            {
                return DoesNotFit("Float64 value", DoubleText(value.doubleValue), kpxCode);
            }
            ValueBuilder bytes(4);
            bytes.F32(value.doubleValue);
            bytes.StoreIn(out, 9);
            return Success;
        }
        if (kpxCode == 10)
        {
            ValueBuilder bytes(8);
            bytes.F64(value.doubleValue);
            bytes.StoreIn(out, 10);
            return Success;
        }
        // Any other code would take the double's bit pattern, not its value.
        return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported float type");
    }
    case PropertyType::String:
    {
        // A camera takes a text only in the property's own code.
        const std::uint32_t code = kpxCode >= 20 && kpxCode <= 23 ? kpxCode : 23;
        const std::size_t block = TextBlockSize(code);
        const std::size_t limit = block == 0 ? kMaxTextLength : block - 1;
        if (value.textValue.size() > limit)
        {
            SdkLog(1, "KPX strings cannot be longer than %zu bytes (not counting termination character)",
                   limit);
            const std::string message =
                "Strings longer than " + std::to_string(limit) + " bytes are not supported";
            return SetLastErrorInfo(PropertySetFailed, message.c_str(), kToSource);
        }
        ValueBuilder bytes(block == 0 ? value.textValue.size() : block);
        bytes.Text(value.textValue);
        bytes.StoreIn(out, code);
        return Success;
    }
    case PropertyType::Enum:
    {
        if (!Fits(value.intValue, false, IntegerCode{false, 32}))
        {
            return DoesNotFit("Enum value", IntegerText(value.intValue, false), 11);
        }
        ValueBuilder bytes(4);
        bytes.U32(static_cast<std::uint32_t>(value.intValue));
        bytes.StoreIn(out, 11);
        return Success;
    }
    case PropertyType::Point:
    {
        ValueBuilder bytes(8);
        bytes.U32(static_cast<std::uint32_t>(value.point.x));
        bytes.U32(static_cast<std::uint32_t>(value.point.y));
        bytes.StoreIn(out, 30);
        return Success;
    }
    case PropertyType::AreaInt:
    {
        ValueBuilder bytes(8);
        bytes.U32(static_cast<std::uint32_t>(value.area.w));
        bytes.U32(static_cast<std::uint32_t>(value.area.h));
        bytes.StoreIn(out, 34);
        return Success;
    }
    case PropertyType::AreaFloat:
    {
        if (kpxCode == 36)
        {
            if (const auto refused = FloatsDoNotFit(
                    "Area(Float)", {{"width", value.areaFloat.w}, {"height", value.areaFloat.h}}, kpxCode))
            {
                return *refused;
            }
            ValueBuilder bytes(8);
            bytes.F32(value.areaFloat.w);
            bytes.F32(value.areaFloat.h);
            bytes.StoreIn(out, 36);
            return Success;
        }
        if (kpxCode == 37)
        {
            ValueBuilder bytes(16);
            bytes.F64(value.areaFloat.w);
            bytes.F64(value.areaFloat.h);
            bytes.StoreIn(out, 37);
            return Success;
        }
        return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported AreaFloat type");
    }
    case PropertyType::Rect:
    {
        ValueBuilder bytes(16);
        bytes.U32(static_cast<std::uint32_t>(value.rect.x));
        bytes.U32(static_cast<std::uint32_t>(value.rect.y));
        bytes.U32(static_cast<std::uint32_t>(value.rect.w));
        bytes.U32(static_cast<std::uint32_t>(value.rect.h));
        bytes.StoreIn(out, 38);
        return Success;
    }
    case PropertyType::ColorRgbFloat:
    case PropertyType::ColorArgbFloat:
    {
        const ValueColorFloat& c = value.color;
        switch (kpxCode)
        {
        case 53:
        {
            if (const auto refused =
                    FloatsDoNotFit("colour", {{"red", c.r}, {"green", c.g}, {"blue", c.b}}, kpxCode))
            {
                return *refused;
            }
            ValueBuilder bytes(12);
            bytes.F32(c.r);
            bytes.F32(c.g);
            bytes.F32(c.b);
            bytes.StoreIn(out, 53);
            return Success;
        }
        case 54:
        {
            ValueBuilder bytes(24);
            bytes.F64(c.r);
            bytes.F64(c.g);
            bytes.F64(c.b);
            bytes.StoreIn(out, 54);
            return Success;
        }
        case 58:
        {
            if (const auto refused = FloatsDoNotFit(
                    "colour", {{"alpha", c.a}, {"red", c.r}, {"green", c.g}, {"blue", c.b}}, kpxCode))
            {
                return *refused;
            }
            ValueBuilder bytes(16);
            bytes.F32(c.a);
            bytes.F32(c.r);
            bytes.F32(c.g);
            bytes.F32(c.b);
            bytes.StoreIn(out, 58);
            return Success;
        }
        case 59:
        {
            ValueBuilder bytes(32);
            bytes.F64(c.a);
            bytes.F64(c.r);
            bytes.F64(c.g);
            bytes.F64(c.b);
            bytes.StoreIn(out, 59);
            return Success;
        }
        default:
            return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported color type");
        }
    }
    case PropertyType::RangeInt:
    {
        if (kpxCode != 70 && kpxCode != 71)
        {
            return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported range type");
        }
        // Both members are 64-bit here and 32-bit on the wire.
        const IntegerCode member{kpxCode == 70, 32};
        const std::pair<const char*, std::int64_t> bounds[] = {{"minimum", value.range.min},
                                                               {"maximum", value.range.max}};
        for (const auto& [name, bound] : bounds)
        {
            if (!Fits(bound, true, member))
            {
                return DoesNotFit((std::string("Range(Int) ") + name).c_str(), IntegerText(bound, true),
                                  kpxCode);
            }
        }
        ValueBuilder bytes(8);
        bytes.U32(static_cast<std::uint32_t>(value.range.min));
        bytes.U32(static_cast<std::uint32_t>(value.range.max));
        bytes.StoreIn(out, kpxCode);
        return Success;
    }
    case PropertyType::RangeFloat:
    {
        if (kpxCode == 72)
        {
            if (const auto refused = FloatsDoNotFit(
                    "Range(Float)", {{"minimum", value.rangeFloat.min}, {"maximum", value.rangeFloat.max}},
                    kpxCode))
            {
                return *refused;
            }
            ValueBuilder bytes(8);
            bytes.F32(value.rangeFloat.min);
            bytes.F32(value.rangeFloat.max);
            bytes.StoreIn(out, 72);
            return Success;
        }
        if (kpxCode == 73)
        {
            ValueBuilder bytes(16);
            bytes.F64(value.rangeFloat.min);
            bytes.F64(value.rangeFloat.max);
            bytes.StoreIn(out, 73);
            return Success;
        }
        return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported rangeFloat type");
    }
    case PropertyType::Unknown:
        break;
    }
    return SetLastErrorInfo(PropertyTypeNotConvertible, "", kToSource);
}

std::int32_t KpxLibTypeConverter::UserLevel(std::uint32_t level)
{
    switch (level)
    {
    case 0:
        return 5;
    case 10:
    case 11:
    case 20:
        return static_cast<std::int32_t>(level);
    default:
        SdkLog(1, "Un-supported KPX UserLevel (%d) for property", static_cast<int>(level));
        return 0;
    }
}

std::string KpxLibTypeConverter::FromKpxString(const std::string& text)
{
    std::size_t length = text.size();
    while (length > 0 && text[length - 1] == '\0')
    {
        --length;
    }
    return text.substr(0, length);
}

std::array<std::uint32_t, 2> KpxLibTypeConverter::ToKpxPoint(const ValuePoint& point)
{
    return {static_cast<std::uint32_t>(point.x), static_cast<std::uint32_t>(point.y)};
}

std::array<std::uint32_t, 4> KpxLibTypeConverter::ToKpxRect(const ValueRect& rect)
{
    return {static_cast<std::uint32_t>(rect.x), static_cast<std::uint32_t>(rect.y),
            static_cast<std::uint32_t>(rect.w), static_cast<std::uint32_t>(rect.h)};
}

ValueRect KpxLibTypeConverter::FromKpxRect(const std::array<std::uint32_t, 4>& rect)
{
    return {static_cast<std::int32_t>(rect[0]), static_cast<std::int32_t>(rect[1]),
            static_cast<std::int32_t>(rect[2]), static_cast<std::int32_t>(rect[3])};
}

} // namespace Q7::TavrinC
