// Channel 255.0 of the simulated camera, the development channel: every
// development message (class 0xFF) the host sends comes back as it was sent.
// Other messages get the common handling (a CommonError for unknown ones).
#pragma once

#include "SimMessageChannelHandler.h"

namespace Q7::Sim
{

class DevelopmentEchoHandler : public MessageChannelHandler
{
public:
    // A factory for channel 255.0.
    static ChannelHandlerFactory Factory();

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;
};

} // namespace Q7::Sim
