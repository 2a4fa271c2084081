// The KPX camera object: one opened camera's whole connection. It owns the
// transport device, one channel transport per pipe, the device information
// and channel list read over channel 0.0, and one agent per offered channel
// (1.0 programming, 2.0 device control, 3.0 image enumeration, 4.1 and 4.2
// image transfer, 255.0 development). Every request of the layer above
// reaches the agents through it, and every notification and error of its
// threads reaches the layer above through it.
//
// Order of use: construct, SetClientIdentity, set the error callback,
// Initialize, InitializeAgents, set the notification sinks, StartDeviceControl,
// requests..., Close (InitializeAgents may follow again), destroy.
#pragma once

#include "Agents/Development/KPXDevelopment.h"
#include "Agents/DeviceControl/KPXDeviceControl.h"
#include "Agents/Enumeration/KPXEnumeration.h"
#include "Agents/Enumeration/KPXEnumerationAgent.h"
#include "Agents/ImageEnumeration/KPXImageEnumeration.h"
#include "Agents/ImageTransfer/KPXImageTransfer.h"
#include "Agents/ImageTransfer/KPXLiveView.h"
#include "Agents/Programming/KPXProgramming.h"
#include "Channel/KPXChannel.h"
#include "Channel/KPXChannelTransport.h"
#include "Q7PlatformNamedMutex_Posix.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalProgress.h"
#include "Transport/BufferPool.h"
#include "Transport/KPXDeviceMoniker.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXPacket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

namespace Q7::KPX
{

class Value;

/// The time limits of a camera's agents, of its Close and StopDeviceControl.
/// The defaults are the protocol's; tests shorten them.
struct CameraTimings
{
    std::uint32_t enumerationReplyMs = EnumerationAgent::kReplyTimeoutMs;   ///< a channel 0.0 reply
    ChannelTimings channel{};                                               ///< the handshakes of 1.0 and 2.0
    ProgrammingTimings programming{};                                       ///< the programming agent's waits
    std::uint32_t descriptorWaitMs = DeviceControlAgent::kDescriptorWaitMs; ///< StartDeviceControl's wait
    ImageEnumerationTimings imageEnumeration{}; ///< the image-enumeration agent's waits and reply limit
    std::uint32_t capabilitiesWaitMs = 500;     ///< GetImageEnumCapabilities: wait for the capabilities
    ImageTransferTimings imageTransfer{};       ///< the image-transfer agent's waits
    LiveViewTimings liveView{};                 ///< the live-view agent's waits
    /// StartTransfer, PauseTransfer, StopTransfer: the wait for the camera's
    /// transfer status.
    std::uint32_t transferSwitchWaitMs = 10000;
    /// The largest payload a received development message may carry.
    std::uint64_t developmentMessageLimit = Development::kDefaultMessageLimit;
    /// How long Close (StopDeviceControl) lets the agents and channels end by
    /// themselves before it closes every pipe of the camera (the pipe of
    /// channel 2.0, as lost), which ends whatever still waits on one.
    std::uint32_t closeBoundMs = 10000;
    /// How long a packet that has begun to arrive may stall before its pipe is
    /// closed as lost, once the channel gave it up (ChannelTransport).
    std::uint32_t midPacketStallMs = kMidPacketStallMs;
};

/// One opened camera.
///
/// Threads: every public member may be called from any thread (thread-safe).
/// The lifecycle operations (Initialize, InitializeAgents, Close, Shutdown,
/// the notification setters) are serialised by the camera's main lock. Each
/// agent sits in a slot with a lock of its own, taken for the whole of every
/// call into that agent: a request waits for the one before it on the same
/// agent (a transfer holds channel 1.0's slot for its whole duration).
///
/// Callbacks: the notification sinks run on the notify threads of the
/// device-control, image-enumeration and image-transfer agents and of the
/// transport device;
/// the subscription callback on the image-enumeration agent's notify thread;
/// the development receiver on the development agent's receive thread; the
/// error callback on whichever thread of the camera met the error; progress on
/// the thread of the transfer. They may call the camera's queries (device
/// information, properties, the Has... and Is... queries), which never wait
/// for its lifecycle, and CancelTask. From any of its callbacks the camera refuses what waits
/// for or ends the threads that run them: its lifecycle operations, the
/// notification setters, the start and stop of device control, image
/// enumeration, development and programming, and the transfers. Each raises
/// ModuleError 0x650065 "KPX camera %ls cannot be called from the camera's own
/// callbacks." (logged); hand such work to another thread.
class Camera : public Universal::ErrorDispatcher, public Universal::ProgressProvider
{
public:
    /// The camera's notification ids.
    enum EnumNotify : std::uint32_t
    {
        kNotify_DeviceDisconnected = 1,           ///< the link to the camera is lost; no payload
        kNotify_PropertyAdded = 11,               ///< payload: the property ids
        kNotify_PropertyRemoved = 12,             ///< payload: the property ids
        kNotify_PropertyDescriptorChange = 13,    ///< payload: the property ids
        kNotify_PropertyStateChange = 14,         ///< payload: the property ids
        kNotify_TransferStatusChange = 21,        ///< payload: TransferStatus
        kNotify_LiveViewStateChange = 31,         ///< payload: the state itself (see NotifyPayload)
        kNotify_LiveViewCapabilitiesChange = 32,  ///< payload: LiveView::Capabilities
        kNotify_LiveViewConfigurationChange = 33, ///< payload: LiveView::Configuration
        kNotify_ImageAdded = 51,                  ///< payload: ImageListItem
        kNotify_ImageRemoved = 52,                ///< payload: ImageListItem
        kNotify_ImageListChanged = 53,            ///< no payload: the whole list arrived
        kNotify_MetadataReady = 54,               ///< payload: MetadataItems
        kNotify_BasicImageInfoReady = 55,         ///< payload: BasicImageInfo
        kNotify_PreviewReady = 56,                ///< payload: ImageBuffer (a preview)
        kNotify_TileReady = 57,                   ///< payload: ImageBuffer (a tile)
        kNotify_ImageChanged = 58,                ///< payload: ImageListItem
    };

