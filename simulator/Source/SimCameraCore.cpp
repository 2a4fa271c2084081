#include "SimCameraCore.h"

#include "SimDevelopmentHandler.h"
#include "SimEnumerationHandler.h"
#include "SimMessageChannelHandler.h"

namespace Q7::Sim
{

ChannelHandlerFactory CameraCore::FactoryFor(ChannelId id) const
{
    {
        std::lock_guard lock(m_handlersMutex);
        auto it = m_handlers.find(id);
        if (it != m_handlers.end() && it->second)
        {
            return it->second;
        }
    }
    if (id == ChannelId{0, 0})
    {
        return EnumerationHandler::Factory();
    }
    if (id == ChannelId{3, 0})
    {
        return ImageEnumerationHandler::Factory(images, imageEnumeration);
    }
    if (id == ChannelId{4, 1} || id == ChannelId{4, 2})
    {
        return ImageTransferHandler::Factory(imageTransfer);
    }
    if (id == ChannelId{5, 1} || id == ChannelId{5, 2})
    {
        return LiveViewHandler::Factory(liveView);
    }
    if (id == ChannelId{255, 0})
    {
        return DevelopmentEchoHandler::Factory();
    }
    return MessageChannelHandler::Factory();
}

void CameraCore::SetFactory(ChannelId id, ChannelHandlerFactory factory)
{
    std::lock_guard lock(m_handlersMutex);
    m_handlers[id] = std::move(factory);
}

bool CameraCore::TryCountOpen(ChannelId id, unsigned limit)
{
    std::lock_guard lock(m_openMutex);
    unsigned& count = m_openCounts[id];
    if (limit != 0 && count >= limit)
    {
        return false;
    }
    ++count;
    return true;
}

void CameraCore::ReleaseOpen(ChannelId id)
{
    std::lock_guard lock(m_openMutex);
    unsigned& count = m_openCounts[id];
    if (count > 0)
    {
        --count;
    }
}

} // namespace Q7::Sim
