// The value converter between KPX values and PropertyValue: every KPX code
// read, every public type written, both against every code in one table, and
// the edges of texts, ranges and user levels.

#include "KpxLibTypeConverter.h"

#include "LastError.h"
#include "PropertyValueTestSupport.h"
#include "SdkLogCapture.h"

#include "Q7UniversalError.h"

#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using namespace Q7::Tavrin;
using Q7::KPX::Value;
using Q7::TavrinC::KpxLibTypeConverter;
using ValueWithText = KpxLibTypeConverter::ValueWithText;
using Bytes = std::vector<std::uint8_t>;
using TestSupport::Describe;
using TestSupport::Record;
using TestSupport::SdkLogCapture;
using TestSupport::Typed;

// The little-endian bytes of value, appended.
template <typename T>
void Append(Bytes& bytes, T value)
{
    const auto raw = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    for (const std::uint8_t byte : raw)
    {
        bytes.push_back(byte);
    }
}

template <typename... T>
Bytes Le(T... values)
{
    Bytes bytes;
    (Append(bytes, values), ...);
    return bytes;
}

Bytes Text(const std::string& text, std::size_t size)
{
    Bytes bytes(text.begin(), text.end());
    bytes.resize(size, 0);
    return bytes;
}

Value Kpx(std::uint32_t code, const Bytes& bytes)
{
    return Value(code, bytes.data(), bytes.size());
}

// A value whose every member holds something: what the conversion must leave.
PropertyValue Stale()
{
    PropertyValue value;
    value.intValue = -1;
    value.doubleValue = 9.5;
    value.textValue = "stale";
    value.point = {9, 9};
    value.color = {9, 9, 9, 9};
    value.area = {9, 9};
    value.areaFloat = {9, 9};
    value.rect = {9, 9, 9, 9};
    value.range = {9, 9};
    value.rangeFloat = {9, 9};
    value.displayText = "stale text";
    return value;
}

struct ReadCase
{
    std::uint32_t code;
    Bytes bytes;
    std::string value;        // Describe of the result
    std::string presentation; // displayText when the camera gave no text
};

