#include "SimDevelopmentHandler.h"

namespace Q7::Sim
{

ChannelHandlerFactory DevelopmentEchoHandler::Factory()
{
    return [](ChannelId) { return std::make_unique<DevelopmentEchoHandler>(); };
}

bool DevelopmentEchoHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                       std::span<const std::uint8_t> message)
{
    if (header.messageClass != kClassDevelopment)
        return false;
    SendMessage(context, message);
    return true;
}

} // namespace Q7::Sim
