#include "Agents/ImageTransfer/KPXLiveViewMessages.h"

#include <algorithm>

namespace Q7::KPX::LiveView
{
namespace
{

constexpr MessageSizeRow kRequestSizes[] = {{{1, 0}, 16}};
constexpr MessageSizeRow kConfigurationSizes[] = {{{1, 0}, 56}, {{1, 1}, 56}, {{1, 2}, 60}};
constexpr MessageSizeRow kCapabilitiesSizes[] = {{{1, 0}, 56}, {{1, 2}, 56}};
constexpr MessageSizeRow kControlSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kTimeSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kWhiteBalancePointSizes[] = {{{1, 0}, 24}};

constexpr ProtocolVersion kVersion11{1, 1};
constexpr ProtocolVersion kVersion12{1, 2};

MessageBytes MakeRequest(ProtocolVersion version, std::uint8_t type)
{
    CheckMessageVersion(version);
    RequestMessage message = WithFixedSize(RequestMessage{}, GetRequestMessageSize(version));
    message.header.messageType = type;
    return EncodeMessage(message);
}

} // namespace

Capabilities::Capabilities()
{
    MakeNotAvailable(minCompQuality, "minCompQuality");
    MakeNotAvailable(maxCompQuality, "maxCompQuality");
}

Configuration::Configuration()
{
    MakeNotAvailable(configID, "configID");
    MakeNotAvailable(compQuality, "compQuality");
}

std::uint16_t GetRequestMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kRequestSizes, 16, version);
}

std::uint16_t GetConfigurationMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kConfigurationSizes, 56, version);
}

std::uint16_t GetCapabilitiesMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kCapabilitiesSizes, 56, version);
}

std::uint16_t GetControlMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kControlSizes, 20, version);
}

std::uint16_t GetTimeMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kTimeSizes, 20, version);
}

std::uint16_t GetWhiteBalancePointMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kWhiteBalancePointSizes, 24, version);
}

CapabilitiesMessage MakeDefaultCapabilitiesReply(ProtocolVersion version) noexcept
{
    return WithFixedSize(CapabilitiesMessage{}, GetCapabilitiesMessageSize(version));
}

ConfigurationMessage MakeDefaultConfigurationReply(ProtocolVersion version) noexcept
{
    ConfigurationMessage message =
        WithFixedSize(ConfigurationMessage{}, GetConfigurationMessageSize(version));
    message.header.messageType = kLiveViewMessage_ConfigurationReply;
    return message;
}

ControlMessage MakeDefaultControlReply(ProtocolVersion version) noexcept
{
    ControlMessage message = WithFixedSize(ControlMessage{}, GetControlMessageSize(version));
    message.header.messageType = kLiveViewMessage_ControlReply;
    return message;
}

TimeMessage MakeDefaultTimeReply(ProtocolVersion version) noexcept
{
    return WithFixedSize(TimeMessage{}, GetTimeMessageSize(version));
}

Capabilities ToCapabilities(const CapabilitiesMessage& message, ProtocolVersion version)
{
    Capabilities record;
    record.flags = message.flags;
    record.sourceAreaWidth = message.sourceAreaWidth;
    record.sourceAreaHeight = message.sourceAreaHeight;
    record.maxDimension = message.maxDimension;
    record.qualityMin = std::min(message.quality[0], message.quality[1]);
    record.qualityMax = std::max(message.quality[0], message.quality[1]);
    record.lightnessMin = std::min(message.lightness[0], message.lightness[1]);
    record.lightnessMax = std::max(message.lightness[0], message.lightness[1]);
    record.formatMask = message.formatMask;
    record.colorMask = message.colorMask;
    record.jpeg = (message.formatMask & kFormatMask_Jpeg) != 0;
    if (!(version < kVersion12))
    {
        record.minCompQuality = {true, message.minCompQuality, {}};
        record.maxCompQuality = {true, message.maxCompQuality, {}};
    }
    return record;
}

Configuration ToConfiguration(const ConfigurationMessage& message, ProtocolVersion version)
{
    Configuration record;
    if (!(version < kVersion11))
        record.configID = {true, message.configID, {}};
    record.flags = message.flags;
    record.cropX = message.cropX;
    record.cropY = message.cropY;
    record.cropWidth = message.cropWidth;
    record.cropHeight = message.cropHeight;
    record.preferredMaxDimension = message.preferredMaxDimension;
    record.quality = message.quality;
    record.lightness = message.lightness;
    record.format = message.format;
    record.colorMode = message.colorMode;
    record.noDownsample = message.noDownsample;
    if (!(version < kVersion12))
        record.compQuality = {true, message.compQuality, {}};
    return record;
}

MessageBytes MakeGetCapabilitiesMessage(ProtocolVersion version)
{
    return MakeRequest(version, kLiveViewMessage_GetCapabilities);
}

MessageBytes MakeGetConfigurationMessage(ProtocolVersion version)
{
    return MakeRequest(version, kLiveViewMessage_GetConfiguration);
}

MessageBytes MakeGetControlMessage(ProtocolVersion version)
{
    return MakeRequest(version, kLiveViewMessage_GetControl);
}

MessageBytes MakeGetTimeMessage(ProtocolVersion version)
{
    return MakeRequest(version, kLiveViewMessage_GetTime);
}

MessageBytes MakeSetControlMessage(ProtocolVersion version, std::uint32_t control)
{
    CheckMessageVersion(version);
    ControlMessage message = WithFixedSize(ControlMessage{}, GetControlMessageSize(version));
    message.control = control <= kLiveViewState_Pause ? static_cast<std::uint8_t>(control) : 0;
    return EncodeMessage(message);
}

MessageBytes MakeSetConfigurationMessage(ProtocolVersion version, const Configuration& configuration)
{
    CheckMessageVersion(version);
    ConfigurationMessage message =
        WithFixedSize(ConfigurationMessage{}, GetConfigurationMessageSize(version));
    message.flags = configuration.flags;
    message.cropX = configuration.cropX;
    message.cropY = configuration.cropY;
    message.cropWidth = configuration.cropWidth;
    message.cropHeight = configuration.cropHeight;
    message.preferredMaxDimension = configuration.preferredMaxDimension;
    message.quality = configuration.quality;
    message.lightness = configuration.lightness;
    message.format = configuration.format;
    message.colorMode = configuration.colorMode;
    message.noDownsample = configuration.noDownsample;
    message.configID = version < kVersion11 ? 0 : configuration.configID.value;
    message.compQuality = configuration.compQuality.value; // beyond the 56 bytes below 1.2
    return EncodeMessage(message);
}

MessageBytes MakeSetWhiteBalancePointMessage(ProtocolVersion version, std::uint32_t x, std::uint32_t y)
{
    CheckMessageVersion(version);
    WhiteBalancePointMessage message =
        WithFixedSize(WhiteBalancePointMessage{}, GetWhiteBalancePointMessageSize(version));
    message.x = x;
    message.y = y;
    return EncodeMessage(message);
}

} // namespace Q7::KPX::LiveView
