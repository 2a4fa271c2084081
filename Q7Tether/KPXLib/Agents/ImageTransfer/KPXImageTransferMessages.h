// Channel 4 image-transfer messages (class 0x68): the four requests the agent
// writes (GetStatus, EnableTransfer, SetHostStorageSize, RequestImage) and the
// two messages the camera sends (the image-request reply and its status).
// The images themselves travel as data transfers (class 2, Wire/KPXDataTransfer.h).
//
// Each message lists its fields once (Fields), so its encoder and its decoder
// come from that one list. Every size table has the one row 1.0; a lower
// version takes the same size. Everything here is pure and reentrant.
#pragma once

#include <cstdint>

#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX::ImageTransfer
{

/// Message types of the image-transfer class.
enum EnumImageTransferMessageType : std::uint8_t
{
    kImageTransferMessage_GetStatus = 0x01,
    kImageTransferMessage_EnableTransfer = 0x02,
    kImageTransferMessage_SetHostStorageSize = 0x03,
    kImageTransferMessage_RequestImage = 0x04,
    kImageTransferMessage_ImageRequestReply = 0x05,
    kImageTransferMessage_Status = 0x81,
};

/// The image-request reply's status that accepts the request.
inline constexpr std::uint32_t kImageRequestAccepted = 1;

/// Size selectors (16, 20, 20, 20, 32 and 28 at every version).
std::uint16_t GetGetStatusMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetEnableTransferMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetSetHostStorageSizeMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetRequestImageMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetImageRequestReplyMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetStatusMessageSize(ProtocolVersion version) noexcept;

/// GetStatus (type 1): the header alone; the camera answers with its status.
struct GetStatusMessage
{
    static constexpr std::size_t kEncodedSize = 16;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageTransfer, kImageTransferMessage_GetStatus, 16, 16, 0};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header);
    }
};

/// EnableTransfer (type 2): whether the camera may send its images.
struct EnableTransferMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageTransfer, kImageTransferMessage_EnableTransfer, 20, 20, 0};
    std::uint8_t enable = 0; ///< 0 or 1

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, enable, Padding<3>{});
    }
};

/// SetHostStorageSize (type 3): the host's storage for images, in megabytes.
struct SetHostStorageSizeMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageTransfer, kImageTransferMessage_SetHostStorageSize, 20, 20, 0};
    std::uint32_t storageSize = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, storageSize);
    }
};

/// RequestImage (type 4): asks the camera to send a stored image.
struct RequestImageMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageTransfer, kImageTransferMessage_RequestImage, 20, 20, 0};
    std::uint32_t imageId = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, imageId);
    }
};

/// The camera's answer to RequestImage (type 5); bytes 24 to 31 are not read.
struct ImageRequestReplyMessage
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageTransfer, kImageTransferMessage_ImageRequestReply, 32, 32, 0};
    std::uint32_t imageId = 0;
    std::uint32_t requestStatus = 0; ///< kImageRequestAccepted when the image will come
    std::uint64_t reserved24 = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, imageId, requestStatus, reserved24);
    }
};

/// The camera's transfer status (type 0x81); bytes 25 to 27 are not read.
struct StatusMessage
{
    static constexpr std::size_t kEncodedSize = 28;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageTransfer, kImageTransferMessage_Status, 28, 28, 0};
    std::uint32_t pendingCount = 0; ///< images the camera still holds for the host
    std::uint32_t storageSize = 0;  ///< megabytes
    std::uint8_t enabled = 0;       ///< non-zero: transfer enabled

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, pendingCount, storageSize, enabled, Padding<3>{});
    }
};

/// The pre-filled received messages for a version (sizes from their tables),
/// over which the receivers read what the camera sent.
ImageRequestReplyMessage MakeDefaultImageRequestReply(ProtocolVersion version) noexcept;
StatusMessage MakeDefaultStatus(ProtocolVersion version) noexcept;

// Makers of the requests. Each raises ModuleError 0x15E001D "KPX feature not
// supported!" (plain) below 1.0.
MessageBytes MakeGetStatusMessage(ProtocolVersion version);
MessageBytes MakeEnableTransferMessage(ProtocolVersion version, bool enable);
MessageBytes MakeSetHostStorageSizeMessage(ProtocolVersion version, std::uint32_t megabytes);
MessageBytes MakeRequestImageMessage(ProtocolVersion version, std::uint32_t imageId);

} // namespace Q7::KPX::ImageTransfer
