#include "Q7PlatformUsbStringDescriptor.h"

#include "Q7UniversalUnicode.h"

#include <algorithm>

namespace Q7::Platform::Usb
{

namespace
{

// The UTF-16LE code units of a string descriptor: those covered both by bLength
// and by the bytes received. None when the header is not a string descriptor's.
std::optional<std::vector<char16_t>> StringDescriptorUnits(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 2 || bytes[0] < 2 || bytes[1] != kStringDescriptorType)
    {
        return std::nullopt;
    }
    const std::size_t covered = std::min<std::size_t>(bytes.size(), bytes[0]);
    const std::size_t unitCount = (covered - 2) / 2;
    std::vector<char16_t> units;
    units.reserve(unitCount);
    for (std::size_t i = 0; i < unitCount; ++i)
    {
        const std::size_t at = 2 + 2 * i; // at + 1 < covered <= bytes.size()
        units.push_back(static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8)));
    }
    return units;
}

} // namespace

std::optional<std::string> DecodeStringDescriptor(std::span<const std::uint8_t> bytes)
{
    const std::optional<std::vector<char16_t>> units = StringDescriptorUnits(bytes);
    if (!units)
    {
        return std::nullopt;
    }
    const std::size_t length =
        static_cast<std::size_t>(std::find(units->begin(), units->end(), u'\0') - units->begin());
    std::string text;
    std::size_t i = 0;
    while (i < length)
    {
        char32_t cp = 0;
        bool valid = false;
        i += Q7::Universal::Unicode::DecodeUtf16(units->data() + i, length - i, cp, valid);
        char utf8[4];
        text.append(utf8, Q7::Universal::Unicode::EncodeUtf8(cp, utf8));
    }
    return text;
}

std::vector<std::uint16_t> DecodeLanguageIds(std::span<const std::uint8_t> bytes)
{
    const std::optional<std::vector<char16_t>> units = StringDescriptorUnits(bytes);
    if (!units)
    {
        return {};
    }
    return std::vector<std::uint16_t>(units->begin(), units->end());
}

} // namespace Q7::Platform::Usb
