// Channel 5 live-view control messages (class 0x69, sub-channel 5.1): the
// seven requests the live-view agent writes, the four replies the camera
// sends, and the two records they carry (capabilities and configuration) with
// their version-gated fields. Sizes and fields follow the version negotiated
// on 5.1 (1.0, 1.1 or 1.2). The frames themselves travel as data transfers
// (class 2) on 5.2.
//
// Each message lists its fields once (Fields), so its encoder and its decoder
// come from that one list. Everything here is pure and reentrant.
#pragma once

#include <cstdint>
#include <string>

#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX::LiveView
{

/// Message types of the live-view class.
enum EnumLiveViewMessageType : std::uint8_t
{
    kLiveViewMessage_GetCapabilities = 0x01,
    kLiveViewMessage_GetConfiguration = 0x02,
    kLiveViewMessage_SetConfiguration = 0x03,
    kLiveViewMessage_GetControl = 0x04,
    kLiveViewMessage_SetControl = 0x05,
    kLiveViewMessage_GetTime = 0x06,
    kLiveViewMessage_SetWhiteBalancePoint = 0x07,
    kLiveViewMessage_CapabilitiesReply = 0x81,
    kLiveViewMessage_ConfigurationReply = 0x83,
    kLiveViewMessage_ControlReply = 0x85,
    kLiveViewMessage_TimeReply = 0x86,
};

/// The live-view control state.
enum EnumLiveViewState : std::uint32_t
{
    kLiveViewState_Stop = 0,
    kLiveViewState_Start = 1,
    kLiveViewState_Pause = 2,
};

/// Capability flag: a white-balance point can be set.
inline constexpr std::uint32_t kCapability_WhiteBalancePoint = 0x1;
/// Format-mask bit that offers JPEG frames (the JPEG format code itself).
inline constexpr std::uint32_t kFormatMask_Jpeg = 0x10000;
/// Frame formats a configuration asks for.
inline constexpr std::uint32_t kFormat_Rgb24 = 1;
inline constexpr std::uint32_t kFormat_Jpeg = 0x10000;

/// A field that older protocol versions lack: absent, with the reason text
/// "<field> not available in this version".
template <typename T>
struct OptionalField
{
    bool present = false;
    T value{};
    std::string reason;

    friend bool operator==(const OptionalField&, const OptionalField&) = default;
};

/// Marks `field` absent with the reason text of `name`.
template <typename T>
void MakeNotAvailable(OptionalField<T>& field, const char* name)
{
    field.present = false;
    field.reason = std::string(name) + " not available in this version";
}

/// The camera's live-view capabilities.
struct Capabilities
{
    Capabilities();

    std::uint32_t flags = 0; ///< kCapability_WhiteBalancePoint
    std::uint32_t sourceAreaWidth = 0;
    std::uint32_t sourceAreaHeight = 0;
    std::uint32_t maxDimension = 0;
    float qualityMin = 0;
    float qualityMax = 0;
    float lightnessMin = 0;
    float lightnessMax = 0;
    std::uint32_t formatMask = 0; ///< kFormatMask_Jpeg offers JPEG
    std::uint32_t colorMask = 0;
    OptionalField<std::uint8_t> minCompQuality; ///< 1.2
    OptionalField<std::uint8_t> maxCompQuality; ///< 1.2
    bool jpeg = false;                          ///< bit 16 of the format mask

    friend bool operator==(const Capabilities&, const Capabilities&) = default;
};

/// A live-view configuration, the camera's or the host's wish.
struct Configuration
{
    Configuration();

    OptionalField<std::uint16_t> configID; ///< 1.1
    std::uint32_t flags = 0;
    std::uint32_t cropX = 0;
    std::uint32_t cropY = 0;
    std::uint32_t cropWidth = 0;
    std::uint32_t cropHeight = 0;
    std::uint32_t preferredMaxDimension = 0;
    float quality = 0;
    float lightness = 0;
    std::uint32_t format = 0; ///< kFormat_Rgb24, kFormat_Jpeg, ...
    std::uint8_t colorMode = 0;
    std::uint8_t noDownsample = 0;
    OptionalField<std::uint8_t> compQuality; ///< 1.2

    friend bool operator==(const Configuration&, const Configuration&) = default;
};

/// A request without payload (GetCapabilities, GetConfiguration, GetControl,
/// GetTime): the header alone.
struct RequestMessage
{
    static constexpr std::size_t kEncodedSize = 16;

    CommonMessageHeader header{kMessageMagic, kMessageClass_LiveView, 0, 16, 16, 0};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header);
    }
};