    /// The payload of a notification. The property ids of 11 to 14 are a
    /// `const std::vector<unsigned int>` that the payload points at without
    /// owning it: valid during the call only (copy what is kept); so is the
    /// TransferStatus of 21 and the live-view records of 32 and 33. The
    /// live-view state of 31 is the payload pointer's own value (0 stop, 1
    /// start, 2 pause; `reinterpret_cast<std::uintptr_t>(payload.get())`),
    /// pointing at nothing. The records
    /// of 51 to 58 (types in ImageEnumeration) are owned by the payload: a
    /// sink may keep a copy of it, and the record is freed when the last copy
    /// goes.
    using NotifyPayload = std::shared_ptr<const void>;
    /// The notification sinks.
    using NotifyReceiver = Universal::FunctionPointer2<void, EnumNotify, const NotifyPayload&>;
    using NotifyFunction = std::function<void(EnumNotify, const NotifyPayload&)>;
    /// The progress callback of a transfer.
    using ProgressFunction = std::function<void(const Universal::ProgressTask&)>;
    /// The kinds of the subscription callback.
    enum SubscriptionNotifications : std::uint32_t
    {
        kSubscriptionNotification_SubscriptionState = 0, ///< the camera answered SetSubscriptions
        kSubscriptionNotification_LiveViewState = 1,     ///< the live-view state changed
    };
    /// What the subscription callback receives: for a subscription state the
    /// camera's answer, valid during the call only; for a live-view state the
    /// new state.
    using SubscriptionPayload = std::variant<std::monostate, const ImageEnumeration::SetSubscriptionStruct*,
                                             LiveView::EnumLiveViewState>;
    using SubscriptionFunction = std::function<void(SubscriptionNotifications, const SubscriptionPayload&)>;
    /// The receiver of development messages: (type, payload or null, size),
    /// valid during the call only.
    using DevelopmentReceiver = DevelopmentAgent::MessageReceiver;
    /// The camera-level image receiver: (image id, file name, the image's
    /// first byte, its size, the pool buffer that holds it). Name and bytes
    /// are valid during the call; a copy of the buffer keeps the bytes.
    using ImageReceiver = Universal::FunctionPointer5<void, std::uint32_t, const char*, const std::uint8_t*,
                                                      std::uint32_t, const BufferPtr&>;
    using ImageReceiverFunction =
        std::function<void(std::uint32_t, const char*, const std::uint8_t*, std::uint32_t, const BufferPtr&)>;
    /// The receiver of the image-transfer agent's finished images.
    using ImageReceiveCallback = ImageTransferAgent::ImageReceiver;
    /// The receiver of live-view frames.
    using LiveViewImageCallback = LiveViewAgent::ImageReceiver;
    using ImageListCallback = ImageEnumerationAgent::ImageListCallback;
    using ImageBufferRequestInfo = ImageEnumeration::ImageBufferRequestInfo;
    using ImageEnumCapabilities = ImageEnumeration::Capabilities;
    using Property = DeviceControlAgent::Property;
    using PropertyDescriptor = DeviceControlAgent::PropertyDescriptor;
    using PropertyState = DeviceControlAgent::PropertyState;

    /// The name of the machine-wide mutex held while a camera opens its
    /// connection, across all processes; its lock file lies in the folder
    /// given to the constructor (the machine's lock folder, /run/lock, unless a
    /// test says otherwise).
    static constexpr const char* kInitializationMutexName = "Q7USBKPXDeviceInitilizer";