// Catches a code read as the wrong width or signedness, record fields in the
// wrong order, an enumeration index that keeps the upper bytes of a reused
// value, texts that keep their padding, and a presentation with the width
// before the height.
TEST(KpxLibTypeConverterTest, EveryConvertibleCodeReadsIntoItsMember)
{
    const std::vector<ReadCase> cases{
        {1, {0xFE}, "2:-2", ""},
        {2, {0xFE}, "3:254", ""},
        {3, Le<std::int16_t>(-300), "2:-300", ""},
        {4, Le<std::uint16_t>(0xFFFE), "3:65534", ""},
        {5, Le<std::int32_t>(-2), "2:-2", ""},
        {6, Le<std::uint32_t>(4000000000u), "3:4000000000", ""},
        {7, Le<std::int64_t>(-5), "4:-5", ""},
        {8, Le<std::uint64_t>(1ull << 63), "5:-9223372036854775808", ""},
        {9, Le(1.5f), "6:1.5", ""},
        {10, Le(-0.25), "6:-0.25", ""},
        {11, Le<std::uint32_t>(0x80000002u), "8:2147483650", ""},
        {12, {5}, "1:5", ""},
        {13, Le<std::uint32_t>(0xF0000000u), "21:4026531840", ""},
        {14, Le<std::uint64_t>(0x0807060504030201ull), "21:578437695752307201", ""},
        {20, Text("tethered", 8), "7:\"tethered\"", ""},
        {21, Text("abc", 32), "7:\"abc\"", ""},
        {22, Text(std::string("a\0b", 3), 80), std::string("7:\"a\0b\"", 7), ""},
        {23, Text("abc", 256), "7:\"abc\"", ""},
        {30, Le<std::int32_t>(-1, 2), "9:-1,2", "[x=-1 y=2]"},
        {34, Le<std::int32_t>(6000, 4000), "11:6000,4000", "[h=4000 w=6000]"},
        {36, Le(1.5f, 2.5f), "12:1.5,2.5", "[h=2.5 w=1.5]"},
        {38, Le<std::int32_t>(1, 2, 3, 4), "13:1,2,3,4", "[x=1 y=2 h=4 w=3]"},
        {53, Le(0.5f, 0.25f, 1.0f), "18:1,0.5,0.25,1", "[a=1 r=0.5 g=0.25 b=1]"},
        {70, Le<std::int32_t>(-2, 2), "19:-2,2", "[min=-2 max=2]"},
        {71, Le<std::uint32_t>(0xFFFFFFFFu, 1), "19:4294967295,1", "[min=4294967295 max=1]"},
        {72, Le(0.5f, 1e10f), "20:0.5,1e+10", "[min=0.5 max=1e+10]"},
        {73, Le(-1.0, 123456789.0), "20:-1,1.23457e+08", "[min=-1 max=1.23457e+08]"},
    };
    for (const ReadCase& c : cases)
    {
        SCOPED_TRACE(c.code);
        PropertyValue value = Stale();
        ASSERT_EQ(KpxLibTypeConverter::FromKpxValue(Kpx(c.code, c.bytes), value), Success);
        EXPECT_EQ(Describe(value), c.value);
        EXPECT_EQ(value.displayText, "stale text") << "the plain form writes only the member";
        if (value.type != PropertyType::String)
        {
            EXPECT_EQ(value.textValue, "stale");
        }

        PropertyValue withText = Stale();
        ASSERT_EQ(
            KpxLibTypeConverter::FromKpxValue(ValueWithText{Kpx(c.code, c.bytes), "", 0}, withText, false),
            Success);
        EXPECT_EQ(withText.displayText, c.presentation);
        ASSERT_EQ(KpxLibTypeConverter::FromKpxValue(ValueWithText{Kpx(c.code, c.bytes), "camera's", 0},
                                                    withText, true),
                  Success);
        EXPECT_EQ(withText.displayText, "camera's");
    }
    PropertyValue signedFive;
    ASSERT_EQ(KpxLibTypeConverter::FromKpxValue(Kpx(5, Le<std::int32_t>(-2)), signedFive), Success);
    EXPECT_EQ(static_cast<std::uint64_t>(signedFive.intValue), 0xFFFFFFFFFFFFFFFEull);
}

// Catches a code without a conversion that is not refused (or refused
// without its log line and last error), and a refusal that keeps the old
// type of a reused value.
TEST(KpxLibTypeConverterTest, CodesWithoutAConversionGiveMinus21)
{
    for (const std::uint32_t code : {0u, 37u, 54u, 58u, 59u, 99u})
    {
        SCOPED_TRACE(code);
        SdkLogCapture log;
        PropertyValue value = Stale();
        value.type = PropertyType::Int32;
        const Value kpx = code == 0 ? Value() : Kpx(code, Bytes(Value::SizeOfType(code), 0));
        EXPECT_EQ(KpxLibTypeConverter::FromKpxValue(kpx, value), PropertyTypeNotConvertible);
        EXPECT_EQ(value.type, PropertyType::Unknown);
        EXPECT_EQ(log.Count("KpxLibTypeConverter: Unhandled source-type: " + std::to_string(code) + "\n"), 1);
        EXPECT_EQ(Q7::TavrinC::GetErrorCode(), PropertyTypeNotConvertible);
        EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "Cannot convert KPX subsystem property value type");
    }
    // A value shorter than its code is the value object's size error.
    PropertyValue value;
    for (const std::uint32_t code : {5u, 11u, 38u, 73u})
    {
        try
        {
            KpxLibTypeConverter::FromKpxValue(Value(code), value);
            ADD_FAILURE() << "an empty value of code " << code << " converted";
        }
        catch (const Q7::Universal::ModuleError& error)
        {
            EXPECT_EQ(error.GetFullCode(), 0x650005u);
        }
    }
}

