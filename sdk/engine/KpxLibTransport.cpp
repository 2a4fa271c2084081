// The camera bridge's registry and lifecycle: construction and Deinit, opening
// cameras by USB serial number or IPv4 address, closing them, the helper thread
// that closes cameras whose link was lost, the camera look-up with its pending
// errors, and the mapping of protocol errors to codes.

#include "KpxLibTransport.h"

#include "LastError.h"
#include "Sdk.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalString.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalError;
namespace KpxTransport = Q7::KPX::Transport;

namespace
{

constexpr const char* kOpenSource = "KpxLibTransport::OpenCameraFromMoniker";
constexpr const char* kCloseSource = "KpxLibTransport::InternalCloseCamera";

// Set on the bridge's helper thread.
constinit thread_local bool t_helperThread = false;
constexpr const char* kGeneralTransportError =
    "Internal error in camera transport layer (See log for details).";

// The four groups of "d.d.d.d" (ASCII digits only, nothing around it), each
// reduced modulo 256 digit by digit: the low 8 bits of its value, however
// many digits it has.
struct Ipv4Text
{
    std::array<std::string_view, 4> groups;
    std::array<unsigned, 4> octets{};
};

bool ParseIpv4(std::string_view text, Ipv4Text& parsed)
{
    std::size_t position = 0;
    for (std::size_t group = 0; group < 4; ++group)
    {
        if (group > 0)
        {
            if (position >= text.size() || text[position] != '.')
            {
                return false;
            }
            ++position;
        }
        const std::size_t start = position;
        unsigned octet = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9')
        {
            octet = (octet * 10 + static_cast<unsigned>(text[position] - '0')) % 256;
            ++position;
        }
        if (position == start)
        {
            return false;
        }
        parsed.groups[group] = text.substr(start, position - start);
        parsed.octets[group] = octet;
    }
    return position == text.size();
}

std::string Utf8(const Q7::Universal::UniversalString& text)
{
    return Q7::Universal::ToUtf8(text).c_str();
}

bool IsWordCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

// ---------------------------------------------------------------- construction

KpxLibTransport::KpxLibTransport() : m_deviceManager(KpxTransport::kTransportSelection_UsbAndTcp)
{
    // A lambda rather than a member pointer: std::thread instantiated over the
    // member function type would be exported from the shared library.
    m_helperThread = std::make_unique<std::thread>(
        [this]
        {
            t_helperThread = true;
            HelperThread();
        });
    try
    {
        m_deviceManager.SetNotifyCallback(
            DeviceManager::NotifyCallback(this, &KpxLibTransport::DeviceManagerNotify));
        m_deviceManager.StartNotify();
    }
    catch (...)
    {
        // The helper thread must end before the error passes on: a destroyed
        // std::thread that still runs ends the process.
        try
        {
            m_deviceManager.StopNotify();
            m_deviceManager.SetNotifyCallback(DeviceManager::NotifyCallback());
        }
        catch (...)
        {
            // Stopping what failed to start: the first error is the one to report.
        }
        StopHelperThread(false);
        throw;
    }
    m_notifying = true;
}

KpxLibTransport::~KpxLibTransport()
{
    StopHelperThread(false);
}

void KpxLibTransport::SetCameraTimings(const CameraTimings& timings)
{
    const std::lock_guard<std::mutex> lock(m_timingsLock);
    m_timings = timings;
}

void KpxLibTransport::SetInitializationLockFolder(std::string folder)
{
    const std::lock_guard<std::mutex> lock(m_timingsLock);
    m_lockFolder = std::move(folder);
}

KpxLibTransport::CameraTimings KpxLibTransport::Timings()
{
    const std::lock_guard<std::mutex> lock(m_timingsLock);
    return m_timings;
}

// ---------------------------------------------------------------- Deinit

void KpxLibTransport::Deinit() noexcept
{
    SdkLog(6, "KpxLibTransport: Deinit'ing...\n");
    m_deinitializing = true;

    SdkLog(6, "KpxLibTransport: Stopping DevMgr-notify and removing callback\n");
    m_notifying = false;
    try
    {
        m_deviceManager.StopNotify();
        m_deviceManager.SetNotifyCallback(DeviceManager::NotifyCallback());
    }
    catch (const UniversalError& error)
    {
        HandleUniversalError(error, "Error while stopping the device manager");
    }
    catch (...)
    {
        SdkLog(1, "KpxLibTransport: Stopping the device manager failed\n");
    }
    SdkLog(6, "KpxLibTransport: Done\n");

    SdkLog(6, "KpxLibTransport: Collecting camera-ids to close (outside lock)\n");
    std::vector<std::int32_t> ids;
    try
    {
        SingleLockGuard lock(m_cameraLock);
        ids.reserve(m_cameras.size());
        for (const auto& [id, entry] : m_cameras)
        {
            SdkLog(6, "KpxLibTransport: Pushing camera: %s (id=%u)...\n", entry.serialNumber.c_str(),
                   static_cast<unsigned>(id));
            ids.push_back(id);
        }
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport: Collecting cameras failed: %s\n", error.what());
    }

    SdkLog(6, "KpxLibTransport: Closing all cameras collected...\n");
    for (const std::int32_t id : ids)
    {
        SdkLog(6, "KpxLibTransport: Closing camera with ID=%u...\n", static_cast<unsigned>(id));
        try
        {
            // The closing SDK still takes the event: no listener is left, but
            // the close completes as any other. Never on a thread of a camera:
            // a close of the SDK asked there runs on the helper thread.
            CloseNow(id, false, true);
        }
        catch (const std::exception& error)
        {
            SdkLog(1, "KpxLibTransport: Closing camera %d failed: %s\n", id, error.what());
        }
    }

    // An entry left now was inserted by an open that overlapped: its camera is
    // closed here too (outside the lock), posting nothing.
    std::vector<std::shared_ptr<Camera>> left;
    try
    {
        SingleLockGuard lock(m_cameraLock);
        if (!m_cameras.empty())
        {
            SdkLog(2, "KpxLibTransport: Unexpected open-camera count (%u) - should be zero\n",
                   static_cast<unsigned>(m_cameras.size()));
            for (auto& [id, entry] : m_cameras)
            {
                left.push_back(std::move(entry.camera));
            }
            m_cameras.clear();
        }
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport: Clearing cameras failed: %s\n", error.what());
    }
    for (const std::shared_ptr<Camera>& camera : left)
    {
        camera->Close();
    }
    left.clear();

    StopHelperThread(true);
    // Run on the helper thread itself, Deinit let it go: what was handed to it
    // and is still queued closes here.
    CloseQueued();
}

void KpxLibTransport::CloseQueued() noexcept
{
    for (;;)
    {
        HelperJob job;
        {
            const std::lock_guard<std::mutex> lock(m_helperMutex);
            if (m_closeQueue.empty())
            {
                return;
            }
            job = std::move(m_closeQueue.front());
            m_closeQueue.pop_front();
        }
        RunHelperJob(job);
    }
}

void KpxLibTransport::StopHelperThread(bool log) noexcept
{
    std::unique_ptr<std::thread> helper;
    try
    {
        SingleLockGuard lock(m_helperMutex);
        m_helperRunning = false;
        helper = std::move(m_helperThread);
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport: Stopping the helper thread failed: %s\n", error.what());
        return;
    }
    if (!helper)
    {
        return;
    }
    m_helperWake.notify_all();
    if (log)
    {
        SdkLog(6, "KpxLibTransport: Joining helper thread...\n");
    }
    if (helper->get_id() == std::this_thread::get_id())
    {
        // Only a close run by the helper itself could get here; it returns
        // from its loop on its own.
        helper->detach();
    }
    else
    {
        helper->join();
    }
    if (log)
    {
        SdkLog(6, "KpxLibTransport: Joined!\n");
    }
}

// ---------------------------------------------------------------- helper thread

void KpxLibTransport::HelperThread()
{
    if (!m_helperRunning)
    {
        return;
    }
    for (;;)
    {
        HelperJob job;
        {
            std::unique_lock<std::mutex> lock(m_helperMutex);
            if (m_closeQueue.empty())
            {
                if (!m_helperRunning)
                {
                    return;
                }
                // The log is the application's printer: written without the
                // helper mutex, which a close asked on another thread takes.
                lock.unlock();
                SdkLog(6, "KpxLibTransport: HelperThread sleeping...\n");
                lock.lock();
                m_helperWake.wait(lock, [this] { return !m_closeQueue.empty() || !m_helperRunning; });
                lock.unlock();
                SdkLog(6, "KpxLibTransport: HelperThread woken up...\n");
                continue;
            }
            job = std::move(m_closeQueue.front());
            m_closeQueue.pop_front();
        }
        RunHelperJob(job);
    }
}

void KpxLibTransport::RunHelperJob(HelperJob& job) noexcept
{
    try
    {
        if (job.task)
        {
            job.task();
        }
        else if (job.camera)
        {
            // Handed over by a close on a thread of the library, which left
            // the live view to this thread.
            try
            {
                job.camera->StopLiveView();
            }
            catch (const UniversalError& error)
            {
                SdkLog(2, "Failed to disable LiveView before closing camera!\n");
                HandleUniversalError(error, "Error while changing LiveView state");
            }
            CloseTaken(job.id, std::move(job.camera), false);
        }
        else
        {
            SdkLog(6, "KpxLibTransport: HelperThread disconnecting camera with id: %u\n",
                   static_cast<unsigned>(job.id));
            CloseNow(job.id, false, false);
        }
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport: HelperThread failed to close camera %d: %s\n", job.id, error.what());
    }
    catch (...)
    {
        SdkLog(1, "KpxLibTransport: HelperThread failed to close camera %d\n", job.id);
    }
    // The last reference to a camera goes here, on the helper thread.
    job = HelperJob();
}

bool KpxLibTransport::RunOnHelperThread(std::function<void()> task)
{
    {
        const std::lock_guard<std::mutex> lock(m_helperMutex);
        if (!m_helperRunning)
        {
            return false;
        }
        HelperJob job;
        job.task = std::move(task);
        m_closeQueue.push_back(std::move(job));
    }
    m_helperWake.notify_all();
    return true;
}

bool KpxLibTransport::OnLibraryThread() noexcept
{
    return t_helperThread || Q7::Platform::Thread_Posix::IsCallerInThreadBody();
}

// ---------------------------------------------------------------- opening

ErrorCode KpxLibTransport::OpenUsbCamera(int& cameraId, const char* serial, const char* identity)
{
    const std::string wanted = serial != nullptr ? serial : "";
    try
    {
        std::vector<DeviceMoniker> devices;
        m_deviceManager.EnumerateDevices(devices);
        for (const DeviceMoniker& moniker : devices)
        {
            if (moniker.type == KpxTransport::kMonikerType_Tcp)
            {
                continue;
            }
            if (wanted.empty() || (!moniker.usb.identity.IsEmpty() && wanted == moniker.usb.identity.c_str()))
            {
                return OpenCameraFromMoniker(moniker, cameraId, identity, false);
            }
        }
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error occurred while opening USB camera");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while opening USB camera");
    }
    return SetLastErrorInfo(CameraNotFound, "No such camera found", "KpxLibTransport::OpenUsbCamera");
}

