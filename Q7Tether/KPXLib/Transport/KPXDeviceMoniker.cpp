#include "Transport/KPXDeviceMoniker.h"

#include "Q7UniversalError.h"

#include <sys/socket.h>

#include <cstdio>

namespace Q7::KPX::Transport
{

bool TcpMoniker::operator==(const TcpMoniker& other) const noexcept
{
    return name == other.name && host == other.host && address == other.address && port == other.port;
}

Q7::Universal::UniversalStringA TcpMoniker::GetAddressText() const
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                  (address >> 8) & 0xFFu, address & 0xFFu);
    Q7::Universal::UniversalStringA result;
    result.Assign(text);
    return result;
}

std::optional<Q7::Platform::SocketAddress> TcpMoniker::MakeSocketAddress() const
{
    if (address == 0)
    {
        return std::nullopt;
    }
    const uint32_t timeout = connectTimeoutSeconds > static_cast<uint32_t>(INT_MAX)
                                 ? static_cast<uint32_t>(INT_MAX)
                                 : connectTimeoutSeconds;
    return Q7::Platform::SocketAddress(AF_INET, port, address, timeout);
}

bool DeviceMoniker::operator==(const DeviceMoniker& other) const noexcept
{
    if (type != other.type)
    {
        return false;
    }
    switch (type)
    {
    case kMonikerType_Usb:
        return usb.IsSameDevice(other.usb);
    case kMonikerType_Tcp:
        return tcp == other.tcp;
    default:
        Q7_REPORT_INTERNAL_ERROR_TEXT(L"Unknown type in KPX DeviceMoniker.");
        return false;
    }
}

} // namespace Q7::KPX::Transport
