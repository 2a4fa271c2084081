#include "KpxLibTypeConverter.h"

#include "LastError.h"
#include "SdkLog.h"

#include "Q7UniversalError.h"
#include "Wire/KPXByteCursor.h"

#include <bit>
#include <charconv>
#include <cinttypes>
#include <span>
#include <system_error>
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
        // Only the 8 bytes of intValue exist to copy from.
        if (codeSize > 8)
        {
            return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported integer type");
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
            ValueBuilder bytes(4);
            bytes.F32(value.doubleValue);
            bytes.StoreIn(out, 9);
            return Success;
        }
        if (codeSize > 8)
        {
            return Unsupported(out, kpxCode, "SetPropertyValue: Unsupported float type");
        }
        ValueBuilder bytes(static_cast<std::size_t>(codeSize));
        bytes.Low(std::bit_cast<std::uint64_t>(value.doubleValue));
        bytes.StoreIn(out, kpxCode);
        return Success;
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
