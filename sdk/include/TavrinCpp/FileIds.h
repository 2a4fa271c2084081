#pragma once
// The ids that name what a file transfer carries: Camera::UploadFile and
// Camera::DownloadFile, and the flat UploadFile and DownloadFile (TavrinC.h).

#include <TavrinCpp/Config.h>

#include <cstdint>

namespace Q7::Tavrin
{

/// What an upload carries. Other ids pass to the camera as they are and need
/// the camera's expert mode (property 0x5B2E7 set to 1).
enum class UploadFileId : std::uint32_t
{
    Firmware = 10, ///< a firmware file: its name must end in ".fwr" or ".fwp"
    Data = 201,
};

/// What a download fetches. Other ids need the camera's expert mode.
enum class DownloadFileId : std::uint32_t
{
    Log = 104, ///< the camera's log, unscrambled
    Data = 201,
};

} // namespace Q7::Tavrin