ErrorCode KpxLibTransport::OpenIpCamera(int& cameraId, const char* address, const char* identity,
                                        int timeoutSeconds)
{
    Ipv4Text parsed;
    if (address == nullptr || !ParseIpv4(address, parsed))
    {
        return SetLastErrorInfo(CameraInvalidAddress, "Provided IP is not a valid IPv4 address",
                                "KpxLibTransport::OpenIpCamera");
    }
    std::uint32_t ipv4 = 0;
    for (unsigned i = 0; i < 4; ++i)
    {
        SdkLog(6, "KpxLibTransport: octet[%u] = \"%s\" => %u\n", i, std::string(parsed.groups[i]).c_str(),
               parsed.octets[i]);
        ipv4 = ipv4 << 8 | parsed.octets[i];
    }
    DeviceMoniker moniker;
    moniker.type = KpxTransport::kMonikerType_Tcp;
    moniker.tcp.name.Assign("IpCamera");
    moniker.tcp.host.Assign("IpCameraHostname");
    moniker.tcp.address = ipv4;
    moniker.tcp.port = kCameraPort;
    // The moniker holds the time-out unsigned: a negative one means none.
    moniker.tcp.connectTimeoutSeconds = static_cast<std::uint32_t>(std::max(timeoutSeconds, 0));
    moniker.tcp.isStatic = 1;
    try
    {
        return OpenCameraFromMoniker(moniker, cameraId, identity, true);
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error occurred while opening IP camera");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while opening IP camera");
    }
}