    /// Copies the moniker, has the device manager make the transport device
    /// for it (DeviceManager::CreateDevice; closed) and installs the camera's
    /// link-loss handler on it. Opens nothing. `initializationLockFolder` holds
    /// the lock file of the machine-wide initialisation mutex (tests give a
    /// folder of their own, so that they never wait for the machine's cameras).
    /// Raises what making the device raises (an unknown moniker type).
    explicit Camera(const Transport::DeviceMoniker& moniker, const CameraTimings& timings = {},
                    const char* initializationLockFolder = Platform::NamedMutex_Posix::kDefaultFolder);
    /// As above, on a transport device made elsewhere (closed; for example a
    /// USB device on another host backend); the moniker is the device's.
    /// Asserts "m_pTransportDevice != NULL" when `device` is null.
    explicit Camera(std::unique_ptr<Transport::DeviceInterface> device, const CameraTimings& timings = {},
                    const char* initializationLockFolder = Platform::NamedMutex_Posix::kDefaultFolder);
    /// Shutdown (errors reported as internal errors), then frees the device.
    /// Blocks.
    ~Camera() override;

    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // ---- lifecycle

    /// Digests the authentication text (SHA-256; null or empty: 32 zero
    /// bytes) into the client identity and passes it to the agents of 1.0,
    /// 2.0, 3.0 and 4.x, which present it when their channels open; agents built
    /// later get it when they are built. Channels 0.0 and 255.0 never present
    /// it. Blocks while an agent's slot is held.
    void SetClientIdentity(const char* authenticationText);

    /// As SetClientIdentity, for the development identity, which only the
    /// agent of 255.0 presents. Raises ModuleError 0x15E0018 "Kpx Channel not
    /// supported!" (plain) when the camera has no such agent.
    void SetDevelopmentClientIdentity(const char* authenticationText);

    /// Opens the connection and reads what the camera offers: under the
    /// machine-wide initialisation mutex, opens the device, starts the control
    /// channel transport, opens channel 0.0 and reads the device information
    /// and the channel list; groups the offered channels by pipe into channel
    /// transports (not started). With keepControlTransport (TCP) the control
    /// transport and the channel 0.0 agent stay; without (USB) both go and the
    /// device is closed again. Answers 0 (also when already initialised), the
    /// device's open result, the control transport's start result (2 connect
    /// time-out, 4 refused or lost), or 4 when channel 0.0 fails (logged as a
    /// warning; also for a camera that stalls in the middle of a reply: its
    /// pipe is closed as lost once the reply limit and the mid-packet stall
    /// limit have passed). Raises the initialisation mutex's SystemError_Posix
    /// when its lock file cannot be opened or locked (reported as an internal
    /// error with "KPX camera flock(LOCK_EX)"; nothing is opened then), what
    /// opening channel 0.0 raises (ModuleError 0x15E000F when the camera's
    /// connection limit is reached, Channel::Open) and what reading a
    /// malformed reply raises (EnumerationAgent). Every failure leaves the
    /// camera as before: not initialised, the device closed. Blocks (the
    /// channel 0.0 reply limit bounds a silent camera).
    std::uint32_t Initialize(bool keepControlTransport);

    /// Builds the agents of the offered channels (1.0 programming, 2.0 device
    /// control, 3.0 image enumeration, 4.1 and 4.2 image transfer (both
    /// needed), 255.0 development) with their protocol
    /// versions, the client identity (255.0: the development identity) and
    /// the camera's error, progress and notification forwarders; starts none
    /// of them. First, under the initialisation mutex, opens the device when it
    /// is closed and starts every channel transport that is not running.
    /// `allocator` is the memory of the image agents' buffers (null: the
    /// camera makes one heap allocator, kept for later builds).
    /// Answers 0 (also when the agents already exist), or the device's open
    /// result or the failing channel transport's start result (after Close).
    /// Raises ModuleError 0x650069 (plain) when not initialised, the
    /// initialisation mutex's error (as Initialize) and what building an agent
    /// raises (after Close). Blocks.
    std::uint32_t InitializeAgents(std::shared_ptr<IAllocator<unsigned char>> allocator);

    /// Stops and deletes the agents, stops the channel transports and closes
    /// the device; the camera stays initialised, ready for InitializeAgents.
    /// Transfers in progress end at once (failed). Whatever still waits on a
    /// camera that stopped reading or stalled mid-packet is ended by closing
    /// every pipe once CameraTimings::closeBoundMs has passed. A link lost
    /// before Close closed the device is notified (once) before it returns.
    /// Nothing when not initialised. Raises nothing (errors are reported as
    /// internal errors). Blocks.
    void Close();

    /// Close, then forgets the channel transports and the channel list; the
    /// camera is no longer initialised. Raises nothing. Blocks.
    void Shutdown();

    /// Initialize succeeded and no Shutdown followed.
    [[nodiscard]] bool IsInitialized() const;
    /// The agents exist (InitializeAgents succeeded and no Close followed).
    [[nodiscard]] bool AgentsInitialized() const;
    /// The device is open and the agents exist.
    [[nodiscard]] bool IsOpen() const;

