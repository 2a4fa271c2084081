#include "CameraImpl.h"

#include "ImageCapabilities.h"
#include "Subscriptions.h"

namespace Q7::Tavrin
{

CameraImpl::CameraImpl(int id) : cameraId(id), subscriptions(SubscriptionManager::Create(id)) {}

CameraImpl::~CameraImpl() = default;

} // namespace Q7::Tavrin