ErrorCode KpxLibTransport::OpenCameraFromMoniker(const DeviceMoniker& moniker, int& cameraId,
                                                 const char* identity, bool network)
{
    // 1. The camera, with the client identity.
    std::string lockFolder;
    {
        const std::lock_guard<std::mutex> lock(m_timingsLock);
        lockFolder = m_lockFolder;
    }
    const auto camera = std::make_shared<Camera>(moniker, Timings(), lockFolder.c_str());
    camera->SetClientIdentity(identity != nullptr ? identity : "");

    // 2. Errors the camera reports go to the pending error of its id, once the
    // open has one.
    const auto idSlot = std::make_shared<std::atomic<std::int32_t>>(0);
    camera->SetErrorCallback(std::function<void(const UniversalError&)>(
        [this, idSlot](const UniversalError& error) { StorePendingError(idSlot->load(), error); }));

    // 3. The connection.
    const std::uint32_t initialized = camera->Initialize(network);
    if (initialized != 0)
    {
        SdkLog(2, "KpxLibTransport: Failed to initialize camera\n");
        return ReportOpenFailure(initialized, "Camera initialization failed!", CameraInitializationFailed,
                                 kOpenSource);
    }

    // 4. The agents.
    SdkLog(5, "KpxLibTransport: camera initialized\n");
    const std::uint32_t opened = camera->InitializeAgents(nullptr);
    if (opened != 0)
    {
        SdkLog(2, "KpxLibTransport: Failed to open camera\n");
        return ReportOpenFailure(opened, "Camera open failed!", CameraOpenFailed, kOpenSource);
    }

    // 5. The id and the entry; none while the SDK closes (its cameras are
    // being collected for closing).
    const Q7::KPX::Enumeration::DeviceInfo info = camera->GetDeviceInfo();
    SdkLog(5, "KpxLibTransport: camera opened: Name: %s\n", info.modelName.c_str());
    std::int32_t id = 0;
    {
        SingleLockGuard lock(m_cameraLock);
        if (!m_deinitializing)
        {
            id = static_cast<std::int32_t>(m_nextCameraId++);
            CameraEntry entry;
            entry.id = id;
            entry.camera = camera;
            entry.serialNumber = info.serialNumber;
            m_cameras[id] = std::move(entry);
        }
    }
    if (id == 0)
    {
        camera->Close();
        return SetLastErrorInfo(SdkNotOpen, "The SDK is not open", kOpenSource);
    }
    idSlot->store(id);

    // 6. Notifications, then device control. A link lost meanwhile (before
    // the callback was bound it was told to no one; after, the entry keeps
    // it) fails the open instead.
    bool lost = false;
    bool controlled = true;
    try
    {
        camera->SetNotifyCallback(
            [this, id](Camera::EnumNotify notification, const Camera::NotifyPayload& payload)
            { KpxCameraNotify(notification, payload, id); });
        if (!camera->GetDisconnectedEvent().IsSet())
        {
            camera->StartDeviceControl();
            // Channel 2.0 did not open: a camera without its properties is no
            // open camera.
            controlled = !camera->HasDeviceControl() || camera->IsDeviceControlStarted();
            camera->StartImageEnumeration();
            camera->StopLiveView();
        }
        camera->SetImageReceiveCallback([this, id](Q7::KPX::ImageReceivePackage& package)
                                        { FullImageArrivesFromKpx(id, package); });
        camera->SetLiveViewImageCallback([this, id](Q7::KPX::ImageReceivePackage& package)
                                         { LiveViewImageArrivesFromKpx(id, package); });
        camera->SetImageTransferProgressCallback([this, id](const Q7::Universal::ProgressTask& task)
                                                 { HandleImageTransferProgressUpdate(id, task); });
        lost = camera->GetDisconnectedEvent().IsSet();
    }
    catch (...)
    {
        RollBackOpen(id, camera);
        throw;
    }

    // 7. The open completes, and its event goes first of those about the
    // camera's state, in one step under the camera lock: a link loss from now
    // on is told after it.
    Sdk* sdk = Sdk::GetInstance(false);
    // Matched against the filters before the lock (they may be the
    // application's), logged after it.
    NotificationList::Delivery openedEvent;
    if (sdk != nullptr)
    {
        openedEvent = sdk->Notifications().Match(
            BuildNotificationEvent(SdkEventType::SdkCameraOpened, CameraInfoFromMoniker(moniker), id));
    }
    bool gone = false;
    std::size_t delivered = 0;
    {
        SingleLockGuard lock(m_cameraLock);
        const auto found = m_cameras.find(id);
        if (found == m_cameras.end())
        {
            gone = true; // closed meanwhile (by CloseSdk, or a close of a guessed id)
        }
        else if (!lost && controlled && !found->second.disconnected)
        {
            found->second.opening = false;
            if (sdk != nullptr)
            {
                found->second.named = true;
                delivered = sdk->Notifications().Deliver(openedEvent);
            }
        }
        else
        {
            lost = true;
        }
    }
    NotificationList::LogDelivered(openedEvent, delivered);
    if (gone)
    {
        camera->Close();
        return m_deinitializing ? SetLastErrorInfo(SdkNotOpen, "The SDK is not open", kOpenSource)
                                : SetLastErrorInfo(CameraNotOpen, "The camera is not open", kOpenSource);
    }
    if (lost || !controlled)
    {
        RollBackOpen(id, camera);
        SdkLog(2, "KpxLibTransport: Failed to open camera\n");
        return ReportOpenFailure(lost ? 4 : 0, "Camera open failed!", CameraOpenFailed, kOpenSource);
    }
    if (sdk == nullptr)
    {
        SdkLog(
            1,
            "KpxLibTransport: Unexpected null SDK returned when opening camera. No SDK event submitted.\n");
    }
    cameraId = id;
    return Success;
}