    /// The camera's device information, as the last Initialize read it. Never
    /// waits for the lifecycle operations. Raises ModuleError 0x650069 (plain)
    /// when not initialised.
    [[nodiscard]] Enumeration::DeviceInfo GetDeviceInfo() const;
    /// The camera's firmware version, packed and as text. Raises as
    /// GetDeviceInfo.
    [[nodiscard]] Enumeration::FirmwareVersion GetFirmwareVersion() const;
    /// The moniker the camera was made from.
    [[nodiscard]] const Transport::DeviceMoniker& GetMoniker() const noexcept { return m_moniker; }

    // ---- notifications (see the class comment for the sinks' threads)

    /// Replaces the function sink (an empty function removes it). Waits while a
    /// notification runs; afterwards the old function is not called any more.
    void SetNotifyCallback(NotifyFunction function);
    /// Replaces the function-object sink with a clone (an empty or unbound one
    /// removes it); as SetNotifyCallback otherwise. The function-object sink is
    /// called before the function sink.
    void SetNotifyReceiver(const NotifyReceiver& receiver);
    /// Replaces the subscription callback (an empty function removes it).
    /// Waits while it runs.
    void SetSubscriptionNotificationCallback(SubscriptionFunction function);
    /// Replaces the development receiver with a clone (an empty or unbound one
    /// removes it). Waits while it runs.
    void SetDevelopmentReceiver(const DevelopmentReceiver& receiver);
    /// Replaces the camera-level image receiver: the function-object form with
    /// a clone (an empty or unbound one removes it), the function form with
    /// the function. Waits while DeliverImage runs.
    void SetImageReceiver(const ImageReceiver& receiver);
    void SetImageReceiver(ImageReceiverFunction function);
    /// Calls the camera-level image receivers, the function object first, with
    /// these arguments; what either throws is logged as ModuleError 0x6500CB
    /// "KPX camera image receiver". Nothing in the library calls it: the
    /// agent's images go to SetImageReceiveCallback's function.
    void DeliverImage(std::uint32_t imageId, const char* fileName, const std::uint8_t* data,
                      std::uint32_t size, const BufferPtr& buffer);

    // ---- channel 2.0, device control. Without the agent each answers its
    // "empty" result: false, an empty list, 0, or nothing.

    /// Starts the agent (opens channel 2.0, builds the property cache, waits up
    /// to the descriptor wait). Raises what DeviceControlAgent::Start raises:
    /// ModuleError 0x15E0010 when the camera refuses the authentication code,
    /// 0x15E000F at its connection limit. Blocks.
    void StartDeviceControl();
    /// Stops the agent. The agent's slot is not locked meanwhile: the notify
    /// callback may read properties while the agent stops. Bounded as Close:
    /// a stop still running after CameraTimings::closeBoundMs (a camera that
    /// takes no more bytes) closes the pipe of channel 2.0 as lost, and a
    /// camera stalled in the middle of a packet has that pipe closed after the
    /// mid-packet stall limit. Blocks.
    void StopDeviceControl();
    [[nodiscard]] bool IsDeviceControlStarted() const;

    /// Copies from the agent's cache; true when found.
    bool GetProperty(std::uint32_t id, Property& property) const;
    bool GetPropertyDescriptor(std::uint32_t id, PropertyDescriptor& descriptor) const;
    bool GetPropertyState(std::uint32_t id, PropertyState& state) const;
    [[nodiscard]] std::vector<unsigned int> GetPropertyIds() const;
    [[nodiscard]] std::list<Property> GetPropertyList() const;
    /// The property's KPX value type code; 0 when unknown.
    [[nodiscard]] std::uint32_t GetPropertyType(std::uint32_t id) const;
    [[nodiscard]] bool HasProperty(std::uint32_t id) const;

    /// DeviceControlAgent::SetPropertyValue (its result and errors).
    bool SetPropertyValue(std::uint32_t id, const Value& value);
    /// DeviceControlAgent::RefreshProperty / RestorePropertyValue.
    bool RefreshProperty(std::uint32_t id);
    bool RestorePropertyValue(std::uint32_t id);
    /// Execute command 2 with the parameter.
    void ExecuteCommand(std::uint32_t parameter);
    /// Execute command 1 (shutter release).
    void ShutterRelease();

    // ---- channel 1.0, programming. Without the agent each raises ModuleError
    // 0x650068 "KPX camera programming." (plain). A transfer started while the
    // agent is stopped starts it around the transfer and stops it afterwards.
    // Transfers end (failed) when Close begins. Results and errors are those
    // of the ProgrammingAgent operation named.

