// Fuzzes the readers of USB location names: device paths (from a moniker, so
// from anywhere) and sysfs device entry names. Whatever they accept must be
// the one spelling that the library writes for that location.
#include "FuzzEntry.h"

#include "Q7PlatformUsbHostBackend.h"
#include "Q7PlatformUsbSysfs.h"

#include <string_view>

using namespace Q7::Platform::Usb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto parts = ParseDevicePath(text))
    {
        TAVRIN_FUZZ_CHECK(!parts->location.portNumbers.empty() &&
                          parts->location.portNumbers.size() <= kMaxPortDepth);
        TAVRIN_FUZZ_CHECK(FormatDevicePath(parts->location, parts->interfaceNumber) == text);
    }
    if (const auto location = Sysfs::ParseDeviceName(text))
    {
        TAVRIN_FUZZ_CHECK(!location->portNumbers.empty() && location->portNumbers.size() <= kMaxPortDepth);
        TAVRIN_FUZZ_CHECK(location->PortPath() == text);
    }
    return 0;
}
