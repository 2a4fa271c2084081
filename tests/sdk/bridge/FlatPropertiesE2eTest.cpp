// Properties through the flat interface, end to end against a simulated
// camera: the group path of a specification, the order of SetPropertyValue's
// checks, the snapping of doubles to the value list (what reaches the camera,
// byte for byte), and the functions' behaviour without an object factory.

#include "BridgeTestSupport.h"

#include "FlatFunction.h"

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <regex>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Q7::Sim::SimProperty;
using Q7::Sim::SimValue;
using TestSupport::Typed;
namespace C = Q7::TavrinC;

constexpr std::uint32_t kDouble = 0x2001;         // f64 with a value list, grouped
constexpr std::uint32_t kReadOnly = 0x2002;       // u32, read-only
constexpr std::uint32_t kDisabled = 0x2003;       // u32, disabled
constexpr std::uint32_t kReadOnlyDouble = 0x2004; // f64, read-only
constexpr std::uint32_t kLongGroup = 0x2005;      // u32 whose group text is 65,535 bytes

constexpr double kEntry = 0.25;

std::string LongGroup()
{
    std::string group = "{0}" + std::string(30000, 'A') + "\\{1}";
    group += std::string(65535 - group.size(), 'b');
    return group;
}

void AddPropertyModel(Q7::Sim::DeviceControlModel& model)
{
    SimProperty grouped;
    grouped.id = kDouble;
    grouped.valueType = 10;
    grouped.descriptor.name = "Exposure bias";
    grouped.descriptor.group = "{0}Exposure\\{1}Advanced";
    grouped.descriptor.valueList = {SimValue::F64(0.1), SimValue::F64(kEntry), SimValue::F64(0.5)};
    grouped.value = SimValue::F64(0.1);
    model.AddProperty(grouped);
    SimProperty readOnly;
    readOnly.id = kReadOnly;
    readOnly.valueType = 6;
    readOnly.descriptor.name = "Shots";
    readOnly.stateFlags = Q7::Sim::kPropReadOnly;
    readOnly.value = SimValue::U32(4);
    model.AddProperty(readOnly);
    SimProperty disabled = readOnly;
    disabled.id = kDisabled;
    disabled.stateFlags = Q7::Sim::kPropDisabled;
    model.AddProperty(disabled);
    SimProperty readOnlyDouble = grouped;
    readOnlyDouble.id = kReadOnlyDouble;
    readOnlyDouble.stateFlags = Q7::Sim::kPropReadOnly;
    model.AddProperty(readOnlyDouble);
    SimProperty longGroup = readOnly;
    longGroup.id = kLongGroup;
    longGroup.stateFlags = 0;
    longGroup.descriptor.group = LongGroup();
    model.AddProperty(longGroup);
}

struct PropertyRig
{
    explicit PropertyRig(int address, bool factory = true,
                         const std::function<void(Q7::Sim::DeviceControlModel&)>& more = {})
    {
        AddPropertyModel(*camera.model);
        if (more)
        {
            more(*camera.model);
        }
        camera.Listen(Loopback(address));
        EXPECT_EQ(C::OpenSdk(), Success);
        if (factory)
        {
            EXPECT_EQ(C::RegisterDefaultFactory(), Success);
        }
        EXPECT_EQ(C::OpenIpCamera(id, Loopback(address).c_str(), nullptr, 5), Success)
            << C::GetErrorMessage();
    }

    std::uint64_t SetsSent() const
    {
        const Q7::Sim::DeviceControlStats stats = camera.model->Stats();
        return stats.setsApplied + stats.setsRefused;
    }
    std::vector<std::uint8_t> Bytes(std::uint32_t property) const
    {
        return camera.model->Find(property)->value.bytes;
    }

    SimulatedCamera camera;
    int id = 0;
};

PropertyValue Double(double value)
{
    return PropertyValue(value);
}