    /// SendFirmwareData, reporting to `progress` (when empty: to the camera's
    /// own progress callbacks).
    bool UpdateFirmware(const ProgressFunction& progress, const std::uint8_t* data, std::uint64_t size);
    /// SendData, reporting to `progress` (when empty: to the camera's own
    /// progress callbacks).
    bool UploadData(const ProgressFunction& progress, std::uint32_t type, const std::uint8_t* data,
                    std::uint64_t size, const wchar_t* name);
    /// SendData, reporting to the camera's own progress callbacks.
    bool SendData(std::uint32_t type, const std::uint8_t* data, std::uint64_t size, const wchar_t* name);
    /// SendFile.
    bool SendFile(std::uint32_t type, const wchar_t* path);
    /// SendFirmwareFile, without starting the agent: fails (false) while it is
    /// stopped.
    bool SendFirmwareFile(std::uint32_t type, const wchar_t* path);
    /// DownloadLog: the log's bytes.
    std::vector<std::uint8_t> DownloadLog(std::uint32_t kind, bool descramble);
    /// DownloadLogToFile.
    bool DownloadLogToFile(std::uint32_t kind, const wchar_t* path, bool descramble);
    /// Starts the agent (ProgrammingAgent::Start).
    void StartProgramming();
    /// Stops the agent; without one logs ModuleError 0x650068 "KPX camera
    /// programming." as an error instead of raising.
    void StopProgramming();
    [[nodiscard]] bool IsProgrammingStarted() const;

    // ---- channel 3.0, image enumeration. Without the agent the requests
    // raise ModuleError 0x15E0018 "Kpx Channel not supported!" (plain),
    // sending nothing; results and errors are otherwise those of the
    // ImageEnumerationAgent operation named. The answers arrive as
    // notifications 51 to 58, the capabilities through
    // GetImageEnumCapabilities, a subscription's answer through the
    // subscription callback.

    /// ImageEnumerationAgent::WaitForImageList (waits up to 3000 ms): answers
    /// whether the list handed over is complete.
    bool RequestImageList(const ImageListCallback& callback);
    bool RequestBasicImageInfo(std::uint32_t imageId);
    bool RequestMetadata(std::uint32_t imageId);
    bool RequestPreview(const ImageBufferRequestInfo& info);
    bool RequestTile(const ImageBufferRequestInfo& info);
    bool RequestCapabilities();
    bool RateImage(std::uint32_t imageId, std::uint32_t rating);
    bool DeleteImage(std::uint32_t imageId);
    bool SetSubscriptions(std::uint32_t flags, std::uint32_t options, std::uint8_t optionByte);
    /// Starts the agent (ImageEnumerationAgent::Start); nothing without one.
    void StartImageEnumeration();
    /// Stops the agent; nothing without one. Blocks. The agent's slot is not
    /// locked meanwhile: the notify sinks may make requests while it stops.
    void StopImageEnumeration();
    [[nodiscard]] bool IsImageEnumerationRunning() const;
    /// The capabilities the camera last reported (after every open of 3.0),
    /// waiting up to 500 ms for a first report; empty when none came. Blocks.
    [[nodiscard]] std::optional<ImageEnumCapabilities> GetImageEnumCapabilities() const;

    // ---- channels 4.1 and 4.2, image transfer. Without the agent each answers
    // its "empty" result (false, 0, a zero status) or does nothing. Results
    // and errors are those of the ImageTransferAgent operation named. The
    // callbacks below run on "KPX ch4 dlvr", the agent's id 21 on "KPX ch4
    // ntfy"; there the forwarders that do not switch or stop the agent may be
    // used (RequestImage, the status queries), while StartTransfer,
    // PauseTransfer, StopTransfer and SetImageReceiveCallback raise ModuleError
    // 0x650066 (they would wait for those threads).

    /// Starts image receiving: unless the agent's transfer is enabled already
    /// (then logs "KPX camera Ignoring request to StartTransfer() - already
    /// started."), starts the agent's threads (Open), enables the transfer and
    /// waits for the camera's transfer status. Raises ModuleError 0x15E0019
    /// "KPX ch4 One of the ImageTransfer sub-channels could not open!" at once
    /// when the agent's threads do not run after Open, what Open raises, and
    /// ModuleError 0x6500CA when the wait for the status ends otherwise than by
    /// the camera's status: the link lost, Close, or the switch wait passed.
    /// Without the agent logs the warning "KPX camera Ignoring request to
    /// StartTransfer() - no image-transfer-agent!". Blocks.
    void StartTransfer();
    /// Holds images on the camera: when enabled, disables the transfer and
    /// waits for the camera's status (raises 0x6500CA as StartTransfer);
    /// otherwise logs "KPX camera Ignoring request to PauseTransfer() - already
    /// paused/stopped.". Blocks.
    void PauseTransfer();
    /// As PauseTransfer, then stops the agent's threads, also when the
    /// transfer was disabled already or the wait failed (then raises 0x6500CA
    /// after the threads stopped). Blocks.
    void StopTransfer();
    /// The agent's transfer is enabled and its threads run.
    [[nodiscard]] bool IsImageReceivingEnabled() const;
    /// ImageTransferAgent::RequestImage (waits up to 2000 ms for the camera).
    bool RequestImage(std::uint32_t imageId);
    void SetHostStorageSize(std::uint32_t megabytes);
    std::uint32_t GetHostStorageSize();
    std::uint32_t GetPendingImageCount();
    [[nodiscard]] TransferStatus GetTransferStatus();
    /// Passes the receiver of finished images to the agent, which stops its
    /// threads first (they start again with the next StartTransfer).
    void SetImageReceiveCallback(ImageReceiveCallback callback);
    /// Passes the image-transfer progress callback to the agent.
    void SetImageTransferProgressCallback(ProgressFunction callback);
    /// The largest pool buffer one image and one live-view frame may take, in
    /// bytes (by default 1 GiB and 64 MiB; each rounded down to the pools' 4
    /// MiB step, at least one step, at most 0xFFC00000). A DataBegin that
    /// announces more is refused (DataAbort) and reported to the error
    /// callback. Kept for agents built later. Thread-safe; waits while a
    /// transfer or live-view switch runs.
    void SetReceiveBufferLimits(std::uint64_t imageBytes, std::uint64_t liveViewFrameBytes);

