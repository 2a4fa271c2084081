// Fuzzes the decoders of USB string descriptors with the bytes a device could
// answer: the text must come out as valid UTF-8 without NUL, no longer than the
// units it was made of, and turn back into the device's units wherever these
// were well-formed UTF-16.
#include "FuzzEntry.h"

#include "Q7PlatformUsbStringDescriptor.h"
#include "Q7UniversalUnicode.h"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

using namespace Q7::Platform::Usb;
namespace Unicode = Q7::Universal::Unicode;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    const std::vector<std::uint16_t> languages = DecodeLanguageIds(bytes);
    const auto text = DecodeStringDescriptor(bytes);
    TAVRIN_FUZZ_CHECK(text.has_value() == (size >= 2 && data[0] >= 2 && data[1] == kStringDescriptorType));
    if (!text)
    {
        TAVRIN_FUZZ_CHECK(languages.empty());
        return 0;
    }
    // The units the device sent, up to the first NUL.
    const std::size_t covered = std::min<std::size_t>(size, data[0]);
    TAVRIN_FUZZ_CHECK(languages.size() == (covered - 2) / 2);
    std::u16string units;
    for (const std::uint16_t unit : languages)
    {
        if (unit == 0)
            break;
        units.push_back(static_cast<char16_t>(unit));
    }
    TAVRIN_FUZZ_CHECK(text->size() <= 3 * units.size());

    std::u16string again;
    bool wellFormed = true;
    for (std::size_t i = 0; i < units.size();)
    {
        char32_t cp = 0;
        bool valid = false;
        i += Unicode::DecodeUtf16(units.data() + i, units.size() - i, cp, valid);
        wellFormed = wellFormed && valid;
    }
    for (std::size_t i = 0; i < text->size();)
    {
        char32_t cp = 0;
        bool valid = false;
        i += Unicode::DecodeUtf8(reinterpret_cast<const unsigned char*>(text->data()) + i, text->size() - i,
                                 cp, valid);
        TAVRIN_FUZZ_CHECK(valid && cp != 0);
        char16_t encoded[2];
        again.append(encoded, Unicode::EncodeUtf16(cp, encoded));
    }
    TAVRIN_FUZZ_CHECK(!wellFormed || again == units);
    return 0;
}
