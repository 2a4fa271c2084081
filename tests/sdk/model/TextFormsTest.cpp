#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/PropertyValue.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

using namespace Q7::Tavrin;

namespace
{

// Value structures stay aggregates, so that callers can write {x, y, w, h}.
static_assert(std::is_aggregate_v<ValueRect> && std::is_aggregate_v<ValueAreaFloat> &&
              std::is_aggregate_v<ValueColorFloat> && std::is_aggregate_v<ValueRangeFloat>);
// A truth value must not slip in as an integer.
static_assert(!std::is_constructible_v<PropertyValue, bool>);

PropertyValue Make(PropertyType type)
{
    PropertyValue value;
    value.type = type;
    return value;
}

PropertyValue WithDisplay(PropertyValue value, const char* text)
{
    value.displayText = text;
    return value;
}

template <typename Member, typename T>
PropertyValue WithMember(PropertyType type, Member PropertyValue::*member, T content)
{
    PropertyValue value = Make(type);
    value.*member = content;
    return value;
}

struct TextCase
{
    const char* name;
    PropertyValue value;
    const char* typeString;
    const char* stringValue;
};

// Catches a wrong type name, a lost sign or width, a locale-dependent or
// over-precise double, a missing blank, or a display text that is ignored.
TEST(PropertyValueTextTest, TextFormsOfEveryType)
{
    const std::vector<TextCase> cases = {
        {"default", PropertyValue(), "(Unknown)", "?"},
        {"int -1", PropertyValue(-1), "Int32", "-1"},
        {"unsigned max", PropertyValue(4294967295u), "UInt32", "4294967295"},
        {"long", PropertyValue(-5L), "Int64", "-5"},
        {"long long", PropertyValue(-6LL), "Int64", "-6"},
        {"unsigned long", PropertyValue(7UL), "UInt64", "7"},
        {"unsigned long long max", PropertyValue(18446744073709551615ULL), "UInt64", "18446744073709551615"},
        {"double 1e7", PropertyValue(1e7), "Float64", "1e+07"},
        {"double six digits", PropertyValue(1234567.0), "Float64", "1.23457e+06"},
        {"double fraction", PropertyValue(0.1), "Float64", "0.1"},
        {"text", PropertyValue(std::string("text")), "String", "text"},
        {"null text", PropertyValue(static_cast<const char*>(nullptr)), "String", ""},
        {"enum", PropertyValue::CreateEnum(3), "Enum", "3"},
        {"bool true", WithMember(PropertyType::Bool, &PropertyValue::intValue, 2), "Bool", "True"},
        {"bool false", WithMember(PropertyType::Bool, &PropertyValue::intValue, 0), "Bool", "False"},
        {"bool with display text",
         WithDisplay(WithMember(PropertyType::Bool, &PropertyValue::intValue, 1), "On"), "Bool", "On"},
        {"time", WithMember(PropertyType::Time, &PropertyValue::intValue, -1), "Time",
         "18446744073709551615"},
        {"area", WithMember(PropertyType::AreaInt, &PropertyValue::area, ValueArea{640, 480}), "Area(Int)",
         "{ W: 640, H: 480 }"},
        {"area float",
         WithMember(PropertyType::AreaFloat, &PropertyValue::areaFloat, ValueAreaFloat{1.5, 2.25}),
         "Area(Float)", "{ W: 1.5, H: 2.25 }"},
        {"rect", WithMember(PropertyType::Rect, &PropertyValue::rect, ValueRect{1, 2, 3, 4}), "Rect",
         "{ X: 1, Y: 2, W: 3, H: 4 }"},
        {"argb",
         WithMember(PropertyType::ColorArgbFloat, &PropertyValue::color, ValueColorFloat{1, 0.5, 0.25, 0}),
         "ARGB(Float)", "{ A: 1, R: 0.5, G: 0.25, B: 0 }"},
        {"range", WithMember(PropertyType::RangeInt, &PropertyValue::range, ValueRange{1, 10}), "Range(Int)",
         " { min: 1, max: 10 }"},
        {"range float",
         WithMember(PropertyType::RangeFloat, &PropertyValue::rangeFloat, ValueRangeFloat{0.5, 1.5}),
         "Range(Float)", " { min: 0.5, max: 1.5 }"},
        {"point", WithMember(PropertyType::Point, &PropertyValue::point, ValuePoint{1, 2}), "(Unknown)", "?"},
        {"point with display text", WithDisplay(Make(PropertyType::Point), "here"), "(Unknown)", "here"},
        {"rgb", Make(PropertyType::ColorRgbFloat), "(Unknown)", "?"},
        {"code without meaning", Make(static_cast<PropertyType>(10)), "(Unknown)", "?"},
    };
    for (const TextCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value.TypeString(), c.typeString);
        EXPECT_EQ(c.value.StringValue(), c.stringValue);
        const std::string whole = std::string("(") + c.typeString + ") " + c.stringValue;
        EXPECT_EQ(c.value.ToString(), whole);
        std::ostringstream printed;
        printed << c.value;
        EXPECT_EQ(printed.str(), whole);
    }
}