/// SetConfiguration (type 3) and the configuration reply (0x83): 56 bytes
/// before 1.2, 60 from 1.2 (the compression quality at 56).
struct ConfigurationMessage
{
    static constexpr std::size_t kEncodedSize = 60;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_LiveView, kLiveViewMessage_SetConfiguration, 60, 60, 0};
    std::uint32_t flags = 0;
    std::uint32_t cropX = 0;
    std::uint32_t cropY = 0;
    std::uint32_t cropWidth = 0;
    std::uint32_t cropHeight = 0;
    std::uint32_t preferredMaxDimension = 0;
    float quality = 0;
    float lightness = 0;
    std::uint32_t format = 0;
    std::uint8_t colorMode = 0;
    std::uint8_t noDownsample = 0;
    std::uint16_t configID = 0;
    std::uint8_t compQuality = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, flags, cropX, cropY, cropWidth, cropHeight, preferredMaxDimension, quality, lightness,
           format, colorMode, noDownsample, configID, compQuality, Padding<3>{});
    }
};

/// The capabilities reply (0x81), 56 bytes.
struct CapabilitiesMessage
{
    static constexpr std::size_t kEncodedSize = 56;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_LiveView, kLiveViewMessage_CapabilitiesReply, 56, 56, 0};
    std::uint32_t flags = 0;
    std::uint32_t sourceAreaWidth = 0;
    std::uint32_t sourceAreaHeight = 0;
    std::uint32_t maxDimension = 0;
    float quality[2] = {0, 0};
    float lightness[2] = {0, 0};
    std::uint32_t formatMask = 0;
    std::uint8_t colorMask = 0;
    std::uint8_t minCompQuality = 0;
    std::uint8_t maxCompQuality = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, flags, sourceAreaWidth, sourceAreaHeight, maxDimension, quality[0], quality[1],
           lightness[0], lightness[1], formatMask, colorMask, minCompQuality, maxCompQuality, Padding<1>{});
    }
};

/// SetControl (type 5) and the control reply (0x85), 20 bytes.
struct ControlMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{kMessageMagic, kMessageClass_LiveView, kLiveViewMessage_SetControl, 20, 20, 0};
    std::uint8_t control = 0; ///< EnumLiveViewState

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, control, Padding<3>{});
    }
};

/// The time reply (0x86), 20 bytes.
struct TimeMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{kMessageMagic, kMessageClass_LiveView, kLiveViewMessage_TimeReply, 20, 20, 0};
    std::uint32_t currentTime = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, currentTime);
    }
};

/// SetWhiteBalancePoint (type 7), 24 bytes.
struct WhiteBalancePointMessage
{
    static constexpr std::size_t kEncodedSize = 24;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_LiveView, kLiveViewMessage_SetWhiteBalancePoint, 24, 24, 0};
    std::uint32_t x = 0;
    std::uint32_t y = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, x, y);
    }
};

/// Size selectors: 16 for the header-only requests; configuration 56 (60 from
/// 1.2); capabilities 56; control and time 20; white-balance point 24.
std::uint16_t GetRequestMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetConfigurationMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetCapabilitiesMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetControlMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetTimeMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetWhiteBalancePointMessageSize(ProtocolVersion version) noexcept;

/// The pre-filled received replies for a version, over which the receiver
/// reads what the camera sent.
CapabilitiesMessage MakeDefaultCapabilitiesReply(ProtocolVersion version) noexcept;
ConfigurationMessage MakeDefaultConfigurationReply(ProtocolVersion version) noexcept;
ControlMessage MakeDefaultControlReply(ProtocolVersion version) noexcept;
TimeMessage MakeDefaultTimeReply(ProtocolVersion version) noexcept;

/// The records of the replies: ranges ordered, the JPEG flag from the mask;
/// from 1.2 both compression-quality bounds present, configID present from
/// 1.1 and compQuality from 1.2.
Capabilities ToCapabilities(const CapabilitiesMessage& message, ProtocolVersion version);
Configuration ToConfiguration(const ConfigurationMessage& message, ProtocolVersion version);

// Makers of the requests. Each raises ModuleError 0x15E001D "KPX feature not
// supported!" (plain) below 1.0.
MessageBytes MakeGetCapabilitiesMessage(ProtocolVersion version);
MessageBytes MakeGetConfigurationMessage(ProtocolVersion version);
MessageBytes MakeGetControlMessage(ProtocolVersion version);
MessageBytes MakeGetTimeMessage(ProtocolVersion version);
/// Sends 0, 1 or 2 as given and 0 for any other value.
MessageBytes MakeSetControlMessage(ProtocolVersion version, std::uint32_t control);
/// The record's configID goes to offset 54 from 1.1 (0 below), its
/// compQuality to 56 on 1.2, whether marked present or not.
MessageBytes MakeSetConfigurationMessage(ProtocolVersion version, const Configuration& configuration);
MessageBytes MakeSetWhiteBalancePointMessage(ProtocolVersion version, std::uint32_t x, std::uint32_t y);

} // namespace Q7::KPX::LiveView