// Catches: a value within 1e-6 of an entry sent as typed rather than as the
// entry, a value 2e-6 away snapped anyway, and the group text left unrewritten.
TEST(FlatPropertiesE2eTest, DoublesSnapToTheirEntryAndGroupsReadAsPaths)
{
    InOwnProcess(
        [&]
        {
            PropertyRig rig(251);
            PropertySpecification specification;
            ASSERT_EQ(C::GetPropertySpecification(rig.id, kDouble, specification), Success);
            EXPECT_EQ(specification.group, "Exposure::Advanced");

            EXPECT_EQ(C::SetPropertyValue(rig.id, kDouble, Double(kEntry + 5e-7)), Success)
                << C::GetErrorMessage();
            ASSERT_TRUE(rig.camera.model->WaitUntil(
                [](const Q7::Sim::DeviceControlStats& s) { return s.setsApplied >= 1; }, 5s));
            EXPECT_EQ(rig.Bytes(kDouble), SimValue::F64(kEntry).bytes);

            EXPECT_EQ(C::SetPropertyValue(rig.id, kDouble, Double(kEntry + 2e-6)), Success)
                << C::GetErrorMessage();
            ASSERT_TRUE(rig.camera.model->WaitUntil(
                [](const Q7::Sim::DeviceControlStats& s) { return s.setsApplied >= 2; }, 5s));
            EXPECT_EQ(rig.Bytes(kDouble), SimValue::F64(kEntry + 2e-6).bytes);
        });
}

struct RefusedSet
{
    const char* name;
    std::uint32_t property;
    PropertyValue value;
    ErrorCode code;
    const char* message;
};

// Catches: checks run in another order (a read-only property of the wrong
// type must report the type), a refused value that still reaches the camera,
// and wrong codes or texts.
TEST(FlatPropertiesE2eTest, RefusedSetsReportInOrderAndSendNothing)
{
    InOwnProcess(
        [&]
        {
            PropertyRig rig(252);
            const RefusedSet cases[] = {
                {"wrong type before read-only", kReadOnlyDouble, PropertyValue(3), PropertyWrongType,
                 "PropertyValue is not the same Type as the Property"},
                {"integer for a double", kDouble, PropertyValue(3), PropertyWrongType,
                 "PropertyValue is not the same Type as the Property"},
                {"read-only", kReadOnly, PropertyValue(5U), PropertyReadOnly,
                 "Property is marked as read-only"},
                {"read-only double", kReadOnlyDouble, Double(kEntry), PropertyReadOnly,
                 "Property is marked as read-only"},
                {"disabled", kDisabled, PropertyValue(5U), PropertyDisabled, "Property is disabled"},
                {"unknown id", 0x7777, PropertyValue(5U), PropertyNotOnCamera,
                 "Could not find property with provided id"},
            };
            for (const RefusedSet& c : cases)
            {
                EXPECT_EQ(C::SetPropertyValue(rig.id, c.property, c.value), c.code) << c.name;
                EXPECT_STREQ(C::GetErrorMessage(), c.message) << c.name;
            }
            EXPECT_EQ(rig.SetsSent(), 0U);
        });
}

// ---------------------------------------------------------------- wire widths

constexpr std::uint32_t kWireBase = 0x2100;   // the property of KPX code c is kWireBase + c
constexpr std::uint32_t kRangedInt8 = 0x2180; // code 1, range -5..5
constexpr std::uint32_t kIso = 0x1001;        // the default model's ISO: u32, select-only

