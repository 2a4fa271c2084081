// What a simulated camera is: its device information and the channels it
// offers, with the open-handshake parameters of each channel.
#pragma once

#include "SimWire.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Q7::Sim
{

// Transport types of a channel-list entry.
inline constexpr std::uint8_t kTransportUsb = 1;
inline constexpr std::uint8_t kTransportTcp = 2;

// One channel the camera serves.
struct ChannelConfig
{
    ChannelId id;
    // Message protocol versions the camera speaks on this channel, ascending.
    // The OpenReply picks from these (the host's request when listed).
    std::vector<Version> versions{{1, 0}};
    // Major-version range announced in the channel list; by default the lowest
    // and highest major of `versions`. A legacy camera announces 0 to 11.
    std::optional<std::uint8_t> listedLowestMajor;
    std::optional<std::uint8_t> listedHighestMajor;
    std::uint32_t flags = 0;
    // Transport type written into the channel list (2 TCP, 1 USB: then the USB
    // endpoint and burst-IN flag are written); by default the transport the
    // host asks over.
    std::optional<std::uint8_t> transportType;
    // The bulk endpoint pair that carries the channel on USB, and whether the
    // host should read it with burst IN. By default as a host assumes for a
    // camera without a channel list: 4.2 on endpoint 2 with burst IN, every
    // other channel on endpoint 1.
    std::optional<std::uint8_t> usbEndpoint;
    std::optional<bool> usbBurstIn;
    // Port written into a TCP entry; by default the port of the connection that asked.
    std::optional<std::uint16_t> tcpPort;
    // Whether the channel appears in the channel-list reply. An unlisted channel
    // is still served when opened.
    bool listed = true;

    // OpenReply parameters.
    std::uint16_t maxPayloadLength = 0xFFFF;
    // High nibble: alignment exponent of packets sent to the camera; low nibble: second exponent.
    std::uint8_t alignment = 0x00;
    std::uint32_t primaryTimeout = 10000;
    std::uint32_t secondaryTimeout = 2000;
    bool debugMode = false;
    std::uint8_t channelProtocolVersion = 1;
    // How many connections may hold this channel open at once (0: no limit);
    // an open beyond it is refused with status 5.
    unsigned maxOpenConnections = 0;

    // Largest Data payload the camera itself sends on this channel, and the
    // alignment exponent it pads its own Data packets to.
    std::uint16_t sendPayloadLimit = 0xFFF0;
    std::uint8_t sendAlignmentExponent = 0;

    std::uint8_t LowestMajor() const;
    std::uint8_t HighestMajor() const;
    // The transport type the channel list reports over `transport`.
    std::uint8_t TransportTypeOver(std::uint8_t transport) const { return transportType.value_or(transport); }
    // The USB endpoint and burst-IN flag in effect (see above).
    std::uint8_t UsbEndpoint() const;
    bool UsbBurstIn() const;
    // The version the camera answers a request for `requested` with: the
    // requested one when listed, else the highest listed below it, else the
    // lowest listed. {1.0} when `versions` is empty.
    Version ChooseVersion(Version requested) const;
};

// The camera as a whole.
struct CameraDescription
{
    // Device information (the 288-byte reply on channel 0.0).
    std::uint8_t deviceType = 1;
    std::uint32_t deviceFlags = 0;
    std::uint8_t enumerationMajorLowest = 1;
    std::uint8_t enumerationMajorHighest = 2;
    std::uint32_t manufacturerId = 1;
    std::uint32_t modelId = 0x000120;
    std::uint32_t mountInterfaceId = 2;
    std::uint32_t hardwareRevision = 3;
    std::uint32_t hardwareConfig = 0x10;
    std::uint8_t firmwareMajor = 1;
    std::uint8_t firmwareMinor = 4;
    std::uint16_t firmwareBuild = 2107;
    // Sent in the firmware text field; empty leaves the host to format the number.
    std::string firmwareText = "1.04.2107 sim";
    // Texts are written into their fixed fields unterminated when they fill
    // them, so a host must cut each one a byte short.
    std::string manufacturerName = "Tavrin Simulated Cameras";
    std::string modelName = "TS-1 Simulator";
    std::string mountInterfaceName = "TS mount";
    std::string serialNumber = "SIM0000001";
    std::string additionalDescription = "Simulated camera for tests";

    // When set, the identity of every OpenRequest on channels other than 0.0
    // and 255.0 must be the SHA-256 of this text (32 zeros for an empty text),
    // else status 6. When unset, any identity is accepted.
    std::optional<std::string> authenticationCode;

    // Channels served, in channel-list order. 0.0 is always served even if missing here.
    std::vector<ChannelConfig> channels;

    // Packed firmware version: major << 24 | minor << 16 | build.
    std::uint32_t PackedFirmwareVersion() const;
    // The entry for a channel, or null.
    const ChannelConfig* FindChannel(ChannelId id) const;
    // The USB endpoint numbers that carry the channels, ascending.
    std::vector<std::uint8_t> UsbEndpoints() const;

    // A current camera: enumeration majors 1..2 and channels 0.0 (1.0, 2.0,
    // 2.1), 1.0 (1.0, 2.0), 2.0 (1.0, 1.1, 2.0), 3.0 (1.0), 4.1 and 4.2 (1.0),
    // 5.1 (1.0, 1.1, 1.2), 5.2 (1.0), 255.0 (1.0).
    static CameraDescription Default();
    // An older camera: enumeration majors 1..1, channel 0.0 speaks only 1.0, so
    // a host must use its default channel list without asking for one.
    static CameraDescription Older();
};

} // namespace Q7::Sim