// Catches: skipEmpty ignored (a default of code 0 overwriting the
// specification's, or failing), a range made valid by one empty bound, and
// a range whose failing minimum still converts the maximum.
TEST(KpxLibTypeConverterTest, EmptyValuesAndRanges)
{
    PropertyValue value = Stale();
    EXPECT_EQ(KpxLibTypeConverter::FromKpxValue(ValueWithText{}, value, true), Success);
    EXPECT_EQ(value.displayText, "stale text");
    EXPECT_EQ(value.type, PropertyType::Unknown);
    EXPECT_EQ(KpxLibTypeConverter::FromKpxValue(ValueWithText{}, value, false), PropertyTypeNotConvertible);

    PropertyRange range;
    range.min = PropertyValue(7);
    EXPECT_EQ(KpxLibTypeConverter::FromKpxRange(ValueWithText{Kpx(5, Le(1)), "", 0}, ValueWithText{}, range),
              Success);
    EXPECT_FALSE(range.valid);
    EXPECT_EQ(Describe(range.min), "2:7") << "untouched";
    ASSERT_EQ(KpxLibTypeConverter::FromKpxRange(ValueWithText{Kpx(5, Le(-3)), "", 0},
                                                ValueWithText{Kpx(5, Le(3)), "max", 0}, range),
              Success);
    EXPECT_TRUE(range.valid);
    EXPECT_EQ(Describe(range.min), "2:-3");
    EXPECT_EQ(Describe(range.max), "2:3");
    EXPECT_EQ(range.max.displayText, "max");
    PropertyRange failing;
    failing.max = PropertyValue(7);
    EXPECT_EQ(KpxLibTypeConverter::FromKpxRange(ValueWithText{Kpx(37, Bytes(16)), "", 0},
                                                ValueWithText{Kpx(5, Le(3)), "", 0}, failing),
              PropertyTypeNotConvertible);
    EXPECT_TRUE(failing.valid);
    EXPECT_EQ(Describe(failing.max), "2:7") << "the maximum is not converted after a failing minimum";
}

struct WriteCase
{
    PropertyValue value;
    std::uint32_t kpxCode;
    std::uint32_t code; // of the value built
    Bytes bytes;
};