// A writable property of every code whose width a value can exceed, without a
// range or value list (the camera takes whatever the code holds), and a ranged
// 8-bit one.
void AddWireModel(Q7::Sim::DeviceControlModel& model)
{
    const std::pair<std::uint8_t, SimValue> codes[] = {
        {1, SimValue::I8(1)},
        {2, SimValue::U8(1)},
        {3, SimValue::I16(1)},
        {4, SimValue::U16(1)},
        {5, SimValue::I32(1)},
        {6, SimValue::U32(1)},
        {7, SimValue::I64(1)},
        {8, SimValue::U64(1)},
        {9, SimValue::F32(1.5F)},
        {10, SimValue::F64(1.5)},
        {11, SimValue::Raw(11, {1, 0, 0, 0})},
        {13, SimValue::Raw(13, {1, 0, 0, 0})},
        {14, SimValue::Raw(14, {1, 0, 0, 0, 0, 0, 0, 0})},
        {36, SimValue::Raw(36, std::vector<std::uint8_t>(8, 0))},
        {70, SimValue::Words(70, {1, 1})},
        {71, SimValue::Words(71, {1, 1})},
        {72, SimValue::Raw(72, std::vector<std::uint8_t>(8, 0))},
    };
    for (const auto& [code, value] : codes)
    {
        SimProperty property;
        property.id = kWireBase + code;
        property.valueType = code;
        property.descriptor.name = "Code " + std::to_string(code);
        property.value = value;
        model.AddProperty(property);
    }
    SimProperty ranged;
    ranged.id = kRangedInt8;
    ranged.valueType = 1;
    ranged.descriptor.name = "Fine tune";
    ranged.descriptor.minimum = SimValue::I8(-5);
    ranged.descriptor.maximum = SimValue::I8(5);
    ranged.value = SimValue::I8(0);
    model.AddProperty(ranged);
}

struct WireCase
{
    std::uint32_t property;
    PropertyValue value;
    std::vector<std::uint8_t> arrives; // sent: the bytes the camera holds once it handled it; empty: refused
    std::string named;                 // refused: how the message names the value
    std::uint32_t code = 0;            // refused: the KPX type the message names
};

// A value that the property's code holds, and the bytes the camera then holds.
WireCase Fits(std::uint32_t code, PropertyValue value, const SimValue& arrives)
{
    return WireCase{kWireBase + code, std::move(value), arrives.bytes, {}, 0};
}

// A value that the property's code cannot hold, and how the refusal names it.
WireCase Refused(std::uint32_t code, PropertyValue value, std::string named)
{
    return WireCase{kWireBase + code, std::move(value), {}, std::move(named), code};
}

template <typename Member>
PropertyValue Of(PropertyType type, Member PropertyValue::*member, Member value)
{
    return TestSupport::Record(type, member, value);
}

SimValue FloatWords(std::uint8_t code, float first, float second)
{
    return SimValue::Words(code, {std::bit_cast<std::uint32_t>(first), std::bit_cast<std::uint32_t>(second)});
}

