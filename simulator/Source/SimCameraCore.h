// State that a simulated camera shares with its connections.
#pragma once

#include "SimCameraDescription.h"
#include "SimChannelHandler.h"
#include "SimFaults.h"
#include "SimImageEnumerationHandler.h"
#include "SimImageStore.h"
#include "SimImageTransferHandler.h"
#include "SimLiveViewHandler.h"
#include "SimLog.h"
#include "SimObservations.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace Q7::Sim
{

struct CameraCore
{
    CameraCore(CameraDescription desc, LogSink sink, LogLevel level, std::size_t sendQueueBytes)
        : description(std::move(desc)), logger(std::move(sink), level), observations(logger),
          sendQueueLimit(sendQueueBytes)
    {
    }

    // The handler factory for a channel: the registered one, else the
    // enumeration handler on 0.0, image enumeration over the camera's store on
    // 3.0, image transfer of its captures on 4.1 and 4.2, the development echo
    // on 255.0 and the common-message handler elsewhere.
    ChannelHandlerFactory FactoryFor(ChannelId id) const;
    void SetFactory(ChannelId id, ChannelHandlerFactory factory);

    // Asks the camera to go away (Camera::Unplug) without waiting for it; from
    // any thread, also a connection's own.
    void RequestUnplug() const
    {
        if (unplug)
        {
            unplug();
        }
    }

    // Counts an open of `id` unless `limit` (non-zero) opens are already counted.
    bool TryCountOpen(ChannelId id, unsigned limit);
    void ReleaseOpen(ChannelId id);

    const CameraDescription description; // constant while the camera runs
    Logger logger;                       // configured before the camera starts
    ObservationLog observations;
    FaultPlan faults;
    const std::shared_ptr<ImageStore> images = std::make_shared<ImageStore>();
    const std::shared_ptr<ImageEnumerationControl> imageEnumeration =
        std::make_shared<ImageEnumerationControl>();
    const std::shared_ptr<ImageTransferControl> imageTransfer =
        std::make_shared<ImageTransferControl>(images);
    const std::shared_ptr<LiveViewControl> liveView = std::make_shared<LiveViewControl>();
    std::size_t sendQueueLimit;   // data bytes a connection queues before senders wait (set before start)
    std::function<void()> unplug; // set by the camera before it starts, never changed afterwards

private:
    mutable std::mutex m_handlersMutex; // guards m_handlers
    std::map<ChannelId, ChannelHandlerFactory> m_handlers;
    std::mutex m_openMutex; // guards m_openCounts
    std::map<ChannelId, unsigned> m_openCounts;
};

} // namespace Q7::Sim