// Catches bytes written in the wrong width, order or type code: a Bool or
// Enum taking the property's code, a text in another code than the
// property's (the camera refuses it) or without its padding, a float code
// given a double's bytes, a colour keeping alpha where the code has none.
TEST(KpxLibTypeConverterTest, EveryTypeWritesTheBytesOfItsCode)
{
    using T = PropertyType;
    using P = PropertyValue;
    const ValueColorFloat color{0.75, 0.5, 0.25, 1.0};
    const std::vector<WriteCase> cases{
        {Typed(T::Bool, 7), 6, 12, {1}},
        {Typed(T::Bool, 0), 12, 12, {0}},
        {PropertyValue(-2), 1, 1, {0xFE}},
        {PropertyValue(-2), 3, 3, Le<std::int16_t>(-2)},
        {PropertyValue(-2), 5, 5, Le<std::int32_t>(-2)},
        {PropertyValue(4000000000u), 6, 6, Le<std::uint32_t>(4000000000u)},
        {PropertyValue(255u), 2, 2, {0xFF}},
        {Typed(T::UInt32, 1), 12, 12, {1}},
        {PropertyValue(~0ull), 8, 8, Le<std::uint64_t>(~0ull)},
        {PropertyValue(-5ll), 7, 7, Le<std::int64_t>(-5)},
        {PropertyValue(-5ll), 5, 7, Le<std::int64_t>(-5)},
        {Typed(T::Time, 0x40302010), 13, 13, Le<std::uint32_t>(0x40302010)},
        {Typed(T::Time, 7), 14, 14, Le<std::uint64_t>(7)},
        {PropertyValue(1.5), 9, 9, Le(1.5f)},
        {PropertyValue(1.5), 10, 10, Le(1.5)},
        {PropertyValue::CreateEnum(3), 6, 11, Le<std::uint32_t>(3)},
        {PropertyValue("abc"), 23, 23, Text("abc", 256)},
        {PropertyValue("abc"), 22, 22, Text("abc", 80)},
        {PropertyValue("abc"), 21, 21, Text("abc", 32)},
        {PropertyValue("abc"), 20, 20, Text("abc", 3)},
        {PropertyValue("abc"), 6, 23, Text("abc", 256)},
        {Record(T::Point, &P::point, ValuePoint(-1, 2)), 30, 30, Le<std::int32_t>(-1, 2)},
        {Record(T::AreaInt, &P::area, ValueArea(6000, 4000)), 0, 34, Le<std::int32_t>(6000, 4000)},
        {Record(T::AreaFloat, &P::areaFloat, ValueAreaFloat(1.5, 2.5)), 36, 36, Le(1.5f, 2.5f)},
        {Record(T::AreaFloat, &P::areaFloat, ValueAreaFloat(1.5, 2.5)), 37, 37, Le(1.5, 2.5)},
        {Record(T::Rect, &P::rect, ValueRect(1, 2, 3, 4)), 38, 38, Le<std::int32_t>(1, 2, 3, 4)},
        {Record(T::ColorArgbFloat, &P::color, color), 53, 53, Le(0.5f, 0.25f, 1.0f)},
        {Record(T::ColorArgbFloat, &P::color, color), 54, 54, Le(0.5, 0.25, 1.0)},
        {Record(T::ColorRgbFloat, &P::color, color), 58, 58, Le(0.75f, 0.5f, 0.25f, 1.0f)},
        {Record(T::ColorRgbFloat, &P::color, color), 59, 59, Le(0.75, 0.5, 0.25, 1.0)},
        {Record(T::RangeInt, &P::range, ValueRange(-2, 2)), 70, 70, Le<std::int32_t>(-2, 2)},
        {Record(T::RangeInt, &P::range, ValueRange(1, 2)), 71, 71, Le<std::int32_t>(1, 2)},
        {Record(T::RangeFloat, &P::rangeFloat, ValueRangeFloat(0.5, 1.5)), 72, 72, Le(0.5f, 1.5f)},
        {Record(T::RangeFloat, &P::rangeFloat, ValueRangeFloat(0.5, 1.5)), 73, 73, Le(0.5, 1.5)},
    };
    for (const WriteCase& c : cases)
    {
        SCOPED_TRACE(::testing::Message()
                     << "type " << static_cast<unsigned>(c.value.type) << " to code " << c.kpxCode);
        Value out;
        ASSERT_EQ(KpxLibTypeConverter::ToKpxValue(c.value, out, c.kpxCode), Success);
        EXPECT_EQ(out.GetType(), c.code);
        EXPECT_EQ(Bytes(out.GetBytes().begin(), out.GetBytes().end()), c.bytes);
    }
}

struct RefusalCase
{
    PropertyValue value;
    std::uint32_t kpxCode;
    ErrorCode result;
    const char* message;
    bool typed; // the out value carries the code (and no bytes)
};

