// The camera bridge's files: firmware updates and uploads from memory,
// downloads of camera files and of the diagnostics log over the camera's
// programming channel, their progress turned into SDK events, and the list of
// cameras an application can open.

#include "KpxLibTransport.h"

#include "LastError.h"
#include "Sdk.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include "NotificationEvent.h"
#include "Q7UniversalString.h"

#include <TavrinCpp/EventTypes.h>

#include <chrono>
#include <cstring>
#include <exception>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Q7::Universal::ModuleError;
using Q7::Universal::ProgressTask;
using Q7::Universal::UniversalError;
namespace KpxTransport = Q7::KPX::Transport;

namespace
{

constexpr std::uint16_t kUtf8 = 0x1001;

// KPX file types of a firmware upload, chosen by the name's suffix.
constexpr std::uint32_t kFirmwareFileType = 102; // ".fwr"
constexpr std::uint32_t kFirmwarePackType = 106; // ".fwp"
constexpr std::uint32_t kDiagnosticsLogKind = 2;

constexpr std::int64_t kFirmwareThrottleNs = 1'000'000;
constexpr std::int64_t kFileThrottleNs = 1'000'000;

// Strict UTF-8 without NUL, decoded to the wide text the camera's transfers
// take; none when text is not that. The library's codec replaces what it cannot
// decode, so a text is valid exactly when it survives the round trip.
std::optional<std::wstring> WideFromUtf8(const std::string& text)
{
    if (text.find('\0') != std::string::npos)
    {
        return std::nullopt;
    }
    const Q7::Universal::UniversalString wide = Q7::Universal::DecodeText(text.c_str(), kUtf8);
    const Q7::Universal::UniversalStringA back = Q7::Universal::ToUtf8(wide);
    const char* bytes = back.c_str();
    if (text != (bytes != nullptr ? bytes : ""))
    {
        return std::nullopt;
    }
    return std::wstring(wide.c_str() != nullptr ? wide.c_str() : L"");
}

std::int64_t SteadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The common refusal of a transfer's arguments: -1 naming what is wrong.
ErrorCode RefuseArgument(const char* message, const char* source)
{
    return SetLastErrorInfo(GeneralError, message, source);
}

} // namespace

// ---------------------------------------------------------------- uploads

bool KpxLibTransport::HasFileSuffix(std::string_view name, std::string_view suffix) noexcept
{
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

bool KpxLibTransport::IsExpertMode(int cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    return found != m_cameras.end() && found->second.expertMode;
}

ErrorCode KpxLibTransport::UpdateCameraFirmware(int cameraId, const std::uint8_t* data, std::uint64_t size)
{
    static constexpr const char* kSource = "KpxLibTransport::UpdateCameraFirmware";
    try
    {
        if (data == nullptr && size != 0)
        {
            return RefuseArgument("The firmware data is null but its size is not 0", kSource);
        }
        std::shared_ptr<Camera> camera;
        if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
        {
            return found;
        }
        const Camera::ProgressFunction progress = [this, cameraId](const ProgressTask& task)
        { HandleFirmwareTransferProgressUpdate(cameraId, task); };
        // The camera's refusal has no message of its own.
        return camera->UpdateFirmware(progress, data, size) ? Success
                                                            : SetLastErrorInfo(GeneralError, "", kSource);
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error while updating firmware");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while updating firmware");
    }
}

