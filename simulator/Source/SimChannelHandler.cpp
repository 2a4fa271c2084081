#include "SimChannelHandler.h"

namespace Q7::Sim
{

void ChannelHandler::OnOpen(ChannelContext&) {}

void ChannelHandler::OnClose(ChannelContext&) {}

} // namespace Q7::Sim
