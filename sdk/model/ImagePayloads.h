#pragma once
// The payloads of image events: the image object an event carries, made from
// the record a camera's agent delivered, and the events built with them.

#include "NotificationEvent.h"

#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Agents/ImageTransfer/KPXLiveViewImage.h"

#include <cstdint>
#include <memory>

namespace Q7::Tavrin
{

/// Fills record.payload (record.type chooses the object) from a camera's
/// channel-3 record, which the object co-owns from then on:
/// CameraImageBasicImageInfo a BasicImageInfo, CameraPreviewReady and
/// CameraTileReady an ImageBuffer. A null record leaves the default payload.
/// Throws SdkException -1 "Unhandled notification event type!" for any other
/// type with a record (the payload is left as it was, the record the
/// caller's), and std::bad_alloc.
void MakeNotificationPayload(NotificationEventRecord& record, const std::shared_ptr<const void>& payload);

/// The event of type for the camera carrying the object made from payload as
/// above. Throws as MakeNotificationPayload. Thread-safe.
std::shared_ptr<const INotificationEvent> BuildImageEvent(const BaseEventType& type, std::int32_t cameraId,
                                                          const std::shared_ptr<const void>& payload);

/// A CameraImageReady event for the camera whose full image holds the
/// package's pool buffer once more (the package stays the caller's). Throws
/// std::bad_alloc and what holding the buffer throws. Thread-safe.
std::shared_ptr<const INotificationEvent> BuildFullImageEvent(std::int32_t cameraId,
                                                              const Q7::KPX::ImageReceivePackage& package);

/// A CameraNewLiveViewImage event for the camera carrying the frame, which
/// the event's object owns from then on. Throws std::bad_alloc and
/// std::invalid_argument for a null frame. Thread-safe.
std::shared_ptr<const INotificationEvent>
BuildLiveViewEvent(std::int32_t cameraId, std::shared_ptr<const Q7::KPX::LiveViewImage> frame);

} // namespace Q7::Tavrin