// Catches constructors that pick the wrong type or extend the wrong way.
TEST(PropertyValueTextTest, ConstructorsSetTypeAndExtension)
{
    EXPECT_EQ(PropertyValue(-1).intValue, -1);
    EXPECT_EQ(PropertyValue(-1).IntegerAsU32(), 4294967295u);
    EXPECT_EQ(PropertyValue(4294967295u).intValue, 0xFFFFFFFFLL);
    EXPECT_EQ(PropertyValue(4294967295u).IntegerAsI32(), -1);
    EXPECT_EQ(PropertyValue(18446744073709551615ULL).IntegerAsI64(), -1);
    EXPECT_EQ(PropertyValue(2.5).intValue, 0);
    EXPECT_EQ(PropertyValue("abc").textValue, "abc");
    EXPECT_EQ(PropertyValue::CreateEnum(4294967295u).intValue, 0xFFFFFFFFLL);
}

struct EqualityCase
{
    const char* name;
    PropertyValue a;
    PropertyValue b;
    bool equal;
};

PropertyValue AreaFloatValue(double w, double h)
{
    return WithMember(PropertyType::AreaFloat, &PropertyValue::areaFloat, ValueAreaFloat{w, h});
}

PropertyValue RangeFloatValue(double min, double max)
{
    return WithMember(PropertyType::RangeFloat, &PropertyValue::rangeFloat, ValueRangeFloat{min, max});
}

// Catches comparisons that read the wrong member or width, a tolerance that is
// not strict, and a display text that takes part.
TEST(PropertyValueEqualityTest, ComparesTheMemberOfTheType)
{
    const double nan = std::nan("");
    const std::vector<EqualityCase> cases = {
        {"int32 upper bits ignored", WithMember(PropertyType::Int32, &PropertyValue::intValue, 0x100000005LL),
         PropertyValue(5), true},
        {"uint32 upper bits ignored",
         WithMember(PropertyType::UInt32, &PropertyValue::intValue, 0x700000005LL), PropertyValue(5u), true},
        {"int64 all bits", WithMember(PropertyType::Int64, &PropertyValue::intValue, 0x100000005LL),
         PropertyValue(5LL), false},
        {"different types", PropertyValue(5), PropertyValue(5u), false},
        {"enum", PropertyValue::CreateEnum(2), PropertyValue::CreateEnum(2), true},
        {"display text ignored", WithDisplay(PropertyValue(1), "one"), PropertyValue(1), true},
        {"double exact", PropertyValue(0.1), PropertyValue(0.1 + 1e-12), false},
        {"text", PropertyValue("a"), PropertyValue(std::string("a")), true},
        {"area float within", AreaFloatValue(0.0, 1.0), AreaFloatValue(0.0005, 1.0), true},
        {"area float at the tolerance", AreaFloatValue(0.0, 1.0), AreaFloatValue(0.001, 1.0), false},
        {"area float nan", AreaFloatValue(nan, 1.0), AreaFloatValue(nan, 1.0), false},
        {"range float within", RangeFloatValue(0.0, 1.0), RangeFloatValue(0.0, 1.0009), true},
        {"range float at the tolerance", RangeFloatValue(0.0, 0.0), RangeFloatValue(0.0, 0.001), false},
        {"argb nan",
         WithMember(PropertyType::ColorArgbFloat, &PropertyValue::color, ValueColorFloat{nan, 0, 0, 0}),
         WithMember(PropertyType::ColorArgbFloat, &PropertyValue::color, ValueColorFloat{nan, 0, 0, 0}),
         false},
        {"rect", WithMember(PropertyType::Rect, &PropertyValue::rect, ValueRect{1, 2, 3, 4}),
         WithMember(PropertyType::Rect, &PropertyValue::rect, ValueRect{1, 2, 3, 5}), false},
        {"range", WithMember(PropertyType::RangeInt, &PropertyValue::range, ValueRange{1, 2}),
         WithMember(PropertyType::RangeInt, &PropertyValue::range, ValueRange{1, 2}), true},
    };
    for (const EqualityCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.a != c.b, !c.equal);
    }
    // Types without a comparison throw, as two values of one type only.
    for (PropertyType type : {PropertyType::Unknown, PropertyType::Point, PropertyType::ColorRgbFloat,
                              static_cast<PropertyType>(22)})
    {
        try
        {
            (void)(Make(type) == Make(type));
            ADD_FAILURE() << "no exception for type " << static_cast<unsigned>(type);
        }
        catch (const std::logic_error& e)
        {
            EXPECT_STREQ(e.what(), "Unknown PropertyValue type - cannot compare!");
        }
    }
    EXPECT_FALSE(Make(PropertyType::Point) == PropertyValue(1));
}

PropertySpecification WithList(std::vector<PropertyValue> list)
{
    PropertySpecification specification;
    specification.valueList = std::move(list);
    return specification;
}

// text padded with blanks to the value list's narrowest column, 25.
std::string Pad(const std::string& text)
{
    return text + std::string(25 - text.size(), ' ');
}