    // ---- channels 5.1 and 5.2, live view. Without the agent each answers its
    // "empty" result (false, 0, a zeroed record with its optional fields
    // absent) or does nothing. Results and errors are those of the
    // LiveViewAgent operation named. The frame callback runs on "KPX ch5
    // dlvr", notifications 31 to 33 on "KPX ch5 ntfy"; there every forwarder
    // below may be used except StartLiveView and SetLiveViewImageCallback
    // (ModuleError 0x650066 when they would have to start or wait for those
    // threads).

    /// Open (starting the agent's threads), then Start. Blocks.
    void StartLiveView();
    /// While the agent's threads run: Stop / Pause.
    void StopLiveView();
    void PauseLiveView();
    /// While the agent's threads run: SetConfiguration; otherwise raises
    /// ModuleError 0x15E006B "Cannot set LiveView config when KPX LiveView
    /// agent is not started!" (plain).
    void SetLiveViewConfiguration(const LiveView::Configuration& configuration);
    /// Open, then the agent's operation.
    void SetLiveViewAutoFormat(bool enable);
    bool SetLiveViewWhiteBalancePoint(std::uint32_t x, std::uint32_t y);
    [[nodiscard]] bool IsLiveViewWhiteBalancePointSupported();
    [[nodiscard]] std::uint32_t GetLiveViewState();
    bool GetLiveViewPreciseTime(std::uint32_t& time);
    [[nodiscard]] LiveView::Capabilities GetLiveViewCapabilities();
    [[nodiscard]] LiveView::Configuration GetLiveViewConfiguration();
    /// Whether the automatic format is on (false without the agent).
    [[nodiscard]] bool IsLiveViewAutoFormat() const;
    /// A frame was delivered: its figures go to the automatic format. Meant
    /// for the frame callback (on "KPX ch5 dlvr"): when another forwarder
    /// holds the agent's slot, the frame's figures are skipped rather than
    /// waited for (that forwarder may be waiting for this thread).
    void LiveViewImageDelivered(std::uint32_t word37, std::uint32_t payloadSize, std::uint32_t imageSize,
                                bool jpeg);
    /// Passes the frame callback to the agent.
    void SetLiveViewImageCallback(LiveViewImageCallback callback);

    // ---- channel 255.0, development

    /// DevelopmentAgent::SendMessage without a time-out. Raises ModuleError
    /// 0x15E0018 "Kpx Channel not supported!" (plain) without the agent.
    void SendDevelopmentMessage(std::uint8_t type, const void* data, std::uint32_t size);
    /// DevelopmentAgent::Start / StopThreads; nothing without the agent.
    /// Nothing in the library starts it.
    void StartDevelopment();
    void StopDevelopment();

    /// Passes a cancel request on to the image-transfer agent's progress
    /// provider, then to the programming agent (ProgrammingAgent::CancelTask):
    /// a transfer of that task ends promptly as cancelled. Does not wait for
    /// the transfer or a transfer switch, whose calls hold the agents' slots:
    /// callable from another thread and from the progress callback.
    void CancelTask(std::uint32_t type, std::uint32_t id) override;

    // ---- the camera itself

    [[nodiscard]] bool HasProgramming() const;
    [[nodiscard]] bool HasDeviceControl() const;
    [[nodiscard]] bool HasImageEnumeration() const;
    [[nodiscard]] bool HasImageTransfer() const;
    [[nodiscard]] bool HasLiveView() const;
    [[nodiscard]] bool HasDevelopment() const;
    /// 0 unless IsOpen; else how the device is attached (EnumConnectionType).
    [[nodiscard]] std::uint32_t GetConnectionType() const;
    /// Set when the link to the camera is lost, and while the device is closed.
    /// For waiting.
    [[nodiscard]] Platform::EventStatus& GetDisconnectedEvent();

private:
    // One agent with the lock taken for every call into it.
    template <typename Agent>
    struct Slot
    {
        mutable Platform::Mutex_Posix lock; // guards `agent` and every call into it
        std::unique_ptr<Agent> agent;
    };

