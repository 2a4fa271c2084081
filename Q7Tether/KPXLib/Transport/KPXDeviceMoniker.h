#pragma once
// Device monikers: the plain values that name one KPX camera that can be opened,
// a USB device found by the enumeration or a camera address reached over TCP.
// The device manager lists them, transport devices are made from one and keep a
// copy. Monikers are copied, compared and destroyed by whoever holds them;
// reentrant (one object per thread at a time).

#include "Q7PlatformSocket.h"
#include "Q7PlatformUsbDeviceMoniker_Libusb.h"
#include "Q7UniversalString.h"

#include <cstdint>
#include <optional>

namespace Q7::KPX::Transport
{

/// The kinds of device a moniker names.
enum EnumMonikerType : uint32_t
{
    kMonikerType_Usb = 1,
    kMonikerType_Tcp = 2,
};

/// The camera port used when an address carries none.
inline constexpr uint16_t kDefaultTcpPort = 7381;

/// A camera reachable over TCP/IPv4.
struct TcpMoniker
{
    /// The name a static entry or a discovered service gives the camera (UTF-8).
    Q7::Universal::UniversalStringA name;
    /// The host name or address text as given or resolved (UTF-8).
    Q7::Universal::UniversalStringA host;
    /// IPv4 address in host order, first octet in the most significant byte.
    uint32_t address = 0;
    /// TCP port of the camera's first connection (the default pipe).
    uint16_t port = 0;
    /// Connect time-out in seconds; 0 connects without time-out.
    uint32_t connectTimeoutSeconds = 0;
    /// 1 for static entries and addresses built by the owner, 0 for discovered
    /// services. Informational; the transport does not read it.
    uint8_t isStatic = 0;

    /// Names, hosts (byte for byte), addresses and ports equal; the time-out and
    /// the flag are not compared.
    bool operator==(const TcpMoniker& other) const noexcept;
    bool operator!=(const TcpMoniker& other) const noexcept { return !(*this == other); }

    /// The address as "%u.%u.%u.%u", most significant octet first.
    Q7::Universal::UniversalStringA GetAddressText() const;

    /// The IPv4 socket address of the camera: address, port and connect time-out
    /// (time-outs beyond the socket's range are cut to it). None when the moniker
    /// carries no address (0.0.0.0, which would silently reach the local host).
    std::optional<Q7::Platform::SocketAddress> MakeSocketAddress() const;
};

/// Names one camera: a USB device (type 1) or a TCP camera (type 2). Only the part
/// that matches the type is filled; the other stays empty.
struct DeviceMoniker
{
    /// kMonikerType_Usb or kMonikerType_Tcp; any other value is invalid.
    uint32_t type = 0;
    /// The USB record (type 1): its device path names the device.
    Q7::Platform::Usb::DeviceMoniker_Libusb usb;
    /// The camera address (type 2).
    TcpMoniker tcp;

    /// False when the types differ. USB: equal device paths (two absent paths are
    /// equal). TCP: equal TcpMonikers. Any other type reports the internal error
    /// "Unknown type in KPX DeviceMoniker." (logged, not thrown) and gives false.
    bool operator==(const DeviceMoniker& other) const noexcept;
    bool operator!=(const DeviceMoniker& other) const noexcept { return !(*this == other); }
};

} // namespace Q7::KPX::Transport