// A failed open after its entry was made: the entry and its pending error go,
// the camera closes, nothing is posted, and the id is given back when no open
// took one since and no event named it.
void KpxLibTransport::RollBackOpen(int cameraId, const std::shared_ptr<Camera>& camera) noexcept
{
    try
    {
        {
            SingleLockGuard lock(m_cameraLock);
            const auto found = m_cameras.find(cameraId);
            if (found != m_cameras.end())
            {
                const bool named = found->second.named;
                m_cameras.erase(found);
                if (!named && m_nextCameraId == static_cast<std::uint32_t>(cameraId) + 1)
                {
                    m_nextCameraId = static_cast<std::uint32_t>(cameraId);
                }
            }
        }
        {
            SingleLockGuard lock(m_pendingErrorLock);
            m_pendingErrors.erase(cameraId);
            m_pendingErrorCount = m_pendingErrors.size();
        }
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport: Rolling back the open of camera %d failed: %s\n", cameraId, error.what());
    }
    camera->SetNotifyCallback({});
    camera->Close();
}

ErrorCode KpxLibTransport::ReportOpenFailure(std::uint32_t result, const char* message, ErrorCode code,
                                             const char* function) noexcept
{
    switch (result)
    {
    case 2:
        return SetLastErrorInfo(CameraConnectTimeout, "Timed out while connecting to Camera!", function);
    case 4:
        return SetLastErrorInfo(
            CameraConnectionRefused,
            "Host (camera) actively refused the connection, or intentionally disconnected!", function);
    default:
        return SetLastErrorInfo(code, message, function);
    }
}