    // One pipe in use with the channels that run on it.
    struct TransportEntry
    {
        std::uint32_t pipeId = 0;
        std::unique_ptr<ChannelTransport> transport;
        Enumeration::ChannelList descriptors;
    };

    // The descriptor of an offered channel with the transport that carries it.
    struct OfferedChannel
    {
        const Enumeration::ChannelDescriptor* descriptor = nullptr;
        ChannelTransport* transport = nullptr;
    };

    // Initialize's steps.
    std::uint32_t OpenAndEnumerate(bool keepControlTransport, std::unique_ptr<ChannelTransport>& control);
    void GroupByPipe(Enumeration::ChannelList descriptors);
    void DiscardInitialization(std::unique_ptr<ChannelTransport>& control) noexcept;

    // InitializeAgents' steps.
    std::uint32_t BringUpTransports();
    void BuildAgents();
    OfferedChannel FindOffered(std::uint8_t channel, std::uint8_t subChannel) const;
    template <typename Agent>
    void Equip(Agent& agent, const Enumeration::ChannelDescriptor& descriptor,
               const ClientIdentity& identity);
    template <typename Agent>
    void EquipDataAgent(Agent& agent, const Enumeration::ChannelDescriptor& first,
                        const Enumeration::ChannelDescriptor& second);

    // Close's steps.
    void StopAgents();
    // Destroys object, or keeps it in m_retired on a thread of the library
    // (see m_retired). Main lock held.
    void Retire(std::shared_ptr<void> object);
    // Destroys the retired objects, unless on a thread of the library. Main
    // lock held.
    void DropRetired() noexcept;
    void StopTransports() noexcept;

    // Runs `step` while the watch thread waits closeBoundMs for it; when it has
    // not returned by then, the watch logs that `operation` takes too long and
    // runs `unblock`, which ends what the step waits for on the camera. Main
    // lock held.
    void RunWatched(const wchar_t* operation, std::function<void()> unblock,
                    const std::function<void()>& step);
    void WatchThread(Platform::Thread_Posix& thread, void* parameter);

    // Callbacks of the camera on the current thread: sinks run inside a scope,
    // and what must not run there raises (ModuleError 0x650065, logged).
    class CallbackScope
    {
    public:
        explicit CallbackScope(const Camera& camera);
        ~CallbackScope();
        CallbackScope(const CallbackScope&) = delete;
        CallbackScope& operator=(const CallbackScope&) = delete;
    };
    void RefuseInCallback(const wchar_t* operation) const;
    // A transfer's own progress function, run as a callback of the camera
    // (empty stays empty).
    ProgressFunction AsCallback(ProgressFunction progress) const;

    // The link loss: reported once per device open, while armed.
    std::uint32_t OpenDevice();
    void ArmLinkLoss();
    void ReportLinkLossIfLost();
    void OnDeviceLinkLost();
    void ReportLinkLoss();

    // Forwarders given to the agents and transports.
    void ForwardError(const Universal::UniversalError& error);
    void ForwardProgress(const Universal::ProgressTask& task);
    void OnPropertyNotify(DeviceControlAgent::EnumPropertyNotify kind, const std::vector<unsigned int>& ids);
    void OnImageEnumNotify(ImageEnumeration::ImageEnumNotify kind, ImageEnumeration::RecordPtr record);
    void OnDevelopmentMessage(unsigned char type, const void* data, unsigned int size);
    void OnTransferNotify(ImageTransferAgent::EnumNotify kind, const void* payload);
    void OnLiveViewNotify(LiveViewAgent::EnumNotify kind, const void* payload);
    void Notify(EnumNotify id, const NotifyPayload& payload);

    // Calls into the agents under their slot locks.
    template <typename Result, typename Call>
    Result WithDeviceControl(Result empty, Call&& call) const;
    template <typename Call>
    auto WithImageEnumeration(Call&& call) const;
    template <typename Call>
    auto WithDevelopment(Call&& call) const;
    template <typename Call>
    auto WithStartedProgramming(const wchar_t* operation, Call&& call);
    ProgrammingAgent& ProgrammingAgentLocked() const;
    WaitObjectList TransferAbortObjects();
    template <typename Result, typename Call>
    Result WithImageTransfer(Result empty, Call&& call) const;
    template <typename Result, typename Call>
    Result WithLiveView(Result empty, Call&& call) const;
    // Waits for the camera's transfer status after a switch; false when the
    // wait ended otherwise.
    bool WaitForTransferStatus();