// Catches values cut to their wire width and sent as if they fitted (261 to an
// 8-bit property arriving as 5, a 64-bit time or range member losing its high
// half, 1e300 going out as a float infinity), values that fit but do not
// arrive exactly, and refusals that still reach the camera: every integer
// code at both edges and one beyond each, through the flat SetPropertyValue,
// checked on the camera's side.
TEST(FlatPropertiesE2eTest, EveryWireWidthTakesWhatFitsExactlyAndRefusesTheRest)
{
    InOwnProcess(
        [&]
        {
            using T = PropertyType;
            using Limits32 = std::numeric_limits<std::int32_t>;
            using Limits64 = std::numeric_limits<std::int64_t>;
            constexpr std::int64_t k2p32 = std::int64_t{1} << 32;
            constexpr float kFloatMax = std::numeric_limits<float>::max();
            const double beyondFloat = std::nextafter(static_cast<double>(kFloatMax), 1e300);
            const std::vector<WireCase> cases{
                Fits(1, Typed(T::Int32, -128), SimValue::I8(-128)),
                Fits(1, Typed(T::Int32, 127), SimValue::I8(127)),
                Refused(1, Typed(T::Int32, -129), "Int32 value -129"),
                Refused(1, Typed(T::Int32, 128), "Int32 value 128"),
                Refused(1, Typed(T::Int32, 261), "Int32 value 261"),
                Fits(2, Typed(T::UInt32, 0), SimValue::U8(0)),
                Fits(2, Typed(T::UInt32, 255), SimValue::U8(255)),
                Refused(2, Typed(T::UInt32, 256), "UInt32 value 256"),
                Refused(2, Typed(T::UInt32, -1), "UInt32 value 18446744073709551615"),
                Fits(3, Typed(T::Int32, -32768), SimValue::I16(-32768)),
                Fits(3, Typed(T::Int32, 32767), SimValue::I16(32767)),
                Refused(3, Typed(T::Int32, -32769), "Int32 value -32769"),
                Refused(3, Typed(T::Int32, 32768), "Int32 value 32768"),
                Refused(3, Typed(T::Int32, 70000), "Int32 value 70000"),
                Fits(4, Typed(T::UInt32, 0), SimValue::U16(0)),
                Fits(4, Typed(T::UInt32, 65535), SimValue::U16(65535)),
                Refused(4, Typed(T::UInt32, 65536), "UInt32 value 65536"),
                Refused(4, Typed(T::UInt32, -1), "UInt32 value 18446744073709551615"),
                Fits(5, Typed(T::Int32, Limits32::min()), SimValue::I32(Limits32::min())),
                Fits(5, Typed(T::Int32, Limits32::max()), SimValue::I32(Limits32::max())),
                Refused(5, Typed(T::Int32, std::int64_t{Limits32::min()} - 1), "Int32 value -2147483649"),
                Refused(5, Typed(T::Int32, std::int64_t{Limits32::max()} + 1), "Int32 value 2147483648"),
                Fits(6, Typed(T::UInt32, 0), SimValue::U32(0)),
                Fits(6, Typed(T::UInt32, k2p32 - 1), SimValue::U32(0xFFFFFFFFU)),
                Refused(6, Typed(T::UInt32, k2p32), "UInt32 value 4294967296"),
                Refused(6, Typed(T::UInt32, -1), "UInt32 value 18446744073709551615"),
                // 64 bits: no value of the type lies beyond the code.
                Fits(7, Typed(T::Int64, Limits64::min()), SimValue::I64(Limits64::min())),
                Fits(7, Typed(T::Int64, Limits64::max()), SimValue::I64(Limits64::max())),
                Fits(8, Typed(T::UInt64, 0), SimValue::U64(0)),
                Fits(8, Typed(T::UInt64, -1), SimValue::U64(~std::uint64_t{0})),
                Fits(11, PropertyValue::CreateEnum(0), SimValue::Raw(11, {0, 0, 0, 0})),
                Fits(11, PropertyValue::CreateEnum(0xFFFFFFFFU), SimValue::Raw(11, {0xFF, 0xFF, 0xFF, 0xFF})),
                Refused(11, Typed(T::Enum, k2p32), "Enum value 4294967296"),
                Refused(11, Typed(T::Enum, -1), "Enum value 18446744073709551615"),
                Fits(13, Typed(T::Time, 0), SimValue::Raw(13, {0, 0, 0, 0})),
                Fits(13, Typed(T::Time, k2p32 - 1), SimValue::Raw(13, {0xFF, 0xFF, 0xFF, 0xFF})),
                Refused(13, Typed(T::Time, k2p32 + 7), "Time value 4294967303"),
                Refused(13, Typed(T::Time, -1), "Time value 18446744073709551615"),
                Fits(14, Typed(T::Time, 0), SimValue::Raw(14, std::vector<std::uint8_t>(8, 0))),
                Fits(14, Typed(T::Time, -1), SimValue::Raw(14, std::vector<std::uint8_t>(8, 0xFF))),
                Fits(9, PropertyValue(static_cast<double>(kFloatMax)), SimValue::F32(kFloatMax)),
                Fits(9, PropertyValue(-static_cast<double>(kFloatMax)), SimValue::F32(-kFloatMax)),
                Refused(9, PropertyValue(beyondFloat), "Float64 value 3.402823466385289e+38"),
                Refused(9, PropertyValue(1e300), "Float64 value 1e+300"),
                Refused(9, PropertyValue(-1e300), "Float64 value -1e+300"),
                Fits(10, PropertyValue(1e300), SimValue::F64(1e300)),
                Fits(10, PropertyValue(-1e300), SimValue::F64(-1e300)),
                Fits(70, Of(T::RangeInt, &PropertyValue::range, ValueRange(Limits32::min(), Limits32::max())),
                     SimValue::Words(70, {0x80000000U, 0x7FFFFFFFU})),
                Refused(
                    70,
                    Of(T::RangeInt, &PropertyValue::range, ValueRange(std::int64_t{Limits32::min()} - 1, 0)),
                    "Range(Int) minimum -2147483649"),
                Refused(
                    70,
                    Of(T::RangeInt, &PropertyValue::range, ValueRange(0, std::int64_t{Limits32::max()} + 1)),
                    "Range(Int) maximum 2147483648"),
                Fits(71, Of(T::RangeInt, &PropertyValue::range, ValueRange(0, k2p32 - 1)),
                     SimValue::Words(71, {0, 0xFFFFFFFFU})),
                Refused(71, Of(T::RangeInt, &PropertyValue::range, ValueRange(-1, 0)),
                        "Range(Int) minimum -1"),
                Refused(71, Of(T::RangeInt, &PropertyValue::range, ValueRange(0, k2p32)),
                        "Range(Int) maximum 4294967296"),
                Fits(36, Of(T::AreaFloat, &PropertyValue::areaFloat, ValueAreaFloat(kFloatMax, -kFloatMax)),
                     FloatWords(36, kFloatMax, -kFloatMax)),
                Refused(36, Of(T::AreaFloat, &PropertyValue::areaFloat, ValueAreaFloat(1e300, 1.0)),
                        "Area(Float) width 1e+300"),
                Fits(72,
                     Of(T::RangeFloat, &PropertyValue::rangeFloat, ValueRangeFloat(-kFloatMax, kFloatMax)),
                     FloatWords(72, -kFloatMax, kFloatMax)),
                Refused(72, Of(T::RangeFloat, &PropertyValue::rangeFloat, ValueRangeFloat(0.0, 1e300)),
                        "Range(Float) maximum 1e+300"),
                // The property's own range is the camera's to check: 6 goes out
                // and is refused there; 261 is refused before anything is sent.
                WireCase{kRangedInt8, Typed(T::Int32, 261), {}, "Int32 value 261", 1},
                WireCase{kRangedInt8, Typed(T::Int32, 5), SimValue::I8(5).bytes, {}, 0},
                WireCase{kRangedInt8, Typed(T::Int32, 6), SimValue::I8(5).bytes, {}, 0},
                WireCase{kIso, Typed(T::UInt32, k2p32 + 200), {}, "UInt32 value 4294967496", 6},
            };

            PropertyRig rig(244, true, AddWireModel);
            const auto setsHandled = [&]
            { return rig.camera.model->Stats().CountHandled(Q7::Sim::kDcSetPropValue); };
            std::size_t sent = 0;
            for (const WireCase& c : cases)
            {
                SCOPED_TRACE(::testing::Message()
                             << "property 0x" << std::hex << c.property << std::dec << ", "
                             << (c.arrives.empty() ? c.named : c.value.ToString()));
                const ErrorCode result = C::SetPropertyValue(rig.id, c.property, c.value);
                if (c.arrives.empty())
                {
                    EXPECT_EQ(result, PropertySetFailed);
                    const std::string message = C::GetErrorMessage();
                    const std::string expected =
                        c.named + " does not fit the property's KPX type " + std::to_string(c.code) + " (";
                    EXPECT_NE(message.find(expected), std::string::npos) << message;
                    continue;
                }
                ASSERT_EQ(result, Success) << C::GetErrorMessage();
                ++sent;
                // The camera handles the sets in order: once this one is
                // handled, every set sent before it is too.
                ASSERT_TRUE(rig.camera.model->WaitUntil(
                    [&](const Q7::Sim::DeviceControlStats& stats)
                    { return stats.CountHandled(Q7::Sim::kDcSetPropValue) >= sent; },
                    10s));
                EXPECT_EQ(setsHandled(), sent) << "a refused value reached the camera";
                EXPECT_EQ(rig.Bytes(c.property), c.arrives);
            }
            // The last set, handled after every refusal before it.
            ASSERT_EQ(C::SetPropertyValue(rig.id, kWireBase + 5, Typed(PropertyType::Int32, 42)), Success);
            ++sent;
            ASSERT_TRUE(
                rig.camera.model->WaitUntil([&](const Q7::Sim::DeviceControlStats& stats)
                                            { return stats.CountHandled(Q7::Sim::kDcSetPropValue) >= sent; },
                                            10s));
            EXPECT_EQ(rig.Bytes(kWireBase + 5), SimValue::I32(42).bytes);
            EXPECT_EQ(setsHandled(), sent) << "a refused value reached the camera";
        });
}