// ---------------------------------------------------------------- closing

ErrorCode KpxLibTransport::CloseCamera(int cameraId)
{
    return InternalCloseCamera(cameraId, true);
}

ErrorCode KpxLibTransport::InternalCloseCamera(int cameraId, bool reportIfNotOpen, bool closingSdk)
{
    if (!OnLibraryThread())
    {
        return CloseNow(cameraId, reportIfNotOpen, closingSdk);
    }
    // A thread of the library may be one of the camera's, which its close
    // stops and its end frees: the camera goes to the helper thread. The id
    // is closed from here on; SdkCameraClosed follows from there.
    SdkLog(6, "KpxLibTransport: Closing camera %u...\n", static_cast<unsigned>(cameraId));
    bool open = false;
    bool queued = false;
    {
        SingleLockGuard lock(m_cameraLock);
        const auto found = m_cameras.find(cameraId);
        if (found != m_cameras.end())
        {
            open = true;
            const std::lock_guard<std::mutex> helper(m_helperMutex);
            if (m_helperRunning)
            {
                HelperJob job;
                job.id = cameraId;
                job.camera = std::move(found->second.camera);
                m_cameras.erase(found);
                m_closeQueue.push_back(std::move(job));
                queued = true;
            }
        }
    }
    if (queued)
    {
        m_helperWake.notify_all();
        return Success;
    }
    if (open)
    {
        // The helper thread has stopped: the SDK is closing, and its close
        // takes the camera down.
        SdkLog(1, "KpxLibTransport::CloseCamera: Sdk not open\n");
        return SetLastErrorInfo(SdkNotOpen, "The SDK is not open", kCloseSource);
    }
    return reportIfNotOpen ? SetLastErrorInfo(CameraNotOpen, "The camera is not open", kCloseSource)
                           : Success;
}

