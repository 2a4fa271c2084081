// Properties through the flat interface, end to end against a simulated
// camera: the group path of a specification, the order of SetPropertyValue's
// checks, the snapping of doubles to the value list (what reaches the camera,
// byte for byte), and the functions' behaviour without an object factory.

#include "BridgeTestSupport.h"

#include "FlatFunction.h"

#include <regex>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Q7::Sim::SimProperty;
using Q7::Sim::SimValue;
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
    explicit PropertyRig(int address, bool factory = true)
    {
        AddPropertyModel(*camera.model);
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

// Catches: the factory checks missing or with the wrong records:
// GetPropertyValue -4 with an empty message, GetPropertySpecification -4
// recording nothing, SetPropertyValue -4 with its text and nothing sent; and
// the expert-mode switch, which needs no specification, refused.
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
            EXPECT_EQ(C::GetErrorCode(), CameraNotOpen) << "recorded nothing";

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