ErrorCode KpxLibTransport::UploadFile(int cameraId, UploadFileId fileId, const std::uint8_t* data,
                                      std::uint64_t size, const std::string& name)
{
    static constexpr const char* kSource = "KpxLibTransport::UploadFile";
    try
    {
        std::uint32_t type = static_cast<std::uint32_t>(fileId);
        if (fileId == UploadFileId::Firmware)
        {
            if (HasFileSuffix(name, ".fwr"))
            {
                type = kFirmwareFileType;
            }
            else if (HasFileSuffix(name, ".fwp"))
            {
                type = kFirmwarePackType;
            }
            else
            {
                return SetLastErrorInfo(FileAccessDenied, "", kSource);
            }
        }
        else if (fileId != UploadFileId::Data && !IsExpertMode(cameraId))
        {
            return SetLastErrorInfo(FileAccessDenied, "", kSource);
        }
        if (data == nullptr && size != 0)
        {
            return RefuseArgument("The upload data is null but its size is not 0", kSource);
        }
        const std::optional<std::wstring> wideName = WideFromUtf8(name);
        if (!wideName)
        {
            return RefuseArgument("The file name is not UTF-8 text", kSource);
        }
        std::shared_ptr<Camera> camera;
        if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
        {
            return found;
        }
        const Camera::ProgressFunction progress = [this, cameraId](const ProgressTask& task)
        { HandleFileTransferProgressUpdate(cameraId, task); };
        // The camera's refusal has no message of its own.
        return camera->UploadData(progress, type, data, size, wideName->c_str())
                   ? Success
                   : SetLastErrorInfo(GeneralError, "", kSource);
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error while uploading file");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while uploading file");
    }
}

// ---------------------------------------------------------------- downloads

ErrorCode KpxLibTransport::DownloadFile(int cameraId, DownloadFileId fileId,
                                        const std::filesystem::path& path)
{
    static constexpr const char* kSource = "KpxLibTransport::DownloadFile";
    try
    {
        if (!IsCameraOpen(cameraId))
        {
            return SetLastErrorInfo(CameraNotFound, "No such camera", kSource);
        }
        bool descramble = false;
        switch (fileId)
        {
        case DownloadFileId::Log:
            descramble = true;
            break;
        case DownloadFileId::Data:
            break;
        default:
            if (!IsExpertMode(cameraId))
            {
                return SetLastErrorInfo(FileAccessDenied, "No such file id", kSource);
            }
            break;
        }
        const std::optional<std::wstring> widePath = WideFromUtf8(path.string());
        if (!widePath)
        {
            return RefuseArgument("The path is not UTF-8 text", kSource);
        }
        std::shared_ptr<Camera> camera;
        if (GetCamera(cameraId, camera) != Success)
        {
            // Closed meanwhile: -1 with the reason the look-up recorded.
            const std::string reason = GetErrorMessage();
            return SetLastErrorInfo(GeneralError, reason.c_str(), kSource);
        }
        if (!camera->DownloadLogToFile(static_cast<std::uint32_t>(fileId), widePath->c_str(), descramble))
        {
            return SetLastErrorInfo(GeneralError, "failed start file download", kSource);
        }
        return Success;
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error while downloading file");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while downloading file");
    }
    catch (const std::exception& error)
    {
        return SetLastErrorInfo(GeneralError, error.what(), kSource);
    }
}

KpxLibTransport::DiagnosticsLog KpxLibTransport::GetDiagnosticsLog(int cameraId)
{
    try
    {
        std::shared_ptr<Camera> camera;
        if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
        {
            return {found, std::nullopt};
        }
        return {Success, camera->DownloadLog(kDiagnosticsLogKind, true)};
    }
    catch (const ModuleError& error)
    {
        return {HandleModuleError(error, "Error while getting diagnostics log"), std::nullopt};
    }
    catch (const UniversalError& error)
    {
        return {HandleUniversalError(error, "Internal error while getting diagnostics log"), std::nullopt};
    }
}

bool KpxLibTransport::SaveDiagnosticsLog(int cameraId, const std::filesystem::path& path)
{
    static constexpr const char* kSource = "KpxLibTransport::SaveDiagnosticsLog";
    try
    {
        const std::optional<std::wstring> widePath = WideFromUtf8(path.string());
        if (!widePath)
        {
            RefuseArgument("The path is not UTF-8 text", kSource);
            return false;
        }
        std::shared_ptr<Camera> camera;
        if (GetCamera(cameraId, camera) != Success)
        {
            return false;
        }
        return camera->DownloadLogToFile(kDiagnosticsLogKind, widePath->c_str(), true);
    }
    catch (const ModuleError& error)
    {
        HandleModuleError(error, "Error while saving diagnostics log");
    }
    catch (const UniversalError& error)
    {
        HandleUniversalError(error, "Internal error while saving diagnostics log");
    }
    return false;
}