ErrorCode KpxLibTransport::CloseNow(int cameraId, bool reportIfNotOpen, bool closingSdk)
{
    SdkLog(6, "KpxLibTransport: Closing camera %u...\n", static_cast<unsigned>(cameraId));

    // The entry goes in one step with the test: of two threads closing one id,
    // one closes it and the other finds it not open.
    std::shared_ptr<Camera> camera;
    {
        SingleLockGuard lock(m_cameraLock);
        const auto found = m_cameras.find(cameraId);
        if (found != m_cameras.end())
        {
            camera = std::move(found->second.camera);
            m_cameras.erase(found);
        }
    }
    if (!camera)
    {
        return reportIfNotOpen ? SetLastErrorInfo(CameraNotOpen, "The camera is not open", kCloseSource)
                               : Success;
    }
    return CloseTaken(cameraId, std::move(camera), closingSdk);
}

ErrorCode KpxLibTransport::CloseTaken(int cameraId, std::shared_ptr<Camera> camera, bool closingSdk)
{
    {
        SingleLockGuard lock(m_imageProgress.lock);
        m_imageProgress.lastPost.erase(cameraId);
    }

    const CameraInfo info = CameraInfoFromMoniker(camera->GetMoniker());
    try
    {
        camera->Close();
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error while closing camera");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while closing camera");
    }

    if (Sdk* sdk = Sdk::GetInstance(closingSdk))
    {
        sdk->Notifications().Post(BuildNotificationEvent(SdkEventType::SdkCameraClosed, info, cameraId));
        return Success;
    }
    SdkLog(1, "KpxLibTransport::CloseCamera: Sdk not open\n");
    return SetLastErrorInfo(SdkNotOpen, "The SDK is not open", kCloseSource);
}

// ---------------------------------------------------------------- look-ups

bool KpxLibTransport::IsCameraOpen(int cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    return m_cameras.find(cameraId) != m_cameras.end();
}