// Catches: the factory checks missing or with the wrong records:
// GetPropertyValue -4 with an empty message, GetPropertySpecification -4
// leaving the previous call's record in place, SetPropertyValue -4 with its
// text and nothing sent.
TEST(FlatPropertiesE2eTest, WithoutAFactoryPropertiesFailWithTheirRecords)
{
    InOwnProcess(
        [&]
        {
            PropertyRig rig(253, false);
            PropertyValue value;
            EXPECT_EQ(C::GetPropertyValue(rig.id, kReadOnly, value), SdkNoFactory);
            EXPECT_STREQ(C::GetErrorMessage(), "");

            bool open = false;
            EXPECT_EQ(C::IsCameraOpen(-5, open), Success);
            EXPECT_EQ(C::CloseCamera(-5), CameraNotOpen); // a known record before the next call
            PropertySpecification specification;
            EXPECT_EQ(C::GetPropertySpecification(rig.id, kDouble, specification), SdkNoFactory);
            EXPECT_EQ(C::GetErrorCode(), SdkNoFactory) << "the previous call's record left in place";
            EXPECT_STREQ(C::GetErrorMessage(), "");

            EXPECT_EQ(C::SetPropertyValue(rig.id, kDouble, Double(kEntry)), SdkNoFactory);
            EXPECT_STREQ(C::GetErrorMessage(), "No object factory has been initialized");
            EXPECT_EQ(rig.SetsSent(), 0U);
        });
}

