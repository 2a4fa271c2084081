#pragma once
// The camera bridge: joins the flat interface, which names cameras by small
// integer ids, to the KPX camera objects. It opens cameras by USB serial number
// or IPv4 address under new ids, closes them (the helper thread closes those
// whose link was lost), turns what cameras and the device manager report into
// SDK events, reads and writes properties, and maps protocol errors to codes.

#include "Camera/KPXCamera.h"
#include "Transport/KPXDeviceManager.h"
#include "Transport/KPXDeviceMoniker.h"

#include "Q7UniversalError.h"

#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/ObjectFactory.h>
#include <TavrinCpp/PropertyValue.h>
#include <TavrinCpp/TavrinC.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace Q7::TavrinC
{

using Q7::Tavrin::ErrorCode;

/// The one bridge of the SDK instance, made by the Sdk's constructor and
/// de-initialised by CloseSdk.
///
/// Threads: every public member is thread-safe. Application threads open,
/// close and read; the device manager's monitor threads run
/// DeviceManagerNotify; each camera's notify and error callbacks run on its
/// own threads; the helper thread closes cameras whose link was lost, and
/// those whose close was asked on a thread of the library. The bridge's
/// mutexes are taken through SingleLockGuard (one at a time per thread) and
/// only around its maps: every call into a camera is made on a copied pointer
/// with no bridge lock held, so a close on another thread never frees a camera
/// under a running call.
///
/// A camera is never closed or freed on a thread of the library (its own
/// threads among them): a close asked there is handed to the helper thread.
/// The application's code (log, filters) never runs under a bridge lock: the
/// events of a camera are matched against the filters before the camera lock
/// is taken, put into the listeners' queues under it (so that nothing about a
/// camera follows its SdkCameraClosed), and logged after it.
///
/// Every failure stores code, message and function name as the calling
/// thread's last error (SetLastErrorInfo) and returns the code.
class KpxLibTransport
{
public:
    using Camera = Q7::KPX::Camera;
    using CameraTimings = Q7::KPX::CameraTimings;
    using DeviceManager = Q7::KPX::Transport::DeviceManager;
    using DeviceMoniker = Q7::KPX::Transport::DeviceMoniker;
    using Property = Q7::KPX::DeviceControlAgent::Property;

    /// The SDK-side property that switches a camera's expert mode; it never
    /// reaches the camera.
    static constexpr std::uint32_t kExpertModeProperty = 0x5B2E7;
    /// The port of a camera opened by address.
    static constexpr std::uint16_t kCameraPort = 7381;

    /// Makes the device manager (USB and TCP), starts the helper thread, binds
    /// DeviceManagerNotify and starts device notifications. Throws
    /// std::system_error when the helper thread cannot start, and what
    /// StartNotify throws, after stopping what it started.
    KpxLibTransport();
    /// Stops what Deinit would when it did not run (the helper thread); closes
    /// no camera.
    virtual ~KpxLibTransport();

    KpxLibTransport(const KpxLibTransport&) = delete;
    KpxLibTransport& operator=(const KpxLibTransport&) = delete;

    /// Stops device notifications, closes every open camera in ascending id
    /// order (posting SdkCameraClosed to the closing SDK) and joins the helper
    /// thread; camera notifications are ignored from its start on. Logs each
    /// step at level 6, "KpxLibTransport: Joined!\n" last. Blocks; never
    /// throws. Called once, by the closing thread.
    void Deinit() noexcept;

    // ---------------------------------------------------------------- cameras

    /// Opens the first USB camera of the device manager's list whose serial
    /// number is serial (any USB camera for a null or empty serial) and stores
    /// its new id in cameraId. -11 "No such camera found"; the codes of
    /// OpenCameraFromMoniker. Blocks.
    ErrorCode OpenUsbCamera(int& cameraId, const char* serial, const char* identity);

    /// Opens the camera at the IPv4 address text ("a.b.c.d", each group of
    /// decimal digits taken modulo 256) on port 7381, connecting for at most
    /// timeoutSeconds (0 or less: the transport's own limit), and stores its
    /// new id in cameraId. -15 "Provided IP is not a valid IPv4 address" for a
    /// null or malformed text; the codes of OpenCameraFromMoniker. Blocks.
    ErrorCode OpenIpCamera(int& cameraId, const char* address, const char* identity, int timeoutSeconds);

    /// Opens a camera for the moniker under the next id, stores it in cameraId
    /// and posts SdkCameraOpened. A null identity is the empty one. Failures:
    /// -18 connect time-out, -12 refused or lost, -16 initialisation, -17
    /// agents or device control did not start, -3 the SDK closed meanwhile,
    /// -10 the id was closed meanwhile;
    /// throws the protocol library's errors (the Open... members map them). A
    /// failed open leaves no entry and no event and uses up no id. Blocks.
    ErrorCode OpenCameraFromMoniker(const DeviceMoniker& moniker, int& cameraId, const char* identity,
                                    bool network);

    /// InternalCloseCamera(cameraId, true).
    ErrorCode CloseCamera(int cameraId);

    /// Closes the camera and posts SdkCameraClosed. Not open: -10 "The camera
    /// is not open" with reportIfNotOpen, else 0. The id is closed even when
    /// the camera's close fails (its mapped code is returned, nothing
    /// posted). The event goes to the open SDK, or with closingSdk to the
    /// closing one; without one: -3 "The SDK is not open". Blocks.
    ///
    /// On a thread of the library (OnLibraryThread) the id is closed at once
    /// and the camera handed to the helper thread, which closes it and posts
    /// SdkCameraClosed: 0 once it is queued, without waiting. Once the helper
    /// thread has stopped (the SDK closing), -3 "The SDK is not open" and the
    /// camera stays as it was.
    ErrorCode InternalCloseCamera(int cameraId, bool reportIfNotOpen, bool closingSdk = false);

    /// Whether the calling thread is one of the library's: a thread of a
    /// camera, of the device manager, of the USB backend, or the helper
    /// thread. Never throws.
    static bool OnLibraryThread() noexcept;

    /// Runs task on the helper thread, after the closes queued before it: for
    /// a close of the SDK asked on a thread of the library. False when the
    /// helper thread has stopped (nothing runs). What task throws is logged.
    /// Throws std::bad_alloc only.
    bool RunOnHelperThread(std::function<void()> task);

    /// Whether the id names an open camera. Records nothing.
    bool IsCameraOpen(int cameraId);

    /// The open camera's object in camera: 0. -10 "The camera is not open"
    /// (also once its link loss was posted, or while it closes); -1 with the
    /// composed text ("KPX <category> #<code>: <message> <context>") when the
    /// open camera reported an error since the last look-up (reported once;
    /// camera stays empty). An error of a camera no longer open is dropped.
    ErrorCode GetCamera(int cameraId, std::shared_ptr<Camera>& camera);

    /// How the open camera is attached (0 to 4, as the camera reports it).
    ErrorCode ConnectionType(int cameraId, Q7::Tavrin::TetherConnection& connection);

    /// Whether the application set a host storage capacity on the open camera.
    bool HasHostStorageCapacity(int cameraId);

    /// Maps a protocol error: 0x15E000F -90, 0x15E0010 -91, 0x15E0018 and
    /// 0x15E001D -120, anything else -1 with the context (or a general text)
    /// after the log line "InternalError: %s (source=%d, id=%d)\n". Never
    /// throws.
    static ErrorCode HandleModuleError(const Q7::Universal::ModuleError& error, const char* context) noexcept;
    /// Logs as above and records -1 with the context (or a general text).
    static ErrorCode HandleUniversalError(const Q7::Universal::UniversalError& error,
                                          const char* context) noexcept;
    /// A failed connect's code: result 2 -18, 4 -12, any other the given code
    /// and message.
    static ErrorCode ReportOpenFailure(std::uint32_t result, const char* message, ErrorCode code,
                                       const char* function) noexcept;

    /// The camera description of SDK events for a moniker: USB {1, Usb,
    /// name, "", serial}, TCP {1, Tcp, name, "a.b.c.d", the serial number in
    /// the name}; another type is CameraInfo::Invalid (logged at level 1).
    static Q7::Tavrin::CameraInfo CameraInfoFromMoniker(const DeviceMoniker& moniker);

    /// The first "(XXdddddd)" of text (two word characters and six digits) without
    /// its parentheses; empty when there is none.
    static std::string ExtractSerialNumber(std::string_view text);

    /// A new ABI string of the open SDK's object factory holding text; null
    /// without an SDK or factory, or when the factory fails. The owned form
    /// frees its text.
    static IString* CreateString(const std::string& text);
    static IString* CreateString(std::unique_ptr<char[]> text);

    // ---------------------------------------------------------------- notifications

    /// The device manager's arrivals and removals: posts SdkCameraFound or
    /// SdkCameraRemoved (camera id -1) with the moniker's description; a
    /// removal marks the open camera of that device removed (it stays open).
    /// On the manager's threads.
    void DeviceManagerNotify(DeviceManager::EnumNotify kind, const DeviceMoniker* moniker);

    /// Marks the first open camera (ascending id) whose own moniker names the
    /// device removed (USB: the same device; TCP: address and port) and stores
    /// its id; false when none does.
    bool MarkOpenCameraRemoved(const DeviceMoniker& moniker, int& cameraId);

    /// A camera's notification: 1 link lost (CameraDisconnected and
    /// SdkCameraClosed while the id is open; the helper thread closes it), 11
    /// to 14 property added, removed, descriptor and value changed (data: the
    /// camera's vector of property ids, valid during the call). Other ids are
    /// logged. On the camera's threads; never throws.
    void KpxCameraNotify(std::uint32_t notificationId, const void* data, int cameraId) noexcept;

    /// What the camera reports, as bound at open: the image notifications
    /// (below) here, every other id as above with the payload's pointer. 53
    /// posts CameraImageNewList; 55, 56 and 57 CameraImageBasicImageInfo,
    /// CameraPreviewReady and CameraTileReady carrying an object that co-owns
    /// the payload's record; 54 (metadata) is dropped with a level-6 line.
    /// Posted only while the id is open. On the camera's threads; never throws.
    void KpxCameraNotify(std::uint32_t notificationId, const Camera::NotifyPayload& payload,
                         int cameraId) noexcept;

    // ---------------------------------------------------------------- properties

    /// Levels 0, 10 and 11 always; another level while the open camera is in
    /// expert mode.
    bool IsPropertyAccessible(int cameraId, const Property& record);

    /// The camera's cached record: -24 when it has no such property, -20 when
    /// it is hidden (both "Could not find property with provided id").
    ErrorCode GetKpxProperty(int cameraId, std::uint32_t propertyId, Property& record);

    /// The property's current value with the camera's display text in value
    /// (replaced as a whole on success); the expert-mode switch reads as an
    /// unsigned 0. -21 for a value type without a conversion.
    ErrorCode GetPropertyValue(int cameraId, std::uint32_t propertyId, Q7::Tavrin::PropertyValue& value);

    /// The expert-mode switch: UInt32 0 with an empty text. -10 for a camera
    /// not open, -20 "Property Id not found" for another id.
    ErrorCode GetSdkCameraProperty(int cameraId, std::uint32_t propertyId, Q7::Tavrin::PropertyValue& value);

    /// Sets the open camera's expert mode from a UInt32 or UInt64 value (on
    /// when above 0). -10 not open; -20 (empty message) for another id or type.
    ErrorCode SetSdkCameraProperty(int cameraId, std::uint32_t propertyId,
                                   const Q7::Tavrin::PropertyValue& value);

    /// The property's whole specification, built afresh and handed over in
    /// specification (also when a conversion fails: what was converted stays).
    ErrorCode GetProperty(int cameraId, std::uint32_t propertyId,
                          Q7::Tavrin::PropertySpecification& specification);

    /// The ids of the camera's accessible properties in its order, replacing
    /// ids on success; never the expert-mode switch.
    ErrorCode GetPropertyIds(int cameraId, std::vector<std::uint32_t>& ids);

    /// Sends a new value: -20 "Could not find the provided property Id" for an
    /// unknown or hidden property, the converter's code for a value it cannot
    /// convert, -25 when the camera's agent refuses it (read-only, disabled).
    ErrorCode SetProperty(int cameraId, std::uint32_t propertyId, const Q7::Tavrin::PropertyValue& value);

    /// The ids of a notification that the application may see, in order: those
    /// of accessible properties, never the expert-mode switch; with
    /// keepMissing also those the camera no longer has (a removal). Empty for a
    /// camera not open. Consumes no pending error.
    std::vector<std::uint32_t> PropertyFilter(int cameraId, const std::vector<unsigned int>& ids,
                                              bool keepMissing = false);

    // ---------------------------------------------------------------- files
    //
    // Transfers on the camera's channel 1.0, on the calling thread, one at a
    // time per camera (a second waits for the first); each blocks until the
    // camera acknowledged it, and ends (failed) when the camera closes. Errors
    // of the protocol layers are mapped by HandleModuleError and
    // HandleUniversalError; nothing throws but std::bad_alloc.

    /// The camera's log bytes, or the failure's code and none.
    using DiagnosticsLog = std::pair<ErrorCode, std::optional<std::vector<std::uint8_t>>>;

    /// Sends a firmware image, its progress going to
    /// HandleFirmwareTransferProgressUpdate. -1 (no message) when the camera
    /// refuses or fails it, or for 4 GiB or more (nothing sent); -1 naming the
    /// argument for null data of a non-zero size.
    virtual ErrorCode UpdateCameraFirmware(int cameraId, const std::uint8_t* data, std::uint64_t size);

    /// Uploads size bytes as the camera file fileId named name (UTF-8), its
    /// progress going to HandleFileTransferProgressUpdate. Firmware (10) goes
    /// as type 102 for a name ending in ".fwr", 106 for ".fwp" (byte
    /// comparison), else -110; Data (201) as 201; another id as itself, only
    /// in expert mode, else -110 (-110 records nothing). -1 as
    /// UpdateCameraFirmware, and for a name that is not UTF-8 (nothing sent).
    virtual ErrorCode UploadFile(int cameraId, Q7::Tavrin::UploadFileId fileId, const std::uint8_t* data,
                                 std::uint64_t size, const std::string& name);

    /// Downloads the camera file into a new file at path (UTF-8): Log (104)
    /// unscrambled, Data (201) as it comes, another id only in expert mode.
    /// -11 "No such camera", -110 "No such file id", -1 "failed start file
    /// download", -1 for a path that is not UTF-8 (nothing sent).
    virtual ErrorCode DownloadFile(int cameraId, Q7::Tavrin::DownloadFileId fileId,
                                   const std::filesystem::path& path);

    /// The camera's diagnostics log (log kind 2), unscrambled, into memory.
    virtual DiagnosticsLog GetDiagnosticsLog(int cameraId);

    /// Writes the camera's diagnostics log into a new file at path: whether it
    /// was written (the failure is recorded).
    virtual bool SaveDiagnosticsLog(int cameraId, const std::filesystem::path& path);

    /// Fills list (emptied first) with the device manager's cameras in order,
    /// each marked open when an open camera was made from it, then the open
    /// cameras it does not list (ascending id; those marked removed are left
    /// out). Texts are strings of the SDK's factory (null without one). Blocks
    /// up to 1 s for the first USB listing.
    ErrorCode ListCameras(IVector<CameraSpecification>& list);

    /// Whether name ends with suffix, byte for byte (case-sensitive).
    static bool HasFileSuffix(std::string_view name, std::string_view suffix) noexcept;

    /// A firmware or file transfer's progress: FirmwareTransferBegin (position
    /// 0) or FirmwareTransferProgress with the percent, at most one a
    /// millisecond per camera. On the transfer's thread; never throws.
    void HandleFirmwareTransferProgressUpdate(int cameraId, const Q7::Universal::ProgressTask& task) noexcept;
    /// The same with FileTransferBegin and FileTransferProgress.
    void HandleFileTransferProgressUpdate(int cameraId, const Q7::Universal::ProgressTask& task) noexcept;

    // ---------------------------------------------------------------- images
    // Each member below looks the camera up (GetCamera's codes) and makes its
    // calls on the camera with no bridge lock held. Protocol errors map through
    // HandleModuleError and HandleUniversalError (a camera without channel 3.0
    // gives -120), standard exceptions as internal errors (-1). A request the
    // camera refuses (false: not queued) gives -1 without a message. Answers
    // arrive later as events. All are thread-safe and block at most for the
    // camera's bounded waits.

    /// Releases the shutter (channel 2.0).
    ErrorCode TriggerCapture(int cameraId);
    /// Asks for an image's basic information (CameraImageBasicImageInfo).
    ErrorCode RequestBasicImageInfo(int cameraId, std::uint32_t imageId);
    /// The capabilities of the camera's channel 3.0 (waiting up to 500 ms for
    /// a first report), empty when none came; the code as above.
    std::pair<ErrorCode, std::optional<Camera::ImageEnumCapabilities>> GetImageEnumCapabilities(int cameraId);
    /// Deletes a stored image (CameraImageRemoved follows when it existed).
    ErrorCode DeleteImage(int cameraId, std::uint32_t imageId);
    /// Rates a stored image with 0 to 5 stars.
    ErrorCode RateImage(int cameraId, std::uint32_t imageId, std::uint32_t rating);
    /// Asks for an image's metadata.
    ErrorCode RequestMetadata(int cameraId, std::uint32_t imageId);
    /// Asks for a preview (CameraPreviewReady); request.imageId names the image.
    ErrorCode RequestPreview(int cameraId, const Camera::ImageBufferRequestInfo& request);
    /// Asks for a tile (CameraTileReady).
    ErrorCode RequestTile(int cameraId, const Camera::ImageBufferRequestInfo& request);
    /// Subscribes to the camera's image-list changes and previews of captures;
    /// the camera's answer reaches the subscription callback.
    ErrorCode SetImageEnumerationSubscriptions(int cameraId, std::uint32_t flags, std::uint32_t rating,
                                               bool option);
    /// Replaces the camera's subscription callback (an empty one removes it);
    /// it runs on the camera's threads. Waits while the old one runs.
    ErrorCode SetSubscriptionNotificationCallback(int cameraId, Camera::SubscriptionFunction callback);

    /// One handle per image of the camera's list, in the list's order
    /// (images is emptied first); waits for the list within the camera's
    /// limit (3 s). Errors as the members above ("Error while getting image
    /// list").
    ErrorCode GetImageEnumeration(int cameraId,
                                  std::vector<std::shared_ptr<Q7::Tavrin::IStoredImageHandle>>& images);

    /// Starts (true) or stops receiving captured images (channels 4.1 and
    /// 4.2). Starting also sets the host storage to 0xFFFFF MB unless the
    /// application set a capacity for the camera. A camera without the
    /// channels gives 0. Blocks for the camera's switch (bounded).
    ErrorCode SetImageReceiving(int cameraId, bool enable);
    /// Tells the camera how much host storage it may fill (MB); a later
    /// SetImageReceiving(true) keeps it.
    ErrorCode SetHostStorageCapacity(int cameraId, std::uint32_t megabytes);
    /// The largest pool buffer an image and a live-view frame of the camera
    /// may take (Camera::SetReceiveBufferLimits).
    ErrorCode SetReceiveBufferLimits(int cameraId, std::uint64_t imageBytes, std::uint64_t liveViewFrameBytes);
    /// Asks for a stored image's full image (CameraImageReady): -19 "You must
    /// enable image receiving, before requesting images" while receiving is
    /// off; -1 when the camera refuses. Blocks up to 2 s for the camera.
    ErrorCode RequestImage(int cameraId, std::uint32_t imageId);

    /// A captured image from the camera: posts CameraImageReady carrying a
    /// full image that holds the package's buffer (the package stays the
    /// caller's), while the id is open. On the camera's "KPX ch4 dlvr"
    /// thread; never throws.
    void FullImageArrivesFromKpx(int cameraId, const Q7::KPX::ImageReceivePackage& package) noexcept;

    /// A transfer's progress: ImageTransferBegin at position 0, else
    /// ImageTransferProgress, with the percent and the task's description,
    /// at most one per camera every 100 ms (the rest are dropped). On the
    /// camera's threads; never throws.
    void HandleImageTransferProgressUpdate(int cameraId, const Q7::Universal::ProgressTask& task) noexcept;

    // ---------------------------------------------------------------- live view
    // As the image members above. The setters read the camera's live-view
    // configuration, change one field and write it back, one at a time per
    // camera (two threads setting different fields both land). A camera
    // without channels 5.1 and 5.2 reads a zeroed record and refuses writes
    // (-1).

    /// Starts (true) or stops live view.
    ErrorCode EnableLiveView(int cameraId, bool enable);
    /// Auto while the camera chooses the format itself; else JPEG or RGB24,
    /// None (0, logged) for a format the SDK does not carry; -1
    /// "Unsupported LiveView image format!" for an unknown code.
    ErrorCode GetLiveViewFormat(int cameraId, Q7::Tavrin::ImageFormat& format);
    /// Auto lets the camera choose; JPEG and RGB24 fix the format; any other
    /// gives -1 "Subsystem cannot support the chosen LiveView format".
    ErrorCode SetLiveViewFormat(int cameraId, Q7::Tavrin::ImageFormat format);
    ErrorCode GetLiveViewCrop(int cameraId, Q7::Tavrin::ValueRect& crop);
    ErrorCode SetLiveViewCrop(int cameraId, const Q7::Tavrin::ValueRect& crop);
    ErrorCode GetLiveViewLightness(int cameraId, float& lightness);
    ErrorCode SetLiveViewLightness(int cameraId, float lightness);
    ErrorCode GetLiveViewPreferredMaxDimension(int cameraId, std::uint32_t& dimension);
    ErrorCode SetLiveViewPreferredMaxDimension(int cameraId, std::uint32_t dimension);
    /// The full image's size in pixels (the camera's live-view source area).
    ErrorCode GetLiveViewFullImageSize(int cameraId, std::uint32_t& width, std::uint32_t& height);
    /// -1 "Setting while balance point is not supported on this camera" when
    /// the camera does not offer it.
    ErrorCode SetLiveViewWhiteBalancePoint(int cameraId, const Q7::Tavrin::ValuePoint& point);
    /// The camera's live-view capabilities; empty with the lookup's code.
    std::pair<ErrorCode, std::optional<Q7::KPX::LiveView::Capabilities>>
    GetLiveViewCapabilities(int cameraId);

    /// A live-view frame from the camera: reports its figures to the camera's
    /// automatic format, then posts CameraNewLiveViewImage carrying it (its
    /// pool buffer held by the frame and every data pointer), while the id is
    /// open. A malformed frame is logged and dropped. On the camera's "KPX
    /// ch5 dlvr" thread; never throws.
    void LiveViewImageArrivesFromKpx(int cameraId, const Q7::KPX::ImageReceivePackage& package) noexcept;

    // ---------------------------------------------------------------- settings

    /// The time limits given to cameras opened from now on.
    void SetCameraTimings(const CameraTimings& timings);
    /// The folder of the machine-wide initialisation mutex's lock file for
    /// cameras opened from now on (the machine's own, /tmp, by default). Every
    /// process that opens cameras of one machine must use the same folder; a
    /// test gives its own so that it neither waits for nor excludes others.
    void SetInitializationLockFolder(std::string folder);
    /// The device manager (its static address list, for example).
    DeviceManager& GetDeviceManager() noexcept { return m_deviceManager; }

private:
    struct CameraEntry
    {
        std::int32_t id = 0;
        std::shared_ptr<Camera> camera;
        bool expertMode = false;
        bool hostStorageCapacitySet = false;
        bool removed = false;
        bool opening = true;       // until the open posted SdkCameraOpened
        bool disconnected = false; // its link was lost (and, once opened, that was posted)
        bool named = false;        // an event about the camera was posted
        std::string serialNumber;  // from the device information, read at open
        // Serialises the live-view setters' read-change-write of the camera's
        // configuration; taken outside every bridge lock.
        std::shared_ptr<std::mutex> liveViewConfigLock = std::make_shared<std::mutex>();
    };

    // The last progress event posted per camera, in steady-clock nanoseconds.
    struct ProgressThrottle
    {
        std::mutex lock; // guards lastPost
        std::map<std::int32_t, std::int64_t> lastPost;
    };

    // What the helper thread is asked to do, in order: close an id whose link
    // was lost (camera null), close a camera already taken out of the map, or
    // run a task.
    struct HelperJob
    {
        std::int32_t id = 0;
        std::shared_ptr<Camera> camera;
        std::function<void()> task;
    };

    void HelperThread();
    void RunHelperJob(HelperJob& job) noexcept;
    // Closes the camera taken out of the map under id and posts
    // SdkCameraClosed (to the closing SDK with closingSdk); on a thread that
    // is not the camera's.
    ErrorCode CloseTaken(int cameraId, std::shared_ptr<Camera> camera, bool closingSdk);
    // Closes the id on the calling thread (not one of the camera's).
    ErrorCode CloseNow(int cameraId, bool reportIfNotOpen, bool closingSdk);
    // Closes what was handed to the helper thread and is still queued, on the
    // calling thread (Deinit, once the helper thread has stopped).
    void CloseQueued() noexcept;
    void StopHelperThread(bool log) noexcept;
    // The camera is closing or closed: its id no longer holds it, or its link
    // was lost. A call that failed on it answers -10 instead.
    bool IsGone(int cameraId, Camera& camera);
    // A failure of a call on the camera: -10 "The camera is not open" when the
    // camera is gone meanwhile (IsGone), else code with message.
    ErrorCode FailOrGone(int cameraId, Camera& camera, ErrorCode code, const char* message,
                         const char* source);
    void StorePendingError(int cameraId, const Q7::Universal::UniversalError& error) noexcept;
    void RollBackOpen(int cameraId, const std::shared_ptr<Camera>& camera) noexcept;
    std::shared_ptr<Camera> FindCamera(int cameraId);
    std::shared_ptr<Camera> FindConnectedCamera(int cameraId);
    CameraTimings Timings();
    bool IsExpertMode(int cameraId);
    // The camera's live-view configuration lock; null when the id is not open.
    std::shared_ptr<std::mutex> LiveViewConfigLock(int cameraId);
    // Posts event while the camera's id is open and its link loss was not
    // posted: matched against the filters first, put into the queues under
    // the camera lock (so nothing about a camera comes after its
    // SdkCameraClosed), logged after it. False when it is not open.
    bool PostWhileOpen(int cameraId, const std::shared_ptr<const Q7::Tavrin::INotificationEvent>& event);

    DeviceManager m_deviceManager;

    std::mutex m_cameraLock; // guards m_cameras and m_nextCameraId
    std::map<std::int32_t, CameraEntry> m_cameras;
    std::uint32_t m_nextCameraId = 1; // never reused, but for a failed open's

    ProgressThrottle m_imageProgress;
    ProgressThrottle m_firmwareProgress;
    ProgressThrottle m_fileProgress;

    std::atomic<bool> m_helperRunning{true};
    std::unique_ptr<std::thread> m_helperThread;
    // Guards m_closeQueue, m_helperThread and changes of m_helperRunning. A
    // plain mutex, held only to change those; it may be taken while the camera
    // lock is held (a hand-off), never the other way round.
    std::mutex m_helperMutex;
    std::condition_variable m_helperWake;
    std::deque<HelperJob> m_closeQueue;

    std::atomic<bool> m_deinitializing{false};
    // Device notifications reach the SDK once the constructor is done: until
    // then the SDK instance does not exist, and looking for it would wait for
    // the constructor, which may wait for the thread that notifies.
    std::atomic<bool> m_notifying{false};

    std::mutex m_pendingErrorLock; // guards m_pendingErrors
    std::map<std::int32_t, Q7::Universal::ModuleError> m_pendingErrors;
    std::atomic<std::size_t> m_pendingErrorCount{0}; // entries of m_pendingErrors

    std::mutex m_timingsLock; // guards m_timings and m_lockFolder
    CameraTimings m_timings;
    std::string m_lockFolder = Q7::Platform::NamedMutex_Posix::kDefaultFolder;
};

} // namespace Q7::TavrinC