std::shared_ptr<KpxLibTransport::Camera> KpxLibTransport::FindCamera(int cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    return found != m_cameras.end() ? found->second.camera : nullptr;
}

std::shared_ptr<KpxLibTransport::Camera> KpxLibTransport::FindConnectedCamera(int cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    // A camera whose link loss was posted (with SdkCameraClosed) waits only
    // for the helper thread to close it.
    return found != m_cameras.end() && !found->second.disconnected ? found->second.camera : nullptr;
}

ErrorCode KpxLibTransport::GetCamera(int cameraId, std::shared_ptr<Camera>& camera)
{
    std::shared_ptr<Camera> found = FindConnectedCamera(cameraId);
    if (m_pendingErrorCount.load() != 0)
    {
        // An error a camera reported while it closed is not news to the
        // caller: a camera that is closing or closed is simply not open.
        std::optional<ModuleError> pending;
        {
            SingleLockGuard lock(m_pendingErrorLock);
            const auto error = m_pendingErrors.find(cameraId);
            if (error != m_pendingErrors.end())
            {
                if (found)
                {
                    pending = error->second;
                }
                m_pendingErrors.erase(error);
                m_pendingErrorCount = m_pendingErrors.size();
            }
        }
        if (pending)
        {
            const std::string text = "KPX " + Utf8(pending->GetCategoryName()) + " #" +
                                     std::to_string(pending->GetCode()) + ": " + Utf8(pending->GetMessage()) +
                                     " " + Utf8(pending->GetContext());
            return SetLastErrorInfo(GeneralError, text.c_str(), "Tavrin Internals");
        }
    }
    if (!found)
    {
        return SetLastErrorInfo(CameraNotOpen, "The camera is not open", "KpxLibTransport::GetCamera");
    }
    camera = std::move(found);
    return Success;
}

bool KpxLibTransport::IsGone(int cameraId, Camera& camera)
{
    if (camera.GetDisconnectedEvent().IsSet())
    {
        return true;
    }
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    return found == m_cameras.end() || found->second.camera.get() != &camera || found->second.disconnected;
}

ErrorCode KpxLibTransport::FailOrGone(int cameraId, Camera& camera, ErrorCode code, const char* message,
                                      const char* source)
{
    if (IsGone(cameraId, camera))
    {
        return SetLastErrorInfo(CameraNotOpen, "The camera is not open", source);
    }
    return SetLastErrorInfo(code, message, source);
}

ErrorCode KpxLibTransport::ConnectionType(int cameraId, TetherConnection& connection)
{
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    const std::uint32_t type = camera->GetConnectionType();
    connection = type <= 4 ? static_cast<TetherConnection>(type) : TetherConnection::Unknown;
    return Success;
}

bool KpxLibTransport::HasHostStorageCapacity(int cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    return found != m_cameras.end() && found->second.hostStorageCapacitySet;
}

void KpxLibTransport::StorePendingError(int cameraId, const UniversalError& error) noexcept
{
    const auto* module = dynamic_cast<const ModuleError*>(&error);
    if (module == nullptr)
    {
        SdkLog(1, "Incoming KPX Error could not be converted into general exception object:");
        SdkLog(1, "KPX Error #%d : %s", static_cast<int>(error.GetCode()), Utf8(error.GetContext()).c_str());
        return;
    }
    if (cameraId == 0)
    {
        // Reported while the open had no id yet: the open fails with its own
        // code, so this one is only logged.
        SdkLog(2, "KpxLibTransport: KPX error before the camera had an id: %s %s\n",
               Utf8(module->GetMessage()).c_str(), Utf8(module->GetContext()).c_str());
        return;
    }
    try
    {
        SingleLockGuard lock(m_pendingErrorLock);
        m_pendingErrors.insert_or_assign(cameraId, *module);
        m_pendingErrorCount = m_pendingErrors.size();
    }
    catch (const std::exception& failure)
    {
        SdkLog(1, "KpxLibTransport: Storing a KPX error failed: %s\n", failure.what());
    }
}

// ---------------------------------------------------------------- errors

