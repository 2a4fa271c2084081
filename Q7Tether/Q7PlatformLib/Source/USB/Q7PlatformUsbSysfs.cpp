#include "Q7PlatformUsbSysfs.h"

#include "Q7UniversalString.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <system_error>

namespace Q7::Platform::Usb::Sysfs
{

namespace
{

// Longest attribute read; sysfs attributes are one page at most.
constexpr std::size_t kMaxAttributeBytes = 4096;

// The whole text of a small attribute file without its final newline; none
// when the file cannot be opened or read.
std::optional<std::string> ReadAttribute(const std::string& directory, const char* name)
{
    const std::string path = directory + '/' + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return std::nullopt;
    }
    std::string text;
    char buffer[512];
    bool failed = false;
    while (text.size() < kMaxAttributeBytes)
    {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
        {
            continue;
        }
        if (count < 0)
        {
            failed = true;
            break;
        }
        if (count == 0)
        {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    if (failed)
    {
        return std::nullopt;
    }
    if (!text.empty() && text.back() == '\n')
    {
        text.pop_back();
    }
    return text;
}

// Reads an attribute holding one number in the given base, at most maximum.
template <typename T>
bool ReadNumber(const std::string& directory, const char* name, int base, unsigned maximum, T& value)
{
    const std::optional<std::string> text = ReadAttribute(directory, name);
    if (!text || text->empty())
    {
        return false;
    }
    unsigned number = 0;
    const char* const end = text->data() + text->size();
    const auto [next, error] = std::from_chars(text->data(), end, number, base);
    if (error != std::errc() || next != end || number > maximum)
    {
        return false;
    }
    value = static_cast<T>(number);
    return true;
}

// A device text (manufacturer, product, serial): empty when the device has
// none. Bytes that are not UTF-8 become U+FFFD.
std::string ReadText(const std::string& directory, const char* name)
{
    const std::optional<std::string> text = ReadAttribute(directory, name);
    if (!text)
    {
        return {};
    }
    const Q7::Universal::UniversalStringA clean =
        Q7::Universal::ToNarrow(Q7::Universal::FromNarrow(text->c_str()).c_str());
    return clean.c_str();
}

HostSpeed ReadSpeed(const std::string& directory)
{
    const std::optional<std::string> text = ReadAttribute(directory, "speed");
    if (!text)
    {
        return HostSpeed::kUnknown;
    }
    if (*text == "1.5")
    {
        return HostSpeed::kLow;
    }
    if (*text == "12")
    {
        return HostSpeed::kFull;
    }
    if (*text == "480")
    {
        return HostSpeed::kHigh;
    }
    if (*text == "5000")
    {
        return HostSpeed::kSuper;
    }
    if (*text == "10000" || *text == "20000")
    {
        return HostSpeed::kSuperPlus;
    }
    return HostSpeed::kUnknown;
}

// The names of the entries of a directory, sorted; empty when it cannot be read.
std::vector<std::string> EntryNames(const std::string& directory)
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error))
    {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool HasPrefix(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool ReadEndpoint(const std::string& directory, HostEndpointInfo& endpoint)
{
    std::uint16_t maxPacketSize = 0;
    if (!ReadNumber(directory, "bEndpointAddress", 16, 0xFF, endpoint.address) ||
        !ReadNumber(directory, "bmAttributes", 16, 0xFF, endpoint.attributes) ||
        !ReadNumber(directory, "wMaxPacketSize", 16, 0xFFFF, maxPacketSize))
    {
        return false;
    }
    endpoint.maxPacketSize = static_cast<std::uint16_t>(maxPacketSize & 0x7FF);
    return true;
}

bool ReadInterface(const std::string& directory, HostInterfaceInfo& interface)
{
    // The kernel adds the endpoint entries after the interface's own
    // attributes: an interface without its endpoint count, or with fewer
    // endpoints than it announces, is not complete.
    std::uint8_t announced = 0;
    if (!ReadNumber(directory, "bNumEndpoints", 16, 0xFF, announced) ||
        !ReadNumber(directory, "bInterfaceNumber", 16, 0xFF, interface.number) ||
        !ReadNumber(directory, "bInterfaceClass", 16, 0xFF, interface.interfaceClass) ||
        !ReadNumber(directory, "bInterfaceSubClass", 16, 0xFF, interface.interfaceSubClass) ||
        !ReadNumber(directory, "bInterfaceProtocol", 16, 0xFF, interface.interfaceProtocol))
    {
        return false;
    }
    for (const std::string& name : EntryNames(directory))
    {
        if (!HasPrefix(name, "ep_"))
        {
            continue;
        }
        HostEndpointInfo endpoint;
        if (!ReadEndpoint(directory + '/' + name, endpoint))
        {
            return false;
        }
        interface.endpoints.push_back(endpoint);
    }
    if (interface.endpoints.size() < announced)
    {
        return false;
    }
    std::sort(interface.endpoints.begin(), interface.endpoints.end(),
              [](const HostEndpointInfo& a, const HostEndpointInfo& b) { return a.address < b.address; });
    return true;
}

// Reads the entry of one device; none when it went away meanwhile.
std::optional<HostDeviceInfo> ReadDevice(const std::string& root, const std::string& name,
                                         const HostDeviceLocation& location)
{
    const std::string directory = root + '/' + name;
    HostDeviceInfo info;
    info.location = location;
    HostDeviceDescription& d = info.description;
    std::uint8_t busNumber = 0;
    if (!ReadNumber(directory, "busnum", 10, 0xFF, busNumber) ||
        !ReadNumber(directory, "devnum", 10, 0xFF, info.location.deviceAddress))
    {
        if (::access(directory.c_str(), F_OK) != 0)
        {
            return std::nullopt;
        }
        info.readError = "its bus number and address cannot be read";
        return info;
    }
    if (busNumber != location.busNumber)
    {
        info.readError = "its bus number does not match its name";
        return info;
    }
    if (!ReadNumber(directory, "idVendor", 16, 0xFFFF, d.vendorId) ||
        !ReadNumber(directory, "idProduct", 16, 0xFFFF, d.productId) ||
        !ReadNumber(directory, "bcdDevice", 16, 0xFFFF, d.deviceRelease) ||
        !ReadNumber(directory, "bDeviceClass", 16, 0xFF, d.deviceClass))
    {
        info.readError = "its device descriptor cannot be read";
        return info;
    }
    d.speed = ReadSpeed(directory);
    // Interfaces first, texts after them: the texts come with the device's
    // entry, its interfaces only later, so a device caught while it is being
    // added is not listed with its interfaces but without its texts.
    const std::string interfacePrefix = name + ':';
    for (const std::string& entry : EntryNames(directory))
    {
        if (!HasPrefix(entry, interfacePrefix))
        {
            continue;
        }
        HostInterfaceInfo interface;
        if (!ReadInterface(directory + '/' + entry, interface))
        {
            info.readError = "the descriptor of its interface " + entry + " cannot be read";
            return info;
        }
        d.interfaces.push_back(std::move(interface));
    }
    std::sort(d.interfaces.begin(), d.interfaces.end(),
              [](const HostInterfaceInfo& a, const HostInterfaceInfo& b) { return a.number < b.number; });
    d.manufacturer = ReadText(directory, "manufacturer");
    d.product = ReadText(directory, "product");
    d.serialNumber = ReadText(directory, "serial");
    return info;
}

bool LocationLess(const HostDeviceLocation& a, const HostDeviceLocation& b)
{
    if (a.busNumber != b.busNumber)
    {
        return a.busNumber < b.busNumber;
    }
    return a.portNumbers < b.portNumbers;
}

// The device entries under root with their locations, ordered by location.
std::vector<std::pair<HostDeviceLocation, std::string>> DeviceEntries(const std::string& root)
{
    std::vector<std::pair<HostDeviceLocation, std::string>> entries;
    for (std::string& name : EntryNames(root))
    {
        if (std::optional<HostDeviceLocation> location = ParseDeviceName(name))
        {
            entries.emplace_back(std::move(*location), std::move(name));
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return LocationLess(a.first, b.first); });
    return entries;
}

} // namespace

bool IsAvailable(const std::string& root)
{
    std::error_code error;
    std::filesystem::directory_iterator it(root, error);
    return !error;
}

std::optional<HostDeviceLocation> ParseDeviceName(std::string_view name)
{
    // "<bus>-<port>[.<port>...]" with decimal numbers 1-255 and no leading zeros.
    HostDeviceLocation location;
    bool first = true;
    while (true)
    {
        const std::size_t end = name.find_first_of(first ? "-" : ".");
        const std::string_view digits = name.substr(0, end);
        unsigned value = 0;
        const auto [next, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || digits[0] == '0' || error != std::errc() ||
            next != digits.data() + digits.size() || value > 255)
        {
            return std::nullopt;
        }
        if (first)
        {
            location.busNumber = static_cast<std::uint8_t>(value);
            if (end == std::string_view::npos)
            {
                return std::nullopt; // a bus number alone is no device
            }
            first = false;
        }
        else
        {
            if (location.portNumbers.size() == kMaxPortDepth)
            {
                return std::nullopt;
            }
            location.portNumbers.push_back(static_cast<std::uint8_t>(value));
            if (end == std::string_view::npos)
            {
                return location;
            }
        }
        name.remove_prefix(end + 1);
    }
}

std::vector<AttachedDevice> ScanDevices(const std::string& root)
{
    std::vector<AttachedDevice> devices;
    for (const auto& [location, name] : DeviceEntries(root))
    {
        const std::string directory = root + '/' + name;
        AttachedDevice device;
        device.location = location;
        if (ReadNumber(directory, "devnum", 10, 0xFF, device.location.deviceAddress) &&
            ReadNumber(directory, "idVendor", 16, 0xFFFF, device.vendorId) &&
            ReadNumber(directory, "idProduct", 16, 0xFFFF, device.productId))
        {
            if (std::optional<HostDeviceInfo> info = ReadDevice(root, name, location))
            {
                device.description = std::move(info->description);
                device.readError = std::move(info->readError);
            }
        }
        else
        {
            // Half there: once it goes (or is whole), the change is reported.
            device = AttachedDevice{};
            device.location = location;
            device.idsKnown = false;
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<HostDeviceInfo> ListDevices(const std::string& root)
{
    std::vector<HostDeviceInfo> devices;
    for (const auto& [location, name] : DeviceEntries(root))
    {
        if (std::optional<HostDeviceInfo> info = ReadDevice(root, name, location))
        {
            devices.push_back(std::move(*info));
        }
    }
    return devices;
}

std::optional<std::uint8_t> ReadDeviceAddress(const std::string& root, const HostDeviceLocation& location)
{
    std::uint8_t address = 0;
    if (!ReadNumber(root + '/' + location.PortPath(), "devnum", 10, 0xFF, address))
    {
        return std::nullopt;
    }
    return address;
}

} // namespace Q7::Platform::Usb::Sysfs