const std::string kDefaultHead = "PropertySpecification:"
                                 "\n  ID:               4294967295"
                                 "\n  Name/String:      "
                                 "\n  Value:            ?"
                                 "\n  Type:             (Unknown)"
                                 "\n  Group:            "
                                 "\n  Read Only:        False"
                                 "\n  Description:      "
                                 "\n  Enabled:          True"
                                 "\n  User Level:       0"
                                 "\n  Select Only:      False"
                                 "\n  DisplayAsHex:     False"
                                 "\n  Refresh Required: False"
                                 "\n  Unit:             "
                                 "\n  Display Index:    0"
                                 "\n  Default:          ((Unknown)) ?"
                                 "\n  Range:            -"
                                 "\n  ValueList:        ";

// Catches a wrong label or default, the count's grammar, padding that is not
// 25 columns (or the longest entry), and an entry that prints its double.
TEST(PropertySpecificationTextTest, TextsOfTheSpecification)
{
    const std::string longEntry = "an entry text longer than the column";
    const std::vector<std::pair<PropertySpecification, std::string>> cases = {
        {PropertySpecification(), kDefaultHead + "0 entries"},
        {WithList({PropertyValue::CreateEnum(1)}),
         kDefaultHead + "1 entry {\n\t* " + Pad("(Enum) 1") + " ( 1 )\n }"},
        {WithList({PropertyValue::CreateEnum(1), PropertyValue::CreateEnum(2)}),
         kDefaultHead + "2 entries {\n\t* " + Pad("(Enum) 1") + " ( 1 )\n\t* " + Pad("(Enum) 2") +
             " ( 2 )\n }"},
        {WithList({PropertyValue(2.5)}),
         kDefaultHead + "1 entry {\n\t* " + Pad("(Float64) 2.5") + " ( 0 )\n }"},
        {WithList({PropertyValue(longEntry), PropertyValue(-4)}),
         kDefaultHead + "2 entries {\n\t* (String) " + longEntry + " ( 0 )\n\t* (Int32) -4" +
             std::string(longEntry.size() + 9 - 10, ' ') + " ( -4 )\n }"},
    };
    for (const auto& [specification, text] : cases)
    {
        EXPECT_EQ(specification.ToString(), text);
        std::ostringstream printed;
        printed << specification;
        EXPECT_EQ(printed.str(), text);
    }
}

// Catches a range printed while invalid, printers that force their own
// formatting or print the address of a USB camera, and a CameraInfo::Invalid
// (or default) that is not empty.
TEST(DescriptionTextTest, PrintersOfTheDescriptions)
{
    const auto print = [](const auto& value, std::ios_base& (*manipulator)(std::ios_base&) = std::dec)
    {
        std::ostringstream out;
        out << manipulator << value;
        return out.str();
    };
    EXPECT_EQ(print(PropertyRange{false, PropertyValue(1), PropertyValue(2)}), "-");
    EXPECT_EQ(print(PropertyRange{true, PropertyValue(0.5), WithDisplay(PropertyValue(2), "two")}),
              "(0.5, two)");
    EXPECT_EQ(print(CameraListElement{TetherConnection::Usb, "Cam", "SN1", "10.0.0.1", false}), "Cam (SN1)");
    EXPECT_EQ(print(CameraListElement{TetherConnection::Tcp, "Cam", "SN2", "10.0.0.2", true}),
              "[OPEN] Cam (SN2), 10.0.0.2");
    EXPECT_EQ(print(CameraListElement{TetherConnection::Usb3, "Cam", "SN3", "", true}), "[OPEN] Cam (SN3)");
    EXPECT_EQ(print(Version{3, 1, 8}), "3.1.8");
    EXPECT_EQ(print(ValuePoint{-1, 2}), "( -1 , 2 )");
    EXPECT_EQ(print(ValueArea{640, 480}), "( 640 , 480 )");
    EXPECT_EQ(print(ValueRect{1, 2, 3, 4}), "{ ( 1 , 2 ) , ( 3 , 4 ) }");
    EXPECT_EQ(print(ValueRect{10, 11, 12, 255}, std::hex), "{ ( a , b ) , ( c , ff ) }");
    for (const CameraInfo& info : {CameraInfo::Invalid, CameraInfo()})
    {
        EXPECT_TRUE(info.valid == 0 && info.connection == TetherConnection::Unknown && info.name.empty() &&
                    info.address.empty() && info.serialNumber.empty());
    }
}

// Catches texts that follow a locale the application set for the whole
// process (decimal comma, digit grouping).
TEST(DescriptionTextTest, TextsIgnoreTheProcessLocale)
{
    std::locale german;
    try
    {
        german = std::locale("de_DE.UTF-8");
    }
    catch (const std::runtime_error&)
    {
        GTEST_SKIP() << "no de_DE.UTF-8 locale";
    }
    const std::locale previous = std::locale::global(german);
    const std::string value = PropertyValue(1234.5).ToString();
    const std::string specification = PropertySpecification().ToString();
    std::locale::global(previous);
    EXPECT_EQ(value, "(Float64) 1234.5");
    EXPECT_NE(specification.find("ID:               4294967295"), std::string::npos);
}

} // namespace