// ---------------------------------------------------------------- progress

namespace
{

// One transfer kind's progress: Begin at position 0, else Progress, at most one
// event per interval and camera.
void PostTransferProgress(std::mutex& lock, std::map<std::int32_t, std::int64_t>& lastPost,
                          std::int64_t intervalNs, int cameraId, const ProgressTask& task,
                          const EventType& begin, const EventType& progress,
                          const char* sdkNotOpenLine) noexcept
{
    try
    {
        Sdk* sdk = Sdk::GetInstance(false);
        if (sdk == nullptr)
        {
            SdkLog(1, "%s", sdkNotOpenLine);
            return;
        }
        SingleLockGuard guard(lock);
        const std::int64_t now = SteadyNanoseconds();
        const auto found = lastPost.find(cameraId);
        if (found != lastPost.end() && now - found->second < intervalNs)
        {
            return;
        }
        lastPost[cameraId] = now;
        const EventType& type = task.GetPosition() != 0 ? progress : begin;
        const double percent = task.GetPercent();
        const auto truncated = static_cast<std::uint8_t>(percent <= 0.0     ? 0.0
                                                         : percent >= 255.0 ? 255.0
                                                                            : percent);
        sdk->Notifications().Post(BuildTransferProgressEvent(type, cameraId, truncated));
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport: posting transfer progress failed: %s\n", error.what());
    }
}

} // namespace

void KpxLibTransport::HandleFirmwareTransferProgressUpdate(int cameraId, const ProgressTask& task) noexcept
{
    PostTransferProgress(m_firmwareProgress.lock, m_firmwareProgress.lastPost, kFirmwareThrottleNs, cameraId,
                         task, EventType::FirmwareTransferBegin, EventType::FirmwareTransferProgress,
                         "HandleFirmwareTransferProgressUpdate: Sdk not open - ignoring notification\n");
}

void KpxLibTransport::HandleFileTransferProgressUpdate(int cameraId, const ProgressTask& task) noexcept
{
    PostTransferProgress(m_fileProgress.lock, m_fileProgress.lastPost, kFileThrottleNs, cameraId, task,
                         EventType::FileTransferBegin, EventType::FileTransferProgress,
                         "HandleFileTransferProgressUpdate: Sdk not open - ignoring notification\n");
}

// ---------------------------------------------------------------- camera list

namespace
{

// An entry's texts, released unless the entry reached the list.
struct PendingEntry
{
    CameraSpecification entry;
    PendingEntry() = default;
    PendingEntry(const PendingEntry&) = delete;
    PendingEntry& operator=(const PendingEntry&) = delete;
    ~PendingEntry() { ReleaseTexts(entry); }

    void AppendTo(IVector<CameraSpecification>& list)
    {
        if (list.PushBack(entry))
        {
            entry = CameraSpecification{}; // the list owns the texts now
        }
    }
};

bool SameDevice(const KpxTransport::DeviceMoniker& own, const KpxTransport::DeviceMoniker& listed)
{
    switch (own.type)
    {
    case KpxTransport::kMonikerType_Usb:
        return own == listed;
    case KpxTransport::kMonikerType_Tcp:
        return listed.type == KpxTransport::kMonikerType_Tcp && own.tcp.address == listed.tcp.address &&
               own.tcp.port == listed.tcp.port;
    default:
        SdkLog(2, "KpxLibTransport: Unhandled device-moniker-type: %u\n", own.type);
        return false;
    }
}

} // namespace

