// The flat interface's files and firmware: uploads and firmware updates that
// post their end events, downloads and the diagnostics log.

#include "FlatFunction.h"
#include "KpxLibTransport.h"
#include "NotificationEvent.h"
#include "SdkLog.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/TavrinC.h>

#include <cstring>
#include <utility>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;

namespace
{

// Runs a transfer of the bridge and records its result under the flat
// function's name: a failure with the message the bridge recorded for it during
// this call (none when it recorded none), a success without one. What the
// thread recorded before the call never passes for this transfer's reason.
template <typename Transfer>
ErrorCode RecordTransfer(const char* source, Transfer&& transfer) noexcept
{
    SetLastErrorInfo(Success, "", source);
    const ErrorCode result = RecordExceptions(source, std::forward<Transfer>(transfer));
    if (result != Success && GetErrorCode() == result)
    {
        return ReportCurrentError(source);
    }
    return SetLastErrorInfo(result, "", source);
}

// A transfer from memory that ends in Done (100) or Error (0), both posted for
// the camera once the SDK was found.
template <typename Transfer>
ErrorCode TransferWithEndEvent(const char* source, int cameraId, const EventType& done,
                               const EventType& failed, Transfer&& transfer) noexcept
{
    return FlatCall(source, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        ErrorCode result = SdkNoFactory;
                        if (sdk.Factory() == nullptr)
                        {
                            result = SetLastErrorInfo(SdkNoFactory, "", source);
                        }
                        else
                        {
                            result = RecordTransfer(source, [&] { return transfer(sdk.Transport()); });
                        }
                        sdk.Notifications().Post(BuildTransferProgressEvent(
                            result == Success ? done : failed, cameraId, result == Success ? 100 : 0));
                        return result;
                    });
}

} // namespace

ErrorCode UpdateCameraFirmware(int cameraId, const unsigned char* data, std::uint64_t size)
{
    static constexpr const char* kSource = "Q7::TavrinC::UpdateCameraFirmware";
    return TransferWithEndEvent(
        kSource, cameraId, EventType::FirmwareTransferDone, EventType::FirmwareTransferError,
        [&](KpxLibTransport& bridge) { return bridge.UpdateCameraFirmware(cameraId, data, size); });
}

ErrorCode UploadFile(int cameraId, UploadFileId fileId, const unsigned char* data, std::uint64_t size,
                     const std::string& fileName)
{
    static constexpr const char* kSource = "Q7::TavrinC::UploadFile";
    return TransferWithEndEvent(kSource, cameraId, EventType::FileTransferDone, EventType::FileTransferError,
                                [&](KpxLibTransport& bridge)
                                { return bridge.UploadFile(cameraId, fileId, data, size, fileName); });
}

ErrorCode DownloadFile(int cameraId, DownloadFileId fileId, std::filesystem::path path)
{
    static constexpr const char* kSource = "Q7::TavrinC::DownloadFile";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        const std::filesystem::path copy = path;
                        return RecordTransfer(
                            kSource, [&] { return sdk.Transport().DownloadFile(cameraId, fileId, copy); });
                    });
}

std::pair<ErrorCode, std::optional<std::vector<unsigned char>>> GetDiagnosticsLog(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetDiagnosticsLog";
    std::optional<std::vector<unsigned char>> bytes;
    const ErrorCode code = FlatCall(kSource, NoSdk::Report,
                                    [&](Sdk& sdk)
                                    {
                                        KpxLibTransport::DiagnosticsLog log =
                                            sdk.Transport().GetDiagnosticsLog(cameraId);
                                        bytes = std::move(log.second);
                                        // A failure keeps the bridge's record.
                                        return log.first != Success ? log.first
                                                                    : SetLastErrorInfo(Success, "", kSource);
                                    });
    if (code != Success)
    {
        bytes.reset();
    }
    return {code, std::move(bytes)};
}

std::pair<ErrorCode, bool> SaveDiagnosticsLog(int cameraId, std::filesystem::path path)
{
    static constexpr const char* kSource = "Q7::TavrinC::SaveDiagnosticsLog";
    bool saved = false;
    const ErrorCode code = FlatCall(kSource, NoSdk::Report,
                                    [&](Sdk& sdk)
                                    {
                                        // The code is 0 either way. A log not saved leaves the
                                        // reason the bridge recorded during this call, if any; a
                                        // saved one clears the record.
                                        SetLastErrorInfo(Success, "", kSource);
                                        saved = sdk.Transport().SaveDiagnosticsLog(cameraId, path);
                                        if (saved)
                                        {
                                            SetLastErrorInfo(Success, "", kSource);
                                        }
                                        return Success;
                                    });
    return {code, code == Success && saved};
}

} // namespace Q7::TavrinC
