// Channel 0.0 of the simulated camera: answers GetDeviceInfo with the 288-byte
// device-information reply and GetChannelList with the channel list, both
// made from the camera's description.
#pragma once

#include "SimCameraDescription.h"
#include "SimMessageChannelHandler.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace Q7::Sim
{

inline constexpr std::uint8_t kEnumGetDeviceInfo = 0x01;
inline constexpr std::uint8_t kEnumGetChannelList = 0x02;
inline constexpr std::uint8_t kEnumDeviceInfoReply = 0x81;
inline constexpr std::uint8_t kEnumChannelListReply = 0x82;
inline constexpr std::size_t kDeviceInfoReplySize = 288;
inline constexpr std::size_t kChannelListHeaderSize = 20;
inline constexpr std::size_t kTcpDescriptorSize = 16;

// The device-information reply for a description. Texts that fill their field
// are written without a terminator. Reentrant.
std::vector<std::uint8_t> BuildDeviceInfoReply(const CameraDescription& description);
// The channel-list reply: every listed channel, as an entry of its own
// transport type or else of `transport` (the one the host asks over; TCP by
// default): TCP entries carry `port` unless the channel names its own, USB
// entries their endpoint and burst-IN flag. Reentrant.
std::vector<std::uint8_t> BuildChannelListReply(const CameraDescription& description, std::uint16_t port,
                                                std::uint8_t transport = kTransportTcp);

class EnumerationHandler : public MessageChannelHandler
{
public:
    // Changes a reply before it is sent, e.g. to make it malformed; a reply
    // left empty is not sent at all (a camera that stays silent).
    using ReplyMutator = std::function<void(std::vector<std::uint8_t>& reply)>;

    struct Options
    {
        ReplyMutator deviceInfoMutator;
        ReplyMutator channelListMutator;
    };

    explicit EnumerationHandler(Options options = {});

    // A factory for channel 0.0 with the given options.
    static ChannelHandlerFactory Factory(Options options = {});

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;

private:
    Options m_options;
};

} // namespace Q7::Sim
