#include "UsbfsDescriptors.h"

#include <algorithm>
#include <stdexcept>

namespace Usbfs
{

using Q7::Platform::Usb::HostDeviceDescription;
using Q7::Platform::Usb::HostSpeed;

namespace
{

constexpr std::uint8_t kDeviceType = 1;
constexpr std::uint8_t kConfigurationType = 2;
constexpr std::uint8_t kStringType = 3;
constexpr std::uint8_t kInterfaceType = 4;
constexpr std::uint8_t kEndpointType = 5;
constexpr std::uint8_t kSuperSpeedCompanionType = 0x30;

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

bool IsSuperSpeed(HostSpeed speed)
{
    return speed == HostSpeed::kSuper || speed == HostSpeed::kSuperPlus;
}

// UTF-8 to UTF-16LE code units (the record's texts are valid UTF-8).
std::vector<std::uint16_t> Utf16(const std::string& text)
{
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < text.size();)
    {
        const auto byte = static_cast<unsigned char>(text[i]);
        const int extra = byte < 0x80 ? 0 : byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
        char32_t code = extra == 0 ? byte : byte & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k)
        {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (code >= 0x10000)
        {
            code -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
        }
        else
        {
            units.push_back(static_cast<std::uint16_t>(code));
        }
    }
    return units;
}

} // namespace

std::vector<std::uint8_t> DeviceDescriptor(const HostDeviceDescription& device)
{
    const bool super = IsSuperSpeed(device.speed);
    std::vector<std::uint8_t> out{18, kDeviceType};
    PutU16(out, super ? 0x0320 : 0x0200);              // bcdUSB
    out.insert(out.end(), {device.deviceClass, 0, 0}); // class, subclass, protocol
    out.push_back(super ? 9 : 64);                     // bMaxPacketSize0 (2^9 for SuperSpeed)
    PutU16(out, device.vendorId);
    PutU16(out, device.productId);
    PutU16(out, device.deviceRelease);
    out.push_back(device.manufacturer.empty() ? 0 : kManufacturerIndex);
    out.push_back(device.product.empty() ? 0 : kProductIndex);
    out.push_back(device.serialNumber.empty() ? 0 : kSerialNumberIndex);
    out.push_back(1); // bNumConfigurations
    return out;
}

std::vector<std::uint8_t> ConfigurationDescriptor(const HostDeviceDescription& device)
{
    const bool super = IsSuperSpeed(device.speed);
    std::vector<std::uint8_t> out{9,
                                  kConfigurationType,
                                  0,
                                  0,
                                  static_cast<std::uint8_t>(device.interfaces.size()),
                                  kConfigurationValue,
                                  0,
                                  0x80,
                                  super ? std::uint8_t{112} : std::uint8_t{250}};
    for (const auto& interface : device.interfaces)
    {
        out.insert(out.end(),
                   {9, kInterfaceType, interface.number, 0,
                    static_cast<std::uint8_t>(interface.endpoints.size()), interface.interfaceClass,
                    interface.interfaceSubClass, interface.interfaceProtocol, 0});
        for (const auto& endpoint : interface.endpoints)
        {
            out.insert(out.end(), {7, kEndpointType, endpoint.address, endpoint.attributes});
            PutU16(out, endpoint.maxPacketSize);
            out.push_back(0); // bInterval
            if (super)
            {
                out.insert(out.end(), {6, kSuperSpeedCompanionType, 0, 0, 0, 0});
            }
        }
    }
    if (out.size() > 0xFFFF)
    {
        throw std::length_error("configuration descriptor longer than 64 KiB");
    }
    out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<std::uint8_t>(out.size() >> 8);
    return out;
}

std::optional<std::vector<std::uint8_t>> StringDescriptor(const HostDeviceDescription& device,
                                                          std::uint8_t index, std::uint16_t language)
{
    if (index == 0)
    {
        std::vector<std::uint8_t> out{4, kStringType};
        PutU16(out, kLanguageId);
        return out;
    }
    const std::string* text = index == kManufacturerIndex   ? &device.manufacturer
                              : index == kProductIndex      ? &device.product
                              : index == kSerialNumberIndex ? &device.serialNumber
                                                            : nullptr;
    if (text == nullptr || text->empty() || language != kLanguageId)
    {
        return std::nullopt;
    }
    const std::vector<std::uint16_t> units = Utf16(*text);
    const std::size_t length = std::min<std::size_t>(2 + 2 * units.size(), 254);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(length), kStringType};
    for (std::size_t i = 0; out.size() < length; ++i)
    {
        PutU16(out, units[i]);
    }
    return out;
}

std::string SpeedText(HostSpeed speed)
{
    switch (speed)
    {
    case HostSpeed::kLow:
        return "1.5";
    case HostSpeed::kFull:
        return "12";
    case HostSpeed::kHigh:
        return "480";
    case HostSpeed::kSuper:
        return "5000";
    case HostSpeed::kSuperPlus:
        return "10000";
    case HostSpeed::kUnknown:
        break;
    }
    return "unknown";
}

int SpeedCode(HostSpeed speed)
{
    switch (speed)
    {
    case HostSpeed::kLow:
        return 1;
    case HostSpeed::kFull:
        return 2;
    case HostSpeed::kHigh:
        return 3;
    case HostSpeed::kSuper:
        return 5;
    case HostSpeed::kSuperPlus:
        return 6;
    case HostSpeed::kUnknown:
        break;
    }
    return 0;
}

} // namespace Usbfs