// Catches: texts longer than their code takes sent cut (or over the block),
// record types sent to codes that cannot hold them, integers and floats sent
// as the bit pattern of another code, numbers cut to their code's width
// (refused naming the value and the code), and types without a conversion
// that touch the out value.
TEST(KpxLibTypeConverterTest, WhatCannotBeWrittenIsRefusedWithItsCode)
{
    using T = PropertyType;
    const std::vector<RefusalCase> cases{
        {PropertyValue(std::string(256, 'x')), 23, PropertySetFailed,
         "Strings longer than 255 bytes are not supported", false},
        {PropertyValue(std::string(256, 'x')), 20, PropertySetFailed,
         "Strings longer than 255 bytes are not supported", false},
        {PropertyValue(std::string(32, 'x')), 21, PropertySetFailed,
         "Strings longer than 31 bytes are not supported", false},
        {PropertyValue(std::string(80, 'x')), 22, PropertySetFailed,
         "Strings longer than 79 bytes are not supported", false},
        {Typed(T::AreaFloat, 0), 38, SdkNotYetImplemented, "SetPropertyValue: Unsupported AreaFloat type",
         true},
        {Typed(T::ColorArgbFloat, 0), 30, SdkNotYetImplemented, "SetPropertyValue: Unsupported color type",
         true},
        {Typed(T::RangeInt, 0), 72, SdkNotYetImplemented, "SetPropertyValue: Unsupported range type", true},
        {Typed(T::RangeFloat, 0), 70, SdkNotYetImplemented, "SetPropertyValue: Unsupported rangeFloat type",
         true},
        {PropertyValue(1), 37, SdkNotYetImplemented, "SetPropertyValue: Unsupported integer type", true},
        {PropertyValue(1u), 23, SdkNotYetImplemented, "SetPropertyValue: Unsupported integer type", true},
        {PropertyValue(1.5), 54, SdkNotYetImplemented, "SetPropertyValue: Unsupported float type", true},
        {PropertyValue(1), 9, SdkNotYetImplemented, "SetPropertyValue: Unsupported integer type", true},
        {PropertyValue(1u), 0, SdkNotYetImplemented, "SetPropertyValue: Unsupported integer type", true},
        {PropertyValue(1.5), 5, SdkNotYetImplemented, "SetPropertyValue: Unsupported float type", true},
        {PropertyValue(261), 1, PropertySetFailed,
         "SetPropertyValue: Int32 value 261 does not fit the property's KPX type 1 (signed 8-bit integer)",
         false},
        {Typed(T::UInt32, -1), 6, PropertySetFailed,
         "SetPropertyValue: UInt32 value 18446744073709551615 does not fit the property's KPX type 6 "
         "(unsigned 32-bit integer)",
         false},
        {Typed(T::Time, 0x100000007ll), 13, PropertySetFailed,
         "SetPropertyValue: Time value 4294967303 does not fit the property's KPX type 13 (32-bit time)",
         false},
        {Typed(T::Enum, 0x100000000ll), 6, PropertySetFailed,
         "SetPropertyValue: Enum value 4294967296 does not fit the property's KPX type 11 (32-bit "
         "enumeration index)",
         false},
        {PropertyValue(1e300), 9, PropertySetFailed,
         "SetPropertyValue: Float64 value 1e+300 does not fit the property's KPX type 9 (32-bit float)",
         false},
        {Record(T::RangeInt, &PropertyValue::range, ValueRange(0, 0x100000000ll)), 71, PropertySetFailed,
         "SetPropertyValue: Range(Int) maximum 4294967296 does not fit the property's KPX type 71 (range of "
         "unsigned 32-bit integers)",
         false},
        {Record(T::AreaFloat, &PropertyValue::areaFloat, ValueAreaFloat(1.0, -1e39)), 36, PropertySetFailed,
         "SetPropertyValue: Area(Float) height -1e+39 does not fit the property's KPX type 36 (area of "
         "32-bit "
         "floats)",
         false},
        {Typed(T::Unknown, 1), 5, PropertyTypeNotConvertible, "", false},
        {Typed(static_cast<T>(10), 1), 5, PropertyTypeNotConvertible, "", false},
        {Typed(static_cast<T>(14), 1), 5, PropertyTypeNotConvertible, "", false},
        {Typed(static_cast<T>(22), 1), 5, PropertyTypeNotConvertible, "", false},
    };
    for (const RefusalCase& c : cases)
    {
        SCOPED_TRACE(::testing::Message()
                     << "type " << static_cast<unsigned>(c.value.type) << " to code " << c.kpxCode);
        Value out(99, "\x01\x02", 2);
        EXPECT_EQ(KpxLibTypeConverter::ToKpxValue(c.value, out, c.kpxCode), c.result);
        EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), c.message);
        EXPECT_EQ(out.GetType(), c.typed ? c.kpxCode : 99u);
        EXPECT_EQ(out.GetSize(), c.typed ? 0u : 2u);
    }
    SdkLogCapture log;
    Value out;
    EXPECT_EQ(KpxLibTypeConverter::ToKpxValue(PropertyValue(std::string(256, 'x')), out, 23),
              PropertySetFailed);
    EXPECT_EQ(log.Count("KPX strings cannot be longer than 255 bytes (not counting termination character)"),
              1);
    EXPECT_EQ(KpxLibTypeConverter::ToKpxValue(PropertyValue(std::string(255, 'x')), out, 23), Success);
    EXPECT_EQ(out.GetSize(), 256u);
}