ErrorCode KpxLibTransport::ListCameras(IVector<CameraSpecification>& list)
{
    try
    {
        list.Clear();
        std::vector<DeviceMoniker> devices;
        m_deviceManager.EnumerateDevices(devices);

        // The open cameras, copied under the lock: the cameras themselves are
        // asked outside it.
        struct OpenCamera
        {
            std::int32_t id = 0;
            std::shared_ptr<Camera> camera;
            bool removed = false;
            bool listed = false;
        };
        std::vector<OpenCamera> open;
        {
            SingleLockGuard lock(m_cameraLock);
            for (const auto& [id, entry] : m_cameras)
            {
                open.push_back({id, entry.camera, entry.removed, false});
            }
        }

        for (const DeviceMoniker& moniker : devices)
        {
            PendingEntry pending;
            CameraSpecification& entry = pending.entry;
            switch (moniker.type)
            {
            case KpxTransport::kMonikerType_Tcp:
            {
                entry.connection = static_cast<std::uint32_t>(TetherConnection::Tcp);
                const std::string name = moniker.tcp.name.c_str() != nullptr ? moniker.tcp.name.c_str() : "";
                entry.name = CreateString(name);
                entry.serialNumber = CreateString(ExtractSerialNumber(name));
                const Q7::Universal::UniversalStringA address = moniker.tcp.GetAddressText();
                entry.address = CreateString(address.c_str() != nullptr ? address.c_str() : "");
                break;
            }
            case KpxTransport::kMonikerType_Usb:
                entry.connection = static_cast<std::uint32_t>(TetherConnection::Usb);
                entry.name = CreateString(
                    moniker.usb.friendlyName.c_str() != nullptr ? moniker.usb.friendlyName.c_str() : "");
                entry.serialNumber =
                    CreateString(moniker.usb.identity.c_str() != nullptr ? moniker.usb.identity.c_str() : "");
                entry.address = CreateString(std::string());
                break;
            default:
                entry.connection = 0;
                break;
            }
            for (OpenCamera& camera : open)
            {
                if (!camera.listed && SameDevice(camera.camera->GetMoniker(), moniker))
                {
                    camera.listed = true;
                    entry.open = true;
                    if (const std::uint32_t type = camera.camera->GetConnectionType(); type != 0)
                    {
                        entry.connection = type;
                    }
                    break;
                }
            }
            pending.AppendTo(list);
        }

        for (const OpenCamera& camera : open)
        {
            if (camera.listed)
            {
                continue;
            }
            if (camera.removed)
            {
                SdkLog(5, "KpxLibTransport: Ignoring camera (%d) found in open-list but has been removed\n",
                       camera.id);
                continue;
            }
            Q7::KPX::Enumeration::DeviceInfo info;
            try
            {
                info = camera.camera->GetDeviceInfo();
            }
            catch (const UniversalError&)
            {
                continue; // closed meanwhile
            }
            PendingEntry pending;
            CameraSpecification& entry = pending.entry;
            entry.open = true;
            entry.name = CreateString(info.modelName);
            entry.serialNumber = CreateString(info.serialNumber);
            const DeviceMoniker& moniker = camera.camera->GetMoniker();
            if (moniker.type == KpxTransport::kMonikerType_Tcp)
            {
                entry.connection = static_cast<std::uint32_t>(TetherConnection::Tcp);
                const Q7::Universal::UniversalStringA address = moniker.tcp.GetAddressText();
                entry.address = CreateString(address.c_str() != nullptr ? address.c_str() : "");
            }
            else
            {
                if (moniker.type == KpxTransport::kMonikerType_Usb)
                {
                    SdkLog(
                        1,
                        "KpxLibTransport: Unexpected open USB unit not present in enumeration-list - maybe "
                        "it has just been closed?\n");
                    entry.connection = static_cast<std::uint32_t>(TetherConnection::Usb);
                }
                entry.address = CreateString(std::string());
            }
            pending.AppendTo(list);
        }
        return Success;
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error in getting camera list!");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error in getting camera list!");
    }
}

} // namespace Q7::TavrinC