    ClientIdentity GetClientIdentity() const;
    ClientIdentity GetDevelopmentIdentity() const;
    void AssertDevice() const;
    void SetDeviceInfo(std::shared_ptr<const Enumeration::DeviceInfo> info);
    std::unique_ptr<ChannelTransport> MakeTransport(std::uint32_t pipeId);

    const Transport::DeviceMoniker m_moniker;
    const CameraTimings m_timings;

    mutable Platform::Mutex_Posix m_mainLock; // serialises the lifecycle operations; guards the fields below
    std::atomic<bool> m_initialized{false};
    bool m_keepControlTransport = false;
    std::unique_ptr<Transport::DeviceInterface> m_pTransportDevice; // never null after construction
    std::vector<TransportEntry> m_transports;                       // one entry per pipe, in list order
    Platform::NamedMutex_Posix m_initializationMutex;               // the machine-wide one, by its lock file

    // The device information of the last Initialize, null while not
    // initialised. Replaced whole, never changed: a query copies the pointer
    // under the small lock and reads the record outside it.
    mutable std::mutex m_deviceInfoLock; // guards m_deviceInfo
    std::shared_ptr<const Enumeration::DeviceInfo> m_deviceInfo;

    // Set while no agents exist. Transfers wait on it too, so that Close ends them.
    Platform::EventCondition_Posix m_agentsDown;

    Platform::Mutex_Posix m_notifyLock; // guards both sinks; held while they run
    NotifyReceiver m_notifyReceiver;
    NotifyFunction m_notifyFunction;

    mutable Platform::Mutex_Posix m_identityLock; // guards m_clientIdentity and m_developmentIdentity
    ClientIdentity m_clientIdentity{};
    ClientIdentity m_developmentIdentity{};

    Platform::Mutex_Posix m_subscriptionLock; // guards m_subscriptionFunction; held while it runs
    SubscriptionFunction m_subscriptionFunction;

    Platform::Mutex_Posix m_developmentReceiverLock; // guards m_developmentReceiver; held while it runs
    DevelopmentReceiver m_developmentReceiver;

    Platform::Mutex_Posix m_imageReceiverLock; // guards both image receivers; held while they run
    ImageReceiver m_imageReceiver;
    ImageReceiverFunction m_imageReceiverFunction;

    // The memory of the image agents' pools, made by InitializeAgents when the
    // owner gives none; pool buffers still held keep it alive.
    std::shared_ptr<IAllocator<unsigned char>> m_allocator; // guarded by the main lock

    // Set when the image-transfer agent reports a transfer-status change.
    Platform::EventCondition_Posix m_transferStatusEvent;

    // The capabilities the image-enumeration agent reported last.
    mutable std::mutex m_capabilitiesLock; // guards m_capabilities
    mutable std::condition_variable m_capabilitiesArrived;
    std::unique_ptr<const ImageEnumCapabilities> m_capabilities;

    // Link loss: armed from a successful Initialize (device kept open) or
    // InitializeAgents until Close closes the device; reported at most once per
    // device open.
    std::atomic<bool> m_linkLossArmed{false};
    std::atomic<bool> m_linkLossReported{false};

    // Runs during Close and StopDeviceControl only (RunWatched; main lock held).
    Platform::Thread_Posix m_watch{L"KPX camera stop watch"};
    const wchar_t* m_watchedOperation = L"";
    std::function<void()> m_watchUnblock;

    // Agents and channel transports that Close or Shutdown took down on a
    // thread of the library (which may be returning into one of them): kept, stopped, until a lifecycle
    // operation runs on another thread or the camera is destroyed. Guarded by
    // the main lock.
    std::vector<std::shared_ptr<void>> m_retired;

    // The agents; built after the transports they use, destroyed before them.
    Slot<EnumerationAgent> m_ch0;
    Slot<ProgrammingAgent> m_ch1;
    Slot<DeviceControlAgent> m_ch2;
    Slot<ImageEnumerationAgent> m_ch3;
    Slot<ImageTransferAgent> m_ch4;
    Slot<LiveViewAgent> m_ch5;
    Slot<DevelopmentAgent> m_ch255;

    // The receive buffer limits for agents 4 and 5 (SetReceiveBufferLimits).
    std::atomic<std::uint64_t> m_imageBufferLimit{ImageTransferMachine::kDefaultImageBufferLimit};
    std::atomic<std::uint64_t> m_liveViewBufferLimit{ImageTransferMachine::kDefaultLiveViewBufferLimit};

    // The agents of m_ch4 and m_ch1 for CancelTask, which must not wait for
    // the slot lock a transfer or a transfer switch holds. Set and cleared
    // under both locks (slot lock first).
    Platform::Mutex_Posix m_cancelLock; // guards the two below; held only to call CancelTask
    ProgrammingAgent* m_cancelTarget = nullptr;
    ImageTransferAgent* m_cancelTransferTarget = nullptr;
};

} // namespace Q7::KPX