// Run under asan: catches any public type, with any KPX code a property may
// report, that reads or writes out of bounds, answers a code outside the
// documented ones, or builds a value its code's size does not describe (one
// the reverse conversion would then read past).
TEST(KpxLibTypeConverterTest, EveryPublicTypeAgainstEveryKpxCode)
{
    std::vector<std::uint32_t> codes;
    for (std::uint32_t code = 0; code <= 80; ++code)
    {
        codes.push_back(code);
    }
    codes.insert(codes.end(), {255u, 0x7FFFFFFFu, 0xFFFFFFFFu});
    for (std::uint32_t type = 0; type <= 23; ++type)
    {
        PropertyValue value = Stale();
        value.type = static_cast<PropertyType>(type);
        value.textValue = "text";
        for (const std::uint32_t code : codes)
        {
            SCOPED_TRACE(::testing::Message() << "type " << type << " to code " << code);
            Value out;
            const ErrorCode result = KpxLibTypeConverter::ToKpxValue(value, out, code);
            EXPECT_TRUE(result == Success || result == SdkNotYetImplemented ||
                        result == PropertyTypeNotConvertible || result == PropertySetFailed)
                << result;
            if (result != Success)
            {
                continue;
            }
            const std::uint64_t size = Value::SizeOfType(out.GetType());
            if (out.GetType() != 20 && size != 0)
            {
                EXPECT_EQ(out.GetSize(), size);
            }
            PropertyValue back;
            try
            {
                const ErrorCode read = KpxLibTypeConverter::FromKpxValue(out, back);
                EXPECT_TRUE(read == Success || read == PropertyTypeNotConvertible) << read;
            }
            catch (const Q7::Universal::ModuleError& error)
            {
                ADD_FAILURE() << "a value built for code " << out.GetType()
                              << " does not read back: " << std::hex << error.GetFullCode();
            }
        }
    }
}

// Catches user levels mapped wrongly (0 is the public 5) and an unknown one
// passed through.
TEST(KpxLibTypeConverterTest, UserLevelsTextsAndLiveViewWords)
{
    EXPECT_EQ(KpxLibTypeConverter::UserLevel(0), 5);
    EXPECT_EQ(KpxLibTypeConverter::UserLevel(10), 10);
    EXPECT_EQ(KpxLibTypeConverter::UserLevel(11), 11);
    EXPECT_EQ(KpxLibTypeConverter::UserLevel(20), 20);
    SdkLogCapture log;
    EXPECT_EQ(KpxLibTypeConverter::UserLevel(15), 0);
    EXPECT_EQ(log.Count("Un-supported KPX UserLevel (15) for property"), 1);

    EXPECT_EQ(KpxLibTypeConverter::FromKpxString(std::string("abc\0\0", 5)), "abc");
    EXPECT_EQ(KpxLibTypeConverter::FromKpxString(std::string("a\0b\0", 4)), std::string("a\0b", 3));
    EXPECT_EQ(KpxLibTypeConverter::FromKpxString(std::string("\0\0", 2)), "");
    EXPECT_EQ(KpxLibTypeConverter::FromKpxString(""), "");

    const ValueRect rect{-1, 2, 3000, 2000};
    EXPECT_EQ(KpxLibTypeConverter::ToKpxRect(rect),
              (std::array<std::uint32_t, 4>{0xFFFFFFFFu, 2, 3000, 2000}));
    EXPECT_EQ(KpxLibTypeConverter::FromKpxRect(KpxLibTypeConverter::ToKpxRect(rect)), rect);
    EXPECT_EQ(KpxLibTypeConverter::ToKpxPoint({-5, 7}), (std::array<std::uint32_t, 2>{0xFFFFFFFBu, 7}));
}

} // namespace
