#pragma once
// The flat interface: free functions that return an ErrorCode and leave it,
// with a message, as the calling thread's last error.
//
// Every function records its outcome in the last error of the calling thread
// (a record made by one thread is never seen by another), and a failure is also
// echoed into the SDK log as "<source padded to 32>: ErrorCode=<code>
// \"<message>\"". The SDK log is silent until a message printer (here) or a
// logging handler (Sdk.h) is installed.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/FileIds.h>
#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/ObjectFactory.h>
#include <TavrinCpp/PropertyValue.h>
#include <TavrinCpp/StoredImageHandle.h>

#include <cstdarg>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace Q7::TavrinC
{

using Q7::Tavrin::ErrorCode;

// ---------------------------------------------------------------- records
//
// The records the camera's image enumeration and live view exchange with the
// flat interface, as plain copies: the library converts its own to these.

/// A preview or tile request: ten 32-bit fields. A preview reads the image id,
/// the scale (1.0), the format code and field10 (100); a tile all of them.
struct ImageBufferRequestInfo
{
    std::uint32_t imageId = 0; ///< field 1
    std::uint32_t field2 = 0;  ///< a tile's height, in full-image pixels
    std::uint32_t field3 = 0;  ///< a tile's width
    std::uint32_t field4 = 0;
    std::uint32_t field5 = 0;
    std::uint32_t field6 = 0;  ///< a tile's x
    std::uint32_t field7 = 0;  ///< a tile's y
    float field8 = 0.0F;       ///< the scale
    std::uint32_t field9 = 0;  ///< the format code: 1 camera's choice, 2 JPEG, 4 RGB24
    std::uint32_t field10 = 0; ///< 100
};

/// The end of every image-enumeration record: the camera's status, this side's
/// assembly error, the reply's carried word and whether it arrived whole.
struct ImageEnumStatus
{
    std::uint32_t status = 0;        ///< 0x67000001 when the camera succeeded
    std::uint32_t assemblyError = 0; ///< 0 when the reply was assembled
    std::uint32_t carried = 0;
    bool complete = false;

    /// The camera reported an error, or the reply could not be assembled.
    bool HasFailed() const noexcept { return assemblyError != 0 || status != 0x67000001U; }
};

/// The fields every image-enumeration reply header carries after its message header.
struct ImageEnumReplyFields
{
    std::uint32_t fragmentFlags = 0;
    std::uint32_t status = 0;
    std::uint32_t firstChunkOffset = 0;
    std::uint32_t carried = 0;
};

/// The camera's image-enumeration capabilities.
struct ImageEnumCapabilities
{
    ImageEnumReplyFields reply;
    std::uint32_t value32 = 0;
    std::uint32_t maxTileWidth = 0;  ///< the widest tile a request may ask for
    std::uint32_t maxTileHeight = 0; ///< the highest tile
    std::uint32_t value44 = 0;
    std::uint32_t value48 = 0;
    std::uint32_t value52 = 0; ///< bit 0: previews of captures can be subscribed
    ImageEnumStatus assembleStatus;
};

/// Flags of SetImageEnumerationSubscriptions.
enum EnumSetSubscriptionFlags : std::uint32_t
{
    kSetSubscriptionFlags_None = 0,
    kSetSubscriptionFlags_Preview = 1, ///< a preview of every capture
};

/// Options of SetImageEnumerationSubscriptions: the preview's format.
enum EnumSubscriptionOptions : std::uint32_t
{
    kSubscriptionOptions_None = 0,
    kSubscriptionOptions_Jpeg = 1,
    kSubscriptionOptions_Rgb24 = 2,
};

/// The camera's answer to SetImageEnumerationSubscriptions.
struct SetSubscriptionStruct
{
    ImageEnumReplyFields reply;
    std::uint32_t flags = 0;  ///< the subscription flags as the camera holds them
    std::uint32_t option = 0; ///< the subscription option as the camera holds it
    ImageEnumStatus assembleStatus;
};

/// The state live view reports.
enum EnumLiveViewState : std::uint32_t
{
    kLiveViewState_Stopped = 0,
    kLiveViewState_Started = 1,
};

/// What the subscription callback is told.
enum SubscriptionNotifications : std::uint32_t
{
    kSubscriptionNotification_SubscriptionState = 0, ///< payload: the SetSubscriptionStruct
    kSubscriptionNotification_LiveViewState = 1,     ///< payload: the EnumLiveViewState
};

/// The payload of a subscription notification; the record is valid during the
/// call only.
using SubscriptionPayload = std::variant<std::monostate, const SetSubscriptionStruct*, EnumLiveViewState>;
/// The subscription callback. Runs on a thread of the camera: the
/// image-enumeration agent's notify thread ("KPX ch3 ntfy") for the answer to
/// SetImageEnumerationSubscriptions, a live-view thread for the live-view
/// state; one call at a time per camera. It may call any SDK function but
/// SetSubscriptionNotificationCallback for its own camera (-1): a close there
/// (CloseCamera, CloseSdk) is handed to a thread of the library's own and
/// returns at once, with SdkCameraClosed to follow. It must not wait for
/// what the camera's threads do (a close to end, an event of the camera):
/// the thread it runs on is one of them.
using SubscriptionCallback = std::function<void(SubscriptionNotifications, SubscriptionPayload&&)>;

/// The camera's live-view capabilities. A compression-quality bound the camera's
/// protocol lacks is absent, with its reason in the matching text.
struct LiveViewCapabilities
{
    std::uint32_t flags = 0; ///< bit 0: a white-balance point can be set
    std::uint32_t sourceWidth = 0;
    std::uint32_t sourceHeight = 0;
    std::uint32_t maxDimension = 0;
    float minQuality = 0.0F;
    float maxQuality = 0.0F;
    float minLightness = 0.0F;
    float maxLightness = 0.0F;
    std::uint32_t formatMask = 0; ///< bit 0 RGB24, bit 16 (0x10000) JPEG
    std::uint32_t colorMask = 0;
    std::optional<std::uint8_t> minCompQuality;
    std::string minCompQualityReason;
    std::optional<std::uint8_t> maxCompQuality;
    std::string maxCompQualityReason;
    bool jpeg = false; ///< bit 16 of the format mask: the automatic format is possible
};

// ---------------------------------------------------------------- SDK instance

/// Opens the SDK: 0 when it is open afterwards (also when it was open already,
/// with the message "SDK is already open"). After CloseSdk the SDK cannot be
/// opened again in the process: -3 "SDK not open (closed/deleted)". Thread-safe.
TAVRIN_API ErrorCode OpenSdk();

/// Closes the SDK for good: wakes and forgets every listener, closes the
/// cameras, ends the object factory; afterwards every flat call fails with -3.
/// When the SDK is not open, gives 0, or with reportIfNotOpen the recorded -3
/// ("Sdk not open" before the first OpenSdk, "SDK not open (closing)" while
/// another thread closes it, "SDK not open (closed/deleted)" afterwards).
/// Blocks while cameras close, and while another thread closes the SDK.
/// Thread-safe: of several concurrent calls one closes; the others act as if
/// the SDK were not open.
///
/// Called on a thread of the library (in a callback, a filter, the log), it
/// wakes and forgets the listeners there, hands the rest of the close to a
/// thread of the library's own and returns 0 at once: every flat call fails
/// with -3 from then on, and a CloseSdk on an application's thread (the one
/// at process exit among them) waits for that close to end. There it never
/// waits for a close another thread runs.
TAVRIN_API ErrorCode CloseSdk(bool reportIfNotOpen);

/// True while the SDK is open and not closing; otherwise false, with -3 in the
/// last error. Thread-safe.
TAVRIN_API bool IsSdkOpen();

/// The SDK version, 3.1.8. Thread-safe.
TAVRIN_API Q7::Tavrin::Version GetSdkVersion();
/// The compiler that built the library and its version ("GCC 12.2.0"). Thread-safe.
TAVRIN_API const char* GetSdkBuildCompiler();
/// The build's date and time ("Mmm dd yyyy hh:mm:ss"). Thread-safe.
TAVRIN_API const char* GetSdkBuildDate();
/// Eight lower-case hexadecimal digits naming the source revision of the build
/// ("00000000" when unknown). Thread-safe.
TAVRIN_API const char* GetSdkBuildHash();

// ---------------------------------------------------------------- last error

/// The calling thread's last code (0 when it made no call). Thread-safe.
TAVRIN_API ErrorCode GetErrorCode();

/// The calling thread's last message (empty when it made no call); valid until
/// the thread's next flat call. Thread-safe.
TAVRIN_API const char* GetErrorMessage();

/// Sets code to the calling thread's last code and returns it. When buffer is
/// not null and size is positive, also copies the last message into it: at most
/// size - 1 characters and a terminating NUL; a size of 0 or less writes
/// nothing. Thread-safe.
TAVRIN_API ErrorCode GetLastError(ErrorCode& code, char* buffer, int size);

// ---------------------------------------------------------------- SDK log

/// Receives every line of the SDK log: level 1 error, 2 warning or failure, 4
/// notable event, 5 progress or detail, 6 tracing; a printf format and its
/// arguments. Called on whatever thread logs, the library's own included (the
/// cameras' "KPX ..." threads, the USB and device threads, the library's
/// helper thread), and concurrently: it must be thread-safe. An exception it
/// throws is dropped. It is never called while the library holds a lock that
/// an SDK call needs: a line logged meanwhile reaches it once the lock is
/// released, on the same thread, already formatted ("%s" and its text). It
/// may call any SDK function; on a thread of the library a close (CloseCamera,
/// CloseSdk) is handed to another thread as described there, and it must not
/// wait for what the library's threads do. In verbose mode the lines of the
/// protocol layers come as those layers log them.
using MessagePrinter = void (*)(int level, const char* format, va_list args);

/// Replaces the message printer; null silences the SDK log. Replaces a logging
/// handler's dispatch as well. Thread-safe; a call of the previous printer may
/// still be running on another thread when it returns.
TAVRIN_API void SetMessagePrinter(MessagePrinter printer);

/// The verbose mode: while on, level-6 tracing is logged as level 5, and the log
/// of the protocol and platform layers reaches the SDK log (its debug lines at
/// level 5, information at 4, warnings at 2, errors at 1). Enabling twice routes
/// each line once. Thread-safe.
TAVRIN_API void EnablePG13(bool enable);

// ---------------------------------------------------------------- listeners
//
// A listener is an id with its own queue of events. Enable the notifications it
// wants, by prototype events (BuildNotificationEvent) or all of them ("catch
// all"), and let one thread wait for them. An event is queued once per matching
// registration: a listener with a catch-all registration and a matching
// prototype receives it twice. Events wait in the queue, without limit, until
// taken. All functions are thread-safe; only WaitForNotification blocks.
//
// A filter may be an INotificationEvent of the application's own. Its
// comparison (operator==, filter first) runs on the thread that posts the
// event: the library's threads mostly (a camera's "KPX ..." threads, the
// device threads, the helper thread), the application's own for the events of
// its calls (SdkCameraOpened, the end of a transfer). It runs while the
// library holds no lock that an SDK call needs, and may call the SDK as the
// MessagePrinter may. What it throws is caught: that registration does not
// take the event (the first failure of each registration is logged at level
// 2), every other one does.
//
// Without an SDK instance each function fails with -3 and re-reports the
// recorded reason ("SDK not open (closing)", "SDK not open (closed/deleted)"),
// except where said otherwise.

/// Registers a new listener and stores its id (0, 1, 2, ...; never reused) in
/// listenerId. Opens the SDK when it is not open yet. 0; -42 "Listener queue
/// already present" (the id is used up all the same).
TAVRIN_API ErrorCode RegisterListener(std::uint32_t& listenerId);

/// Removes the listener, its registrations and its queued events; a thread
/// waiting on it returns the SdkWakeUp event. 0; -45 (empty message) for an
/// unknown listener.
TAVRIN_API ErrorCode DeregisterListener(std::uint32_t listenerId);

/// Registers filter: events equal to it (filter first: same type; the same
/// camera when the filter has a camera id above 0; the same property id for a
/// property event) are queued for the listener. Checks, in order: -1 "The
/// notification filter is empty" for a null filter; for a filter with a camera,
/// -10 "You cannot enable notification on a closed camera" unless it is open;
/// -45 "Cannot enable notification on a not-initialized listener"; for a
/// property filter, -20 "You cannot enable notification for non-existing
/// property id" unless the camera has it (and the code of a failed look-up, -10
/// "The camera is not open" for a closed camera); -40 "The same notification
/// cannot be enabled more than once" for the same filter object twice (a second
/// object describing the same event is a second registration). On success
/// returns 0 and records nothing.
TAVRIN_API ErrorCode EnableNotification(std::uint32_t listenerId,
                                        std::shared_ptr<const Q7::Tavrin::INotificationEvent>&& filter);

/// Removes the listener's first registration whose filter equals filter (as a
/// prototype). 0; -43 (empty message) when none does, or for a null filter. The
/// listener itself is not checked.
TAVRIN_API ErrorCode DisableNotification(std::uint32_t listenerId,
                                         std::shared_ptr<const Q7::Tavrin::INotificationEvent>&& filter);

/// Queues every event for the listener (one catch-all registration at most). 0,
/// recording nothing; -45 "Cannot enable 'catch all' notification on a
/// not-initialized listener".
TAVRIN_API ErrorCode EnableCatchAllNotifications(std::uint32_t listenerId);

/// Removes the listener's catch-all registration. 0, recording nothing; -45
/// "Cannot disable 'catch all' notification on a not-initialized listener".
TAVRIN_API ErrorCode DisableCatchAllNotifications(std::uint32_t listenerId);

/// Removes every registration of the listener and wakes a thread waiting on it
/// (it returns the SdkWakeUp event). 0, also for an unknown listener.
TAVRIN_API ErrorCode DisableAllNotifications(std::uint32_t listenerId);

/// The listener's next event, with code 0. Blocks until one comes, for at most
/// timeoutMs milliseconds (0: without limit). Returns a new SdkWakeUp event
/// (camera id -1) with code 0 when woken by WakeUpWaitingThread,
/// DisableAllNotifications, DeregisterListener or CloseSdk, and at once when the
/// listener was removed or the SDK closed between finding the listener and
/// waiting. Otherwise an empty pointer and: -100 "Another thread is already
/// waiting for notifications on this listener" at once (the other thread waits
/// on); -44 for an unknown listener; -41 on time-out; -3 (empty message) without
/// an SDK or when it closes. The code is also the last error.
TAVRIN_API std::shared_ptr<const Q7::Tavrin::INotificationEvent>
WaitForNotification(std::uint32_t listenerId, ErrorCode& code, std::uint32_t timeoutMs);

/// Makes a thread waiting on the listener now return the SdkWakeUp event. A
/// wake-up while no thread waits is not remembered. 0, also for an unknown
/// listener.
TAVRIN_API ErrorCode WakeUpWaitingThread(std::uint32_t listenerId);

// ---------------------------------------------------------------- cameras
//
// Cameras are named by the id the open functions hand out (from 1, never
// reused). Every function below is thread-safe; those that talk to the camera
// block until it answered, within the camera's time limits. Without an SDK
// instance each fails with -3 and re-reports the recorded reason, unless said
// otherwise ("-3 Sdk not open": records -3 "Sdk not open"; "-3 silent":
// records -3 with an empty message). A camera id that names no open camera
// gives -10 "The camera is not open"; an error the camera reported on its own
// threads since the last call comes back once as -1 with its text. Failures
// of the protocol layers give -1 with a context text (the detail goes to the
// log), -90 connection limit, -91 authentication, -120 feature not supported.

/// Opens the USB camera with that serial number (the first USB camera for a
/// null or empty one), presenting clientIdentity (null: none), and stores its
/// id in cameraId. -11 "No such camera found"; -12 refused or lost, -16, -17
/// failed to start, -18 connect time-out, -90, -91. Blocks.
TAVRIN_API ErrorCode OpenUsbCamera(int& cameraId, const char* serialNumber, const char* clientIdentity);

/// Opens the camera at the IPv4 address text on port 7381, connecting for at
/// most timeoutSeconds (0 or less: the transport's limit). -15 "Empty or null
/// IP addresss" for a null or empty text, -15 "Provided IP is not a valid IPv4
/// address"; otherwise as OpenUsbCamera. Blocks.
TAVRIN_API ErrorCode OpenIpCamera(int& cameraId, const char* address, const char* clientIdentity,
                                  int timeoutSeconds);

/// Stops the camera's live view (a failure is only logged), closes it and
/// posts SdkCameraClosed. -10 when it is not open. Blocks; returns in bounded
/// time also during a transfer, which then fails. Called on a thread of the
/// library (in a callback, a filter, the log), which may be one of the
/// camera's own, it closes the id there and hands the camera to a thread of
/// the library's own, which stops live view, closes it and posts
/// SdkCameraClosed: 0 once handed over, without waiting (-3 when the SDK is
/// closing, which closes the camera itself). Calls on a camera that is
/// closing or closed answer -10.
TAVRIN_API ErrorCode CloseCamera(int cameraId);

/// Sets isOpen to whether cameraId names an open camera; returns 0 and records
/// nothing. Without an SDK instance fails as the listener functions do, with
/// isOpen false: isOpen is true only when this call answers that the camera is
/// open.
TAVRIN_API ErrorCode IsCameraOpen(int cameraId, bool& isOpen);

/// How the open camera is attached.
TAVRIN_API ErrorCode ConnectionType(int cameraId, Q7::Tavrin::TetherConnection& connection);

/// Fills cameras (emptied first) with every camera that can be opened or is
/// open: the USB cameras present, the network cameras found, and the open
/// cameras, whose connection is the one they report. The texts are strings of
/// the registered factory, released by the list. -4 "No ABIFactory
/// registered" without a factory. Blocks up to 1 s for the first USB listing.
TAVRIN_API ErrorCode GetCameraList(IVector<CameraSpecification>& cameras);

/// Releases the shutter. The image arrives as CameraImageReady once image
/// receiving is enabled.
TAVRIN_API ErrorCode TriggerCapture(int cameraId);

/// Tells the camera how many megabytes the host can still store.
TAVRIN_API ErrorCode SetHostStorageCapacity(int cameraId, unsigned int capacityMegabytes);

/// The largest buffer the library takes for one received image and for one
/// live-view frame, in bytes (by default 1 GiB and 64 MiB; each is rounded
/// down to 4 MiB, at least 4 MiB, at most 0xFFC00000). A camera that announces
/// more is refused that transfer, and the next call on the camera reports it
/// (-1). -3 Sdk not open, -10 camera not open.
TAVRIN_API ErrorCode SetReceiveBufferLimits(int cameraId, unsigned long long imageBytes,
                                            unsigned long long liveViewFrameBytes);

// ---------------------------------------------------------------- properties

/// The ids of the camera's properties, in the camera's order (replacing ids).
TAVRIN_API ErrorCode GetPropertyIds(int cameraId, std::vector<unsigned int>& ids);

/// The property's whole specification. Its group is given as the camera's
/// group path with "::" between the levels ("Exposure::Advanced"). -4 (empty
/// message) without a registered factory; -20 or -24 for a property the
/// camera has not or hides.
TAVRIN_API ErrorCode GetPropertySpecification(int cameraId, unsigned int propertyId,
                                              Q7::Tavrin::PropertySpecification& specification);

/// The property's current value, from the camera's cache (nothing is sent). 0
/// is recorded too; -4 (empty message) without a registered factory.
TAVRIN_API ErrorCode GetPropertyValue(int cameraId, unsigned int propertyId,
                                      Q7::Tavrin::PropertyValue& value);

/// Sets the property. Checks, in order: -4 "No object factory has been
/// initialized"; the specification's failures; -23 "PropertyValue is not the
/// same Type as the Property"; -201 "Property is marked as read-only"; -200
/// "Property is disabled". A double closer than 1e-6 to an entry of the value
/// list is sent as that entry. A value goes out exactly or not at all: one
/// that the property's type on the wire cannot hold (an integer beyond its
/// width or sign, a time or range member beyond 32 bits, a double beyond a
/// 32-bit float's largest) is refused with -25 and a message naming the value
/// and the type, sending nothing. Property 0x5B2E7 (expert mode, on the SDK's
/// side) skips the checks. Returns once the value is queued for the camera.
TAVRIN_API ErrorCode SetPropertyValue(int cameraId, unsigned int propertyId, Q7::Tavrin::PropertyValue value);

/// Sets has to whether the open camera cameraId has the property propertyId
/// (reading its value): 0 also when it has not. A failed read for another
/// reason gives its code, -10 "The camera is not open" for a camera that is not
/// open. Without an SDK instance fails as the listener functions do.
TAVRIN_API ErrorCode HasProperty(int cameraId, unsigned int propertyId, bool& has);

// ---------------------------------------------------------------- images

/// The camera's image-enumeration capabilities, waiting up to 500 ms for the
/// camera's report; the record is absent when none came. -3 silent.
TAVRIN_API std::pair<ErrorCode, std::optional<ImageEnumCapabilities>> GetImageEnumCapabilities(int cameraId);

/// One handle per image stored on the camera, in the camera's order (images is
/// emptied first). Blocks up to 3 s for the list. -1 (with the handles of what
/// arrived) when the camera's list reply failed or did not end in time: the
/// list may be partial. -3 silent.
TAVRIN_API ErrorCode
GetImageEnumeration(int cameraId, std::vector<std::shared_ptr<Q7::Tavrin::IStoredImageHandle>>& images);

/// Asks the camera to notify subscriptions (a preview of each capture); the
/// answer reaches the subscription callback. -3 Sdk not open.
TAVRIN_API ErrorCode SetImageEnumerationSubscriptions(int cameraId, EnumSetSubscriptionFlags flags,
                                                      EnumSubscriptionOptions options);

/// Starts or stops receiving captured images (CameraImageReady).
TAVRIN_API ErrorCode EnableImageReceiving(int cameraId, bool enable);

/// Asks for a stored image's basic information (CameraImageBasicImageInfo).
/// -3 silent.
TAVRIN_API ErrorCode RequestBasicImageInfo(int cameraId, unsigned int imageId);

/// Asks for a stored image (CameraImageReady). -19 before image receiving is
/// enabled. -3 Sdk not open.
TAVRIN_API ErrorCode RequestImage(int cameraId, unsigned int imageId);

/// Asks for a stored image's metadata. -3 Sdk not open.
TAVRIN_API ErrorCode RequestMetadata(int cameraId, unsigned int imageId);

/// Asks for a preview (CameraPreviewReady). -3 Sdk not open.
TAVRIN_API ErrorCode RequestPreview(int cameraId, const ImageBufferRequestInfo& request);

/// Asks for a tile (CameraTileReady). -3 Sdk not open.
TAVRIN_API ErrorCode RequestTile(int cameraId, const ImageBufferRequestInfo& request);

/// Rates a stored image (CameraImageEdited follows). -3 Sdk not open.
TAVRIN_API ErrorCode RateImage(int cameraId, unsigned int imageId, unsigned int rating);

/// Deletes a stored image (CameraImageRemoved follows). -3 Sdk not open.
TAVRIN_API ErrorCode DeleteImage(int cameraId, unsigned int imageId);

/// Replaces the camera's subscription callback (an empty one removes it);
/// after it returns the old callback is not called any more (it waits while
/// the callback runs; from the camera's own callback it gives -1). Returns 0
/// and records nothing.
TAVRIN_API ErrorCode SetSubscriptionNotificationCallback(int cameraId, const SubscriptionCallback& callback);

// ---------------------------------------------------------------- live view

/// Starts live view (CameraLiveViewStarted, then CameraNewLiveViewImage per frame).
TAVRIN_API ErrorCode EnableLiveView(int cameraId);
/// Stops live view (CameraLiveViewStopped).
TAVRIN_API ErrorCode DisableLiveView(int cameraId);
/// The camera's live-view capabilities; absent when the camera gave none. -3 silent.
TAVRIN_API std::pair<ErrorCode, std::optional<LiveViewCapabilities>> GetLiveViewCapabilities(int cameraId);
TAVRIN_API ErrorCode GetLiveViewCrop(int cameraId, Q7::Tavrin::ValueRect& crop);
/// Sets the crop; the current crop is not sent again (0, logged at level 2).
TAVRIN_API ErrorCode SetLiveViewCrop(int cameraId, const Q7::Tavrin::ValueRect& crop);
TAVRIN_API ErrorCode GetLiveViewFormat(int cameraId, Q7::Tavrin::ImageFormat& format);
/// JPEG, RGB24 or Auto; -1 "Subsystem cannot support the chosen LiveView
/// format" for another.
TAVRIN_API ErrorCode SetLiveViewFormat(int cameraId, Q7::Tavrin::ImageFormat format);
/// The full image's size in pixels, in width and height (both required).
TAVRIN_API ErrorCode GetLiveViewFullImageSize(int cameraId, unsigned int* width, unsigned int* height);
TAVRIN_API ErrorCode GetLiveViewLightness(int cameraId, float& lightness);
TAVRIN_API ErrorCode SetLiveViewLightness(int cameraId, float lightness);
TAVRIN_API ErrorCode GetLiveViewPreferredMaxDimension(int cameraId, unsigned int& dimension);
/// Sets the preferred maximum dimension; the current one is not sent again.
TAVRIN_API ErrorCode SetLiveViewPreferredMaxDimension(int cameraId, unsigned int dimension);
/// -1 "Setting while balance point is not supported on this camera" when the
/// camera's capabilities say so.
TAVRIN_API ErrorCode SetLiveViewWhiteBalancePoint(int cameraId, const Q7::Tavrin::ValuePoint& point);

// ---------------------------------------------------------------- files and firmware
//
// Transfers run on channel 1.0, one at a time per camera, and block until the
// camera acknowledged them. Null data of a non-zero size, or a null size
// pointer, gives -1 with a message naming the argument, sending nothing; so
// does a name or path that is not UTF-8. CloseCamera ends a transfer (failed).

/// Downloads the camera file fileId into a new file at path (UTF-8). -11 "No
/// such camera" for a camera not open; -110 "No such file id" for another id
/// than Log and Data outside expert mode; -1 "failed start file download", or
/// the camera's failure as -1 with its text. The result is recorded, a
/// failure with its own message (the transfers below alike).
TAVRIN_API ErrorCode DownloadFile(int cameraId, Q7::Tavrin::DownloadFileId fileId,
                                  std::filesystem::path path);

/// Uploads size bytes at data as the camera file fileId named fileName
/// (UTF-8), posting FileTransferBegin and FileTransferProgress while it runs,
/// then FileTransferDone (100) or, on every failure after the SDK was found,
/// FileTransferError (0). -110 (no message) for Firmware without a ".fwr" or
/// ".fwp" name, or another id outside expert mode; -1 when the camera refuses
/// or fails it, or for 4 GiB or more (nothing sent); -4 without a factory.
/// The result is recorded.
TAVRIN_API ErrorCode UploadFile(int cameraId, Q7::Tavrin::UploadFileId fileId, const unsigned char* data,
                                std::uint64_t size, const std::string& fileName);

/// Sends a firmware image, posting FirmwareTransferBegin and
/// FirmwareTransferProgress, then FirmwareTransferDone (100) or
/// FirmwareTransferError (0) as UploadFile does.
TAVRIN_API ErrorCode UpdateCameraFirmware(int cameraId, const unsigned char* data, std::uint64_t size);

/// The camera's diagnostics log, unscrambled; absent on failure. A success is
/// recorded (empty message).
TAVRIN_API std::pair<ErrorCode, std::optional<std::vector<unsigned char>>> GetDiagnosticsLog(int cameraId);

/// Writes the camera's diagnostics log into a new file at path: {0, whether it
/// was written}; without an SDK instance {-3, false}. Written: 0 is recorded
/// (empty message). Not written: the last error holds the reason recorded
/// during this call (the camera not open: -10), or 0 and an empty message when
/// the camera only refused.
TAVRIN_API std::pair<ErrorCode, bool> SaveDiagnosticsLog(int cameraId, std::filesystem::path path);

// ---------------------------------------------------------------- object factories

/// Registers factory (not owned) as the maker of the texts and lists the flat
/// functions hand out; CloseSdk ends it through its Terminate. 0; without an SDK
/// instance the re-reported -3. Thread-safe.
TAVRIN_API ErrorCode SetFactory(ObjectFactory& factory);

/// Stores the registered factory in factory: 0, recording nothing; -4 (empty
/// message) when none is registered; without an SDK instance the re-reported
/// -3. Thread-safe.
TAVRIN_API ErrorCode GetFactory(ObjectFactory*& factory);

/// Registers the library's default factory (SetFactory) once for the process:
/// the first call that registers it returns 0, and so does every later call,
/// which does nothing. A call that cannot register it (no SDK: -3) frees it and
/// returns the code; the next call tries again. Thread-safe.
TAVRIN_API ErrorCode RegisterDefaultFactory();

} // namespace Q7::TavrinC
