#include "SimCameraDescription.h"

#include <algorithm>

namespace Q7::Sim
{

// A host's channel list for a camera that sends none puts 4.2 (image data) on
// endpoint 2 with burst IN and the other channels on endpoint 1.
constexpr ChannelId kBurstChannel{4, 2};
constexpr std::uint8_t kBurstEndpoint = 2;
constexpr std::uint8_t kControlEndpoint = 1;

std::uint8_t ChannelConfig::UsbEndpoint() const
{
    return usbEndpoint.value_or(id == kBurstChannel ? kBurstEndpoint : kControlEndpoint);
}

bool ChannelConfig::UsbBurstIn() const
{
    return usbBurstIn.value_or(id == kBurstChannel);
}

std::uint8_t ChannelConfig::LowestMajor() const
{
    if (listedLowestMajor)
    {
        return *listedLowestMajor;
    }
    return versions.empty() ? 1 : std::min_element(versions.begin(), versions.end())->major;
}

std::uint8_t ChannelConfig::HighestMajor() const
{
    if (listedHighestMajor)
    {
        return *listedHighestMajor;
    }
    return versions.empty() ? 1 : std::max_element(versions.begin(), versions.end())->major;
}

Version ChannelConfig::ChooseVersion(Version requested) const
{
    if (versions.empty())
    {
        return {1, 0};
    }
    if (std::find(versions.begin(), versions.end(), requested) != versions.end())
    {
        return requested;
    }
    // A camera that cannot speak the requested version offers the best one it
    // has below it; a host asking below everything gets the camera's lowest,
    // which the host may then refuse.
    std::optional<Version> best;
    for (const auto& v : versions)
    {
        if (v < requested && (!best || *best < v))
        {
            best = v;
        }
    }
    return best ? *best : *std::min_element(versions.begin(), versions.end());
}

std::uint32_t CameraDescription::PackedFirmwareVersion() const
{
    return (std::uint32_t{firmwareMajor} << 24) | (std::uint32_t{firmwareMinor} << 16) | firmwareBuild;
}

const ChannelConfig* CameraDescription::FindChannel(ChannelId id) const
{
    for (const auto& c : channels)
    {
        if (c.id == id)
        {
            return &c;
        }
    }
    return nullptr;
}

std::vector<std::uint8_t> CameraDescription::UsbEndpoints() const
{
    std::vector<std::uint8_t> endpoints;
    for (const auto& c : channels)
    {
        endpoints.push_back(c.UsbEndpoint());
    }
    std::sort(endpoints.begin(), endpoints.end());
    endpoints.erase(std::unique(endpoints.begin(), endpoints.end()), endpoints.end());
    return endpoints;
}

namespace
{

ChannelConfig MakeChannel(std::uint8_t ch, std::uint8_t sub, std::vector<Version> versions)
{
    ChannelConfig c;
    c.id = {ch, sub};
    c.versions = std::move(versions);
    return c;
}

} // namespace

CameraDescription CameraDescription::Default()
{
    CameraDescription d;
    d.channels = {
        MakeChannel(0, 0, {{1, 0}, {2, 0}, {2, 1}}),
        MakeChannel(1, 0, {{1, 0}, {2, 0}}),
        MakeChannel(2, 0, {{1, 0}, {1, 1}, {2, 0}}),
        MakeChannel(3, 0, {{1, 0}}),
        MakeChannel(4, 1, {{1, 0}}),
        MakeChannel(4, 2, {{1, 0}}),
        MakeChannel(5, 1, {{1, 0}, {1, 1}, {1, 2}}),
        MakeChannel(5, 2, {{1, 0}}),
        MakeChannel(255, 0, {{1, 0}}),
    };
    return d;
}

CameraDescription CameraDescription::Older()
{
    CameraDescription d = Default();
    d.enumerationMajorLowest = 1;
    d.enumerationMajorHighest = 1;
    d.modelName = "TS-0 Simulator";
    d.firmwareMajor = 0;
    d.firmwareMinor = 9;
    d.firmwareBuild = 311;
    d.firmwareText.clear();
    d.channels = {
        MakeChannel(0, 0, {{1, 0}}), MakeChannel(1, 0, {{1, 0}, {2, 0}}), MakeChannel(2, 0, {{1, 0}}),
        MakeChannel(4, 1, {{1, 0}}), MakeChannel(4, 2, {{1, 0}}),
    };
    return d;
}

} // namespace Q7::Sim
