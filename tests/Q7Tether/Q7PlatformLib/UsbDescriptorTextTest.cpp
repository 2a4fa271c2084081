// Tests of the texts of the USB host backend: string descriptors from a
// device, device paths, and the process's choice of backend.

#include "Q7PlatformUsbHostBackend.h"
#include "Q7PlatformUsbStringDescriptor.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "Q7UniversalError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using Q7::Platform::Usb::DecodeLanguageIds;
using Q7::Platform::Usb::DecodeStringDescriptor;
using Q7::Platform::Usb::FormatDevicePath;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::ParseDevicePath;

namespace
{

struct StringDescriptorCase
{
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::optional<std::string> text;
};

void PrintTo(const StringDescriptorCase& c, std::ostream* out)
{
    *out << c.name;
}

class UsbStringDescriptorTest : public ::testing::TestWithParam<StringDescriptorCase>
{
};

// Catches: reading past bLength or past the bytes received, ASCII-only
// decoding of non-ASCII text, surrogate pairs split, lone surrogates or
// padding passed on, and non-string descriptors taken as text.
TEST_P(UsbStringDescriptorTest, DecodesUtf16TextWithinBothLengths)
{
    const StringDescriptorCase& c = GetParam();
    EXPECT_EQ(DecodeStringDescriptor(c.bytes), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbStringDescriptorTest,
    ::testing::Values(StringDescriptorCase{"Ascii", {8, 3, 'T', 0, 'S', 0, '1', 0}, "TS1"},
                      StringDescriptorCase{"Latin", {6, 3, 0xE5, 0x00, 'x', 0}, "\xC3\xA5x"},
                      StringDescriptorCase{
                          "SurrogatePair", {6, 3, 0x3D, 0xD8, 0x37, 0xDE}, "\xF0\x9F\x98\xB7"},
                      StringDescriptorCase{"LoneSurrogate",
                                           {6, 3, 0x3D, 0xD8, 'a', 0},
                                           "\xEF\xBF\xBD"
                                           "a"},
                      StringDescriptorCase{"LengthBeyondBytesReceived", {200, 3, 'a', 0, 'b', 0}, "ab"},
                      StringDescriptorCase{"BytesBeyondLength", {4, 3, 'a', 0, 'b', 0}, "a"},
                      StringDescriptorCase{"OddLength", {5, 3, 'a', 0, 'b'}, "a"},
                      StringDescriptorCase{"ZeroPadded", {8, 3, 'a', 0, 0, 0, 'b', 0}, "a"},
                      StringDescriptorCase{"Empty", {2, 3}, ""},
                      StringDescriptorCase{"NotAStringDescriptor", {4, 2, 'a', 0}, std::nullopt},
                      StringDescriptorCase{"LengthBelowHeader", {1, 3, 'a', 0}, std::nullopt},
                      StringDescriptorCase{"Truncated", {8}, std::nullopt}),
    [](const ::testing::TestParamInfo<StringDescriptorCase>& p) { return std::string(p.param.name); });

TEST(UsbStringDescriptorTest, LanguageIdsComeInTheDevicesOrder)
{
    EXPECT_EQ(DecodeLanguageIds(std::vector<std::uint8_t>{6, 3, 0x09, 0x04, 0x07, 0x04}),
              (std::vector<std::uint16_t>{0x0409, 0x0407}));
    EXPECT_TRUE(DecodeLanguageIds(std::vector<std::uint8_t>{2, 3}).empty());
    EXPECT_TRUE(DecodeLanguageIds(std::vector<std::uint8_t>{4, 1, 0x09, 0x04}).empty());
}

// Catches: two spellings of one path (so equal devices compare unequal), or a
// path that names no location accepted.
TEST(UsbDevicePathTest, PathsRoundTripAndOnlyCanonicalPathsParse)
{
    const HostDeviceLocation deep{3, {1, 2, 3, 4, 5, 6, 7}, 127};
    for (const auto& [location, interfaceNumber, text] :
         std::vector<std::tuple<HostDeviceLocation, std::uint8_t, std::string>>{
             {{1, {4}, 17}, 0, "1-4@17:0"},
             {{2, {1, 3}, 5}, 2, "2-1.3@5:2"},
             {deep, 255, "3-1.2.3.4.5.6.7@127:255"}})
    {
        EXPECT_EQ(FormatDevicePath(location, interfaceNumber), text);
        const auto parts = ParseDevicePath(text);
        ASSERT_TRUE(parts.has_value()) << text;
        EXPECT_EQ(parts->location, location);
        EXPECT_EQ(parts->interfaceNumber, interfaceNumber);
    }
    for (const char* bad : {"", "1-4@17", "1@17:0", "01-4@17:0", "1-04@17:0", "1-4@017:0", "1-4@17:00",
                            "0-4@17:0", "1-0@17:0", "1-4@0:0", "1-4@128:0", "1-4@17:256", "256-4@17:0",
                            "1-4.@17:0", "1-1.2.3.4.5.6.7.8@2:0", "1-4@17:0 ", "+1-4@17:0", "1-4@17:-0"})
    {
        EXPECT_FALSE(ParseDevicePath(bad).has_value()) << bad;
    }
}

// Catches a second backend accepted after the first choice, which would leave
// monitors and devices on different buses. Runs in a process of its own: the
// choice is made once per process.
TEST(UsbHostBackendChoiceDeathTest, BackendIsChosenOncePerProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto bus = std::make_unique<Q7::Platform::Usb::VirtualUsbBus>();
            Q7::Platform::Usb::HostBackend* const installed = bus.get();
            Q7::Platform::Usb::InstallHostBackend(std::move(bus));
            bool refused = false;
            try
            {
                Q7::Platform::Usb::InstallHostBackend(std::make_unique<Q7::Platform::Usb::VirtualUsbBus>());
            }
            catch (const Q7::Universal::ModuleError& error)
            {
                refused = error.GetFullCode() == Q7::Universal::kError_AlreadyInitialized;
            }
            std::exit(refused && &Q7::Platform::Usb::GetHostBackend() == installed ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