// The scanner against the expression it replaces, over texts where the
// expression still runs (short ones), so the two agree on every match.
TEST(FlatGroupPathTest, MatchesTheExpressionLeftToRight)
{
    const std::regex expression(R"(\{\d+\}([\w\s\-/]+)\\?)", std::regex::ECMAScript);
    const char* texts[] = {
        "{0}Exposure\\{1}Advanced",
        "",
        "Exposure",
        "{0}",
        "{}Name",
        "{x}Name{2}Kept",
        "{12}a b\tc-d/e_f\\{3}g",
        "{0}{1}Second",
        "{0}First\\\\{1}Second",
        "{{0}Inner}",
        "{0}Caf\xc3\xa9\\{1}Bar",
        "pre{0}A.B{1}C",
        "{007}Zero-padded/ok\\",
        "{0}A\\{1}",
        "{1}Trailing{",
    };
    for (const char* text : texts)
    {
        const std::string subject = text;
        std::string expected;
        bool first = true;
        for (auto it = std::sregex_iterator(subject.begin(), subject.end(), expression);
             it != std::sregex_iterator(); ++it)
        {
            expected += (first ? "" : "::") + (*it)[1].str();
            first = false;
        }
        EXPECT_EQ(C::RewritePropertyGroup(subject), expected) << '"' << subject << '"';
    }
}

// Catches: a scanner that recurses or backtracks per character on the
// longest text a camera can send (u16 lengths).
TEST(FlatGroupPathTest, TheLongestGroupTextIsScannedInOnePass)
{
    const std::string group = LongGroup();
    ASSERT_EQ(group.size(), 65535U);
    EXPECT_EQ(C::RewritePropertyGroup(group),
              std::string(30000, 'A') + "::" + std::string(65535 - 30000 - 7, 'b'));
    EXPECT_EQ(C::RewritePropertyGroup(std::string(65535, '{')), "");
    EXPECT_EQ(C::RewritePropertyGroup("{" + std::string(65534, '1')), "");
}

} // namespace
