#pragma once
// Camera: the application's handle on one open camera. The static members list
// the cameras and open one; every other member forwards to the flat interface
// (TavrinC.h) under the camera's id and turns a failure into the exception of
// ThrowOnErrorCode (Errors.h), with the calling thread's last-error text (the
// code's standard text where that is empty).

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/FileIds.h>
#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/PropertyValue.h>
#include <TavrinCpp/StoredImageHandle.h>
#include <TavrinCpp/Subscriptions.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Q7::Tavrin
{

class CameraImpl;
class Listener;

/// One open camera, or none (default-constructed, moved from). Destroying it
/// closes the camera. Move-only.
///
/// Members with a camera check throw CameraNotOpenExc (-10) before any flat
/// call when the object holds no camera or was closed. After the camera's link
/// was lost, IsOpen stays true until Close, and those members throw what the
/// flat layer gives for an id it no longer holds (CameraNotOpenExc).
///
/// Reentrant: different cameras on different threads. One camera may be used
/// from several threads as far as the flat functions allow; Close and
/// destruction must not race with other members on the same object.
///
/// A Camera may be closed or destroyed in the application's code that the
/// library runs on its own threads (the log handler, a notification filter,
/// the subscription callback): the camera is then handed to a thread of the
/// library's own, which closes it; SdkCameraClosed follows. That code must
/// not wait there for the close to end: its thread may be one the close stops.
/// Subscriptions kept beyond Close answer IsEnabled() false.
class TAVRIN_API Camera
{
public:
    /// A Camera without a camera: IsOpen is false.
    Camera() noexcept;
    /// Takes other's camera; other holds none afterwards.
    Camera(Camera&& other) noexcept;
    /// Closes the camera held (as the destructor does), then takes other's;
    /// other holds none afterwards. Moving a camera into itself changes nothing.
    Camera& operator=(Camera&& other) noexcept;
    /// Closes the camera held, if any.
    ~Camera();

    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    /// The cameras found on USB and the open ones, with their open flags.
    /// Opens the SDK when it is not open yet.
    static std::vector<CameraListElement> AvailableCameras();

    /// Opens the USB camera with the serial number (the first USB camera when
    /// serial is empty), announcing the client identity to it. Opens the SDK
    /// when it is not open yet. Blocks while the camera opens.
    static Camera OpenUsbCamera(const std::string& serial, const std::string& identity);

    /// Opens the camera at the IPv4 address (port 7381), connecting for at most
    /// timeoutSeconds. CameraCouldNotConnectExc when nothing answers there.
    /// Opens the SDK when it is not open yet. Blocks while the camera opens.
    static Camera OpenIpCamera(const std::string& address, const std::string& identity, int timeoutSeconds);

    /// Closes the camera (the flat CloseCamera; its result is not examined).
    /// Does nothing without a camera or when closed already. Never throws.
    void Close() noexcept;

    /// True while the object holds a camera not closed by Close. Never throws.
    bool IsOpen() const noexcept;

    /// The camera id of the flat interface. Camera check.
    int Id() const;

    /// How the camera is connected. Camera check.
    TetherConnection ConnectionType() const;

    /// The ids of the camera's visible properties. Camera check.
    std::vector<unsigned int> AllPropertyIds() const;
    /// The property's current value, from the camera's cache. Camera check;
    /// a plain SdkException -24 "Could not find property with provided id"
    /// for an id the camera does not have; PropertyNotFoundExc (-20) for one
    /// it hides above the user's level (expert mode off).
    PropertyValue Property(unsigned int propertyId) const;
    /// Everything the camera says about the property. Camera check; the same
    /// exceptions as Property.
    PropertySpecification PropertySpec(unsigned int propertyId) const;
    /// Sends the value to the camera and returns once it is queued; the
    /// camera's answer arrives as the property's next value (a
    /// PropertyValueChange event), and a value the camera refuses changes
    /// nothing. Camera check; then, as the flat SetPropertyValue checks: the
    /// exceptions of PropertySpec for an unknown or hidden id;
    /// PropertyWrongTypeExc (-23) for a value of another type than the
    /// property's; a plain SdkException -201 for a read-only, -200 for a
    /// disabled property; PropertySetFailedException (-25) for a value the
    /// property's type on the wire cannot hold (a number beyond its width or
    /// sign, a text too long; its text names the value and the type, nothing
    /// is sent) or that the library cannot send; SdkNotYetImplementedExc (-6)
    /// for a record type the property's type does not take.
    void SetProperty(unsigned int propertyId, const PropertyValue& value);

    /// One handle per image stored on the camera, in the camera's order. Camera
    /// check. Blocks up to 3 s for the camera's list.
    std::vector<std::shared_ptr<IStoredImageHandle>> AllImages() const;

    /// The camera's image capabilities read at open; empty when the camera gave
    /// none, and once closed. Never throws.
    std::shared_ptr<const ICameraCapabilities> Capabilities() const;

    /// The camera's subscriptions; empty once closed (and without a camera).
    /// Never throws.
    std::shared_ptr<ISubscriptionManager> Subscriptions() const;

    /// Asks the camera to take a picture. Camera check.
    void TriggerCapture();
    /// Tells the camera how many megabytes the host keeps for received images.
    /// Camera check.
    void SetHostStorageCapacity(unsigned int capacity);
    /// The largest buffer taken for one received image and one live-view
    /// frame, in bytes (by default 1 GiB and 64 MiB; see the flat
    /// SetReceiveBufferLimits). Camera check.
    void SetReceiveBufferLimits(unsigned long long imageBytes, unsigned long long liveViewFrameBytes);

    /// The camera's diagnostics log. Camera check. Blocks while it downloads.
    std::vector<unsigned char> DiagnosticsLog() const;

    /// Writes the camera's diagnostics log into a new file at path: whether it
    /// was written. Camera check.
    bool SaveDiagnosticsLog(std::filesystem::path path) const;

    /// Downloads the camera file into a new file at path: true, or throws.
    /// Camera check. Blocks while it downloads.
    bool DownloadFile(DownloadFileId fileId, const std::filesystem::path& path);

    /// Uploads the file at path as the camera file fileId, named by the path's
    /// last component: true, or throws. Camera check; then
    /// std::runtime_error "File not found: " path when there is no such file
    /// (nothing is sent), "Could not open file: " path when it cannot be read.
    /// Blocks while it uploads.
    bool UploadFile(UploadFileId fileId, const std::filesystem::path& path);

    /// Updates the camera's firmware from the image in memory: true on success,
    /// false on failure (the code and text stay the thread's last error).
    /// Camera check. Blocks while it uploads.
    bool UpdateCameraFirmware(const unsigned char* data, std::size_t size);
    /// Reads the firmware image from the file at path, then as above. Throws
    /// std::runtime_error "File Not Found: " path "\n" when the file cannot be
    /// opened, before the camera check; false when its size cannot be read.
    bool UpdateCameraFirmware(const std::string& path);

private:
    friend class Listener;

    explicit Camera(std::unique_ptr<CameraImpl> impl) noexcept;
    static Camera Open(int id);
    /// Throws CameraNotOpenExc (-10) unless IsOpen.
    void ThrowExceptionIfNotValid() const;

    std::unique_ptr<CameraImpl> m_impl;
};

} // namespace Q7::Tavrin