ErrorCode KpxLibTransport::HandleModuleError(const ModuleError& error, const char* context) noexcept
{
    static constexpr const char* kSource = "KpxLibTransport::HandleModuleError";
    switch (error.GetFullCode())
    {
    case 0x15E000F:
        return SetLastErrorInfo(ConnectionLimitReached,
                                "Camera rejected connection: Limit of open connections reached.", kSource);
    case 0x15E0010:
        return SetLastErrorInfo(AuthenticationFailed,
                                "Camera rejected connection: Authentication code missing or incorrect.",
                                kSource);
    case 0x15E0018:
    case 0x15E001D:
        return SetLastErrorInfo(FeatureNotAvailable, "Feature not supported on camera firmware.", kSource);
    default:
        break;
    }
    try
    {
        SdkLog(1, "InternalError: %s (source=%d, id=%d)\n", Utf8(error.GetMessage()).c_str(),
               static_cast<int>(error.GetCategory()), static_cast<int>(error.GetCode()));
    }
    catch (...)
    {
        // Out of memory for the log line's text: the code still goes back.
    }
    return SetLastErrorInfo(GeneralError, context != nullptr ? context : kGeneralTransportError, kSource);
}

ErrorCode KpxLibTransport::HandleUniversalError(const UniversalError& error, const char* context) noexcept
{
    try
    {
        SdkLog(1, "InternalError: %s (source=%d, id=%d)\n", Utf8(error.GetMessage()).c_str(),
               static_cast<int>(error.GetCategory()), static_cast<int>(error.GetCode()));
    }
    catch (...)
    {
        // As above.
    }
    return SetLastErrorInfo(GeneralError, context != nullptr ? context : kGeneralTransportError,
                            "KpxLibTransport::HandleUniversalError");
}

// ---------------------------------------------------------------- descriptions

CameraInfo KpxLibTransport::CameraInfoFromMoniker(const DeviceMoniker& moniker)
{
    CameraInfo info;
    switch (moniker.type)
    {
    case KpxTransport::kMonikerType_Usb:
        info.valid = 1;
        info.connection = TetherConnection::Usb;
        info.name = moniker.usb.friendlyName.c_str();
        info.serialNumber = moniker.usb.identity.c_str();
        return info;
    case KpxTransport::kMonikerType_Tcp:
        info.valid = 1;
        info.connection = TetherConnection::Tcp;
        info.name = moniker.tcp.name.c_str();
        info.address = moniker.tcp.GetAddressText().c_str();
        info.serialNumber = ExtractSerialNumber(info.name);
        return info;
    default:
        SdkLog(1, "KpxLibTransport: DeviceMonitor tether type is not supported!");
        return CameraInfo::Invalid;
    }
}

std::string KpxLibTransport::ExtractSerialNumber(std::string_view text)
{
    // "(" two word characters, six digits ")": ten characters.
    constexpr std::size_t kLength = 10;
    for (std::size_t start = 0; start + kLength <= text.size(); ++start)
    {
        const std::string_view candidate = text.substr(start, kLength);
        if (candidate.front() != '(' || candidate.back() != ')' || !IsWordCharacter(candidate[1]) ||
            !IsWordCharacter(candidate[2]))
        {
            continue;
        }
        if (std::all_of(candidate.begin() + 3, candidate.end() - 1, IsDigit))
        {
            return std::string(candidate.substr(1, kLength - 2));
        }
    }
    return {};
}

IString* KpxLibTransport::CreateString(const std::string& text)
{
    ObjectFactory* factory = Sdk::CurrentFactory();
    if (factory == nullptr)
    {
        return nullptr;
    }
    IString* made = factory->CreateString();
    if (made != nullptr && !text.empty() && !made->Set(text.data(), static_cast<std::uint32_t>(text.size())))
    {
        factory->DeleteString(made);
        return nullptr;
    }
    return made;
}

IString* KpxLibTransport::CreateString(std::unique_ptr<char[]> text)
{
    return CreateString(std::string(text ? text.get() : ""));
}

} // namespace Q7::TavrinC
