#include <TavrinCpp/EventTypes.h>

#include <ostream>
#include <utility>

namespace Q7::Tavrin
{

BaseEventType::BaseEventType(std::uint32_t typeId, std::string typeName, Category typeCategory)
    : id(typeId), name(std::move(typeName)), category(typeCategory)
{
}

BaseEventType::~BaseEventType() = default;

void BaseEventType::dummy() const {}

EventType::EventType(std::uint32_t typeId, std::string typeName, Category typeCategory)
    : BaseEventType(typeId, std::move(typeName), typeCategory)
{
}

EventType::~EventType() = default;

PropertyEventType::PropertyEventType(std::uint32_t typeId, std::string typeName)
    : BaseEventType(typeId, std::move(typeName), PropertyCategory)
{
}

PropertyEventType::~PropertyEventType() = default;

SdkEventType::SdkEventType(std::uint32_t typeId, std::string typeName)
    : BaseEventType(typeId, std::move(typeName), SdkCategory)
{
}

SdkEventType::~SdkEventType() = default;

// The constants, defined once here: their addresses are their identity, so no
// other definition may exist anywhere (no inline variables in the header).
const EventType EventType::Invalid{0, "Invalid", InvalidCategory};
const EventType EventType::ImageTransferBegin{1, "ImageTransferBegin", TransferCategory};
const EventType EventType::ImageTransferProgress{2, "ImageTransferProgress", TransferCategory};
const EventType EventType::CameraImageReady{3, "CameraImageReady", CameraCategory};
const EventType EventType::CameraDisconnected{4, "CameraDisconnected", CameraCategory};
const EventType EventType::CameraLiveViewStarted{5, "CameraLiveViewStarted", CameraCategory};
const EventType EventType::CameraLiveViewStopped{6, "CameraLiveViewStopped", CameraCategory};
const EventType EventType::CameraNewLiveViewImage{7, "CameraNewLiveViewImage", CameraCategory};
const EventType EventType::CameraPropertyAdded{8, "CameraPropertyAdded", CameraCategory};
const EventType EventType::CameraPropertyRemoved{9, "CameraPropertyRemoved", CameraCategory};
const EventType EventType::CameraImageAdded{10, "CameraImageAdded", CameraCategory};
const EventType EventType::CameraImageRemoved{11, "CameraImageRemoved", CameraCategory};
const EventType EventType::CameraImageEdited{12, "CameraImageEdited", CameraCategory};
const EventType EventType::CameraImageNewList{13, "CameraImageNewList", CameraCategory};
const EventType EventType::CameraPreviewReady{14, "CameraPreviewReady", ImageBufferCategory};
const EventType EventType::CameraTileReady{15, "CameraTileReady", ImageBufferCategory};
const EventType EventType::CameraImageBasicImageInfo{16, "CameraImageBasicImageInfo", ImageBufferCategory};
const EventType EventType::FirmwareTransferBegin{17, "FirmwareTransferBegin", TransferCategory};
const EventType EventType::FirmwareTransferProgress{18, "FirmwareTransferProgress", TransferCategory};
const EventType EventType::FirmwareTransferDone{19, "FirmwareTransferDone", TransferCategory};
const EventType EventType::FirmwareTransferError{20, "FirmwareTransferError", TransferCategory};
const EventType EventType::FileTransferBegin{21, "FileTransferBegin", TransferCategory};
const EventType EventType::FileTransferProgress{22, "FileTransferProgress", TransferCategory};
const EventType EventType::FileTransferDone{23, "FileTransferDone", TransferCategory};
const EventType EventType::FileTransferError{24, "FileTransferError", TransferCategory};

const SdkEventType SdkEventType::SdkWakeUp{25, "SdkWakeUp"};
const SdkEventType SdkEventType::SdkCameraFound{26, "SdkCameraFound"};
const SdkEventType SdkEventType::SdkCameraRemoved{27, "SdkCameraRemoved"};
const SdkEventType SdkEventType::SdkCameraOpened{28, "SdkCameraOpened"};
const SdkEventType SdkEventType::SdkCameraClosed{29, "SdkCameraClosed"};

const PropertyEventType PropertyEventType::PropertyValueChange{1000, "PropertyValueChange"};
const PropertyEventType PropertyEventType::PropertySpecificationChange{1001, "PropertySpecificationChange"};

std::ostream& operator<<(std::ostream& out, const BaseEventType& type)
{
    return out << type.name;
}

} // namespace Q7::Tavrin
