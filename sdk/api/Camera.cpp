#include "CameraImpl.h"
#include "ImageCapabilities.h"
#include "LastError.h"
#include "SdkLog.h"
#include "SdkOpener.h"
#include "Subscriptions.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/TavrinC.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace Q7::Tavrin
{

namespace
{

std::string Text(const Q7::TavrinC::IString* text)
{
    return text != nullptr && text->CStr() != nullptr ? std::string(text->CStr(), text->Length())
                                                      : std::string();
}

} // namespace

Camera::Camera() noexcept = default;

Camera::Camera(std::unique_ptr<CameraImpl> impl) noexcept : m_impl(std::move(impl)) {}

Camera::Camera(Camera&& other) noexcept : m_impl(std::move(other.m_impl)) {}

Camera& Camera::operator=(Camera&& other) noexcept
{
    if (this != &other)
    {
        Close();
        m_impl = std::move(other.m_impl);
    }
    return *this;
}

Camera::~Camera()
{
    Close();
}

std::vector<CameraListElement> Camera::AvailableCameras()
{
    EnsureSdkOpen();
    // A Vector releases the texts the factory made for each entry once they
    // are copied.
    Q7::TavrinC::Vector<Q7::TavrinC::CameraSpecification> cameras;
    ThrowOnErrorCode(Q7::TavrinC::GetCameraList(cameras));
    std::vector<CameraListElement> list;
    for (std::uint32_t i = 0; i < cameras.Size(); ++i)
    {
        const Q7::TavrinC::CameraSpecification* camera = cameras.At(static_cast<int>(i));
        if (camera == nullptr)
        {
            continue;
        }
        CameraListElement element;
        element.connection = static_cast<TetherConnection>(camera->connection);
        element.name = Text(camera->name);
        element.serialNumber = Text(camera->serialNumber);
        element.address = Text(camera->address);
        element.open = camera->open;
        list.push_back(std::move(element));
    }
    return list;
}

Camera Camera::Open(int id)
{
    std::unique_ptr<CameraImpl> impl;
    try
    {
        impl = std::make_unique<CameraImpl>(id);
    }
    catch (...)
    {
        // Nothing owns the camera yet: close it, so that no open camera is
        // left behind.
        Q7::TavrinC::CloseCamera(id);
        throw;
    }
    // From here the Camera owns it: an exception closes it.
    Camera camera(std::move(impl));
    {
        std::lock_guard<std::mutex> lock(camera.m_impl->lock);
        camera.m_impl->subscriptions->CreateSubscriptions();
        // A camera without the record opens all the same, with empty
        // capabilities.
        const auto [code, capabilities] = Q7::TavrinC::GetImageEnumCapabilities(id);
        if (capabilities.has_value())
        {
            camera.m_impl->capabilities = std::make_shared<ImageCapabilities>(*capabilities);
        }
    }
    return camera;
}

Camera Camera::OpenUsbCamera(const std::string& serial, const std::string& identity)
{
    EnsureSdkOpen();
    int id = 0;
    ThrowOnErrorCode(
        Q7::TavrinC::OpenUsbCamera(id, serial.empty() ? nullptr : serial.c_str(), identity.c_str()));
    return Open(id);
}

Camera Camera::OpenIpCamera(const std::string& address, const std::string& identity, int timeoutSeconds)
{
    EnsureSdkOpen();
    int id = 0;
    ThrowOnErrorCode(Q7::TavrinC::OpenIpCamera(id, address.c_str(), identity.c_str(), timeoutSeconds));
    Q7::TavrinC::SdkLog(6, "OpenIpCamera: Got camera-id: %u\n", static_cast<unsigned>(id));
    return Open(id);
}

void Camera::Close() noexcept
{
    if (!m_impl || m_impl->closed.exchange(1) != 0)
    {
        return;
    }
    m_impl->subscriptions->Reset();
    Q7::TavrinC::CloseCamera(m_impl->cameraId);
}

bool Camera::IsOpen() const noexcept
{
    return m_impl && m_impl->closed.load() == 0;
}

void Camera::ThrowExceptionIfNotValid() const
{
    if (!IsOpen())
    {
        // The exception's text is the thread's last error: make it say why.
        Q7::TavrinC::SetLastErrorInfo(CameraNotOpen, "The camera is not open", "Q7::Tavrin::Camera");
        throw CameraNotOpenExc(CameraNotOpen);
    }
}

int Camera::Id() const
{
    ThrowExceptionIfNotValid();
    return m_impl->cameraId;
}

TetherConnection Camera::ConnectionType() const
{
    ThrowExceptionIfNotValid();
    TetherConnection connection = TetherConnection::Unknown;
    ThrowOnErrorCode(Q7::TavrinC::ConnectionType(m_impl->cameraId, connection));
    return connection;
}

std::vector<unsigned int> Camera::AllPropertyIds() const
{
    ThrowExceptionIfNotValid();
    Q7::TavrinC::SdkLog(6, "AllPropertyIds: For C-API camera-id: %u\n",
                        static_cast<unsigned>(m_impl->cameraId));
    std::vector<unsigned int> ids;
    ThrowOnErrorCode(Q7::TavrinC::GetPropertyIds(m_impl->cameraId, ids));
    return ids;
}

PropertyValue Camera::Property(unsigned int propertyId) const
{
    ThrowExceptionIfNotValid();
    PropertyValue value;
    ThrowOnErrorCode(Q7::TavrinC::GetPropertyValue(m_impl->cameraId, propertyId, value));
    return value;
}

PropertySpecification Camera::PropertySpec(unsigned int propertyId) const
{
    ThrowExceptionIfNotValid();
    PropertySpecification specification;
    ThrowOnErrorCode(Q7::TavrinC::GetPropertySpecification(m_impl->cameraId, propertyId, specification));
    return specification;
}

void Camera::SetProperty(unsigned int propertyId, const PropertyValue& value)
{
    ThrowExceptionIfNotValid();
    ThrowOnErrorCode(Q7::TavrinC::SetPropertyValue(m_impl->cameraId, propertyId, value));
}

std::vector<std::shared_ptr<IStoredImageHandle>> Camera::AllImages() const
{
    ThrowExceptionIfNotValid();
    Q7::TavrinC::SdkLog(6, "GetImageEnumeration: For C-API camera-id: %u\n",
                        static_cast<unsigned>(m_impl->cameraId));
    std::vector<std::shared_ptr<IStoredImageHandle>> images;
    ThrowOnErrorCode(Q7::TavrinC::GetImageEnumeration(m_impl->cameraId, images));
    return images;
}

std::shared_ptr<const ICameraCapabilities> Camera::Capabilities() const
{
    if (!IsOpen())
    {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_impl->lock);
    return m_impl->capabilities;
}

std::shared_ptr<ISubscriptionManager> Camera::Subscriptions() const
{
    if (!IsOpen())
    {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_impl->lock);
    return m_impl->subscriptions;
}

void Camera::TriggerCapture()
{
    ThrowExceptionIfNotValid();
    ThrowOnErrorCode(Q7::TavrinC::TriggerCapture(m_impl->cameraId));
}

void Camera::SetHostStorageCapacity(unsigned int capacity)
{
    ThrowExceptionIfNotValid();
    ThrowOnErrorCode(Q7::TavrinC::SetHostStorageCapacity(m_impl->cameraId, capacity));
}

void Camera::SetReceiveBufferLimits(unsigned long long imageBytes, unsigned long long liveViewFrameBytes)
{
    ThrowExceptionIfNotValid();
    ThrowOnErrorCode(Q7::TavrinC::SetReceiveBufferLimits(m_impl->cameraId, imageBytes, liveViewFrameBytes));
}

std::vector<unsigned char> Camera::DiagnosticsLog() const
{
    ThrowExceptionIfNotValid();
    auto [code, log] = Q7::TavrinC::GetDiagnosticsLog(m_impl->cameraId);
    ThrowOnErrorCode(code);
    return log.has_value() ? std::move(*log) : std::vector<unsigned char>();
}

bool Camera::SaveDiagnosticsLog(std::filesystem::path path) const
{
    ThrowExceptionIfNotValid();
    const auto [code, saved] = Q7::TavrinC::SaveDiagnosticsLog(m_impl->cameraId, std::move(path));
    ThrowOnErrorCode(code);
    return saved;
}

bool Camera::DownloadFile(DownloadFileId fileId, const std::filesystem::path& path)
{
    ThrowExceptionIfNotValid();
    ThrowOnErrorCode(Q7::TavrinC::DownloadFile(m_impl->cameraId, fileId, path));
    return true;
}

bool Camera::UploadFile(UploadFileId fileId, const std::filesystem::path& path)
{
    ThrowExceptionIfNotValid();
    if (!std::filesystem::exists(path))
    {
        throw std::runtime_error("File not found: " + path.string());
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file)
    {
        throw std::runtime_error("Could not open file: " + path.string());
    }
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    std::vector<unsigned char> data(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (size < 0 ||
        !file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
    {
        throw std::runtime_error("Could not open file: " + path.string());
    }
    ThrowOnErrorCode(Q7::TavrinC::UploadFile(m_impl->cameraId, fileId, data.data(), data.size(),
                                             path.filename().string()));
    return true;
}

bool Camera::UpdateCameraFirmware(const unsigned char* data, std::size_t size)
{
    ThrowExceptionIfNotValid();
    return Q7::TavrinC::UpdateCameraFirmware(m_impl->cameraId, data, size) == Success;
}

bool Camera::UpdateCameraFirmware(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        throw std::runtime_error("File Not Found: " + path + "\n");
    }
    const std::streampos start = file.tellg();
    file.seekg(0, std::ios::end);
    const std::streampos end = file.tellg();
    if (start < 0 || end < 0)
    {
        return false;
    }
    file.seekg(start);
    std::vector<unsigned char> data(static_cast<std::size_t>(end - start));
    if (!file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
    {
        return false;
    }
    return UpdateCameraFirmware(data.data(), data.size());
}

} // namespace Q7::Tavrin
