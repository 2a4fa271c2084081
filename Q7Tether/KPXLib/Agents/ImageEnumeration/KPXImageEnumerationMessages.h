// Channel 3.0 image-enumeration messages (class 0x67): the seven requests the
// agent writes, the six reply headers and the records inside reply bodies
// (image-list items, metadata item headers, image-buffer chunk headers, the
// basic image information), with the status codes and flags they carry.
//
// Each message lists its fields once (Fields), so its encoder and its decoder
// come from that one list; the sizes come from the image-enumeration size
// tables of Wire/KPXMessage.h. Everything here is pure and reentrant.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX::ImageEnumeration
{

/// Message types of the image-enumeration class: requests and their replies
/// (the request's type with bit 7 set; there is no reply 0x85).
enum EnumImageEnumerationMessageType : std::uint8_t
{
    kImageEnumMessage_GetImageList = 0x01,
    kImageEnumMessage_BasicImageInfo = 0x02,
    kImageEnumMessage_GetMetadata = 0x03,
    kImageEnumMessage_GetImageBuffer = 0x04,
    kImageEnumMessage_EditImageMetadata = 0x05,
    kImageEnumMessage_GetCapabilities = 0x06,
    kImageEnumMessage_SetSubscription = 0x07,
    kImageEnumMessage_ImageListReply = 0x81,
    kImageEnumMessage_BasicImageInfoReply = 0x82,
    kImageEnumMessage_MetadataReply = 0x83,
    kImageEnumMessage_ImageBufferReply = 0x84,
    kImageEnumMessage_CapabilitiesReply = 0x86,
    kImageEnumMessage_SetSubscriptionReply = 0x87,
};

/// Reply status codes (offset 20 of a reply, and the error id of a camera's
/// CommonError about a request of this class). Every code but success has one
/// bit set in its low 16 bits.
enum EnumImageEnumStatus : std::uint32_t
{
    kImageEnumStatus_Success = 0x67000001,
    kImageEnumStatus_0x2 = 0x67000002,
    kImageEnumStatus_QueueFull = 0x67000004,
    kImageEnumStatus_UnsupportedFormat = 0x67000008,
    kImageEnumStatus_FatalError = 0x67000010,
    kImageEnumStatus_UnexpectedStatus = 0x67000020,
    kImageEnumStatus_InvalidImageId = 0x67000040,
    kImageEnumStatus_IsBusy = 0x67000080,
    kImageEnumStatus_RequestFailed = 0x67000100,
    kImageEnumStatus_InvalidBuffer = 0x67000200,
    kImageEnumStatus_ImageSkipped = 0x67000400,
    kImageEnumStatus_BufferRequestTimeout = 0x67000800,
    kImageEnumStatus_FileIsCorrupt = 0x67001000,
};

/// Fragment flags of a reply message (offset 16).
enum EnumFragmentFlags : std::uint32_t
{
    kFragment_First = 0x1, ///< the first message of a reply
    kFragment_Last = 0x2,  ///< the last message of a reply
    /// Metadata only: the message's first chunk continues the reply's last item.
    kFragment_ContinuesItem = 0x4,
};

/// Change mask of an image-list reply (offset 32).
enum EnumImageListChange : std::uint32_t
{
    kListChange_WholeList = 0x2,      ///< the items are (part of) the whole list
    kListChange_WholeListEmpty = 0x4, ///< starts a whole list; appends nothing
    kListChange_Added = 0x20,
    kListChange_Removed = 0x40,
    kListChange_Changed = 0x100,
};

/// Buffer kinds of GetImageBuffer and its chunk header.
enum EnumBufferKind : std::uint32_t
{
    kBufferKind_Preview = 1,
    kBufferKind_Tile = 2,
};

/// Image formats on the wire (request field 9, chunk header offset 36).
enum EnumWireImageFormat : std::uint32_t
{
    kWireFormat_Unspecified = 1,
    kWireFormat_Jpeg = 2,
    kWireFormat_Rgb24 = 4,
};

/// Edit kinds of EditImageMetadata.
enum EnumEditKind : std::uint32_t
{
    kEdit_Rate = 1,
    kEdit_Delete = 2,
};

/// The value every GetImageList carries at offset 16.
inline constexpr std::uint32_t kGetImageListValue = 10;
/// Item ids of a GetMetadata: at most this many go into one request.
inline constexpr std::size_t kMetadataIdsPerRequest = 10;

// ---------------------------------------------------------------------------
// Requests (host to camera). Header size and message size both carry the
// request's size for the negotiated version.

/// GetImageList (type 1): 20 bytes.
struct GetImageListMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_GetImageList, 20, 20, 0};
    std::uint32_t value = kGetImageListValue;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, value);
    }
};

/// BasicImageInfo (type 2): 20 bytes, the image id at 16.
struct BasicImageInfoRequest
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_BasicImageInfo, 20, 20, 0};
    std::uint32_t imageId = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, imageId);
    }
};

/// GetMetadata (type 3): 64 bytes, the image id and ten item ids (unused 0).
struct GetMetadataMessage
{
    static constexpr std::size_t kEncodedSize = 64;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_GetMetadata, 64, 64, 0};
    std::uint32_t imageId = 0;
    std::uint32_t reserved20 = 0;
    std::array<std::uint32_t, kMetadataIdsPerRequest> itemIds{};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, imageId, reserved20, itemIds);
    }
};

/// What a preview or tile request asks for: the argument of RequestPreview
/// and RequestTile. Fields in order, all 32-bit; see GetImageBufferMessage for
/// where each goes. A tile names its source rectangle as field 6 (x), field 7
/// (y), field 3 (width) and field 2 (height).
struct ImageBufferRequestInfo
{
    std::uint32_t imageId = 0; ///< field 1
    std::uint32_t field2 = 0;
    std::uint32_t field3 = 0;
    std::uint32_t field4 = 0;
    std::uint32_t field5 = 0;
    std::uint32_t field6 = 0;
    std::uint32_t field7 = 0;
    float field8 = 0.0F;      ///< the tile's scale
    std::uint32_t field9 = 0; ///< the wire image format (EnumWireImageFormat)
    std::uint32_t field10 = 0;
};

/// GetImageBuffer (type 4): 80 bytes.
struct GetImageBufferMessage
{
    static constexpr std::size_t kEncodedSize = 80;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_GetImageBuffer, 80, 80, 0};
    std::uint32_t imageId = 0;    ///< field 1
    std::uint32_t bufferKind = 0; ///< EnumBufferKind
    std::uint32_t field6 = 0;     ///< tile only: x
    std::uint32_t field7 = 0;     ///< tile only: y
    std::uint32_t field2 = 0;     ///< tile only: height
    std::uint32_t field3 = 0;     ///< tile only: width
    std::uint32_t field4 = 0;     ///< tile only
    std::uint32_t field5 = 0;     ///< tile only
    float scale = 1.0F;           ///< field 8 for a tile, 1.0 for a preview
    std::uint32_t reserved52 = 0;
    std::uint64_t timeMs = 0;  ///< tile only: the host's wall clock (ms since 1970)
    std::uint32_t field9 = 0;  ///< the wire image format
    std::uint32_t field10 = 0; ///< tile only
    std::uint32_t reserved72 = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, imageId, bufferKind, field6, field7, field2, field3, field4, field5, scale, reserved52,
           timeMs, field9, field10, reserved72, Padding<4>{});
    }
};

/// EditImageMetadata (type 5): 28 bytes.
struct EditImageMetadataMessage
{
    static constexpr std::size_t kEncodedSize = 28;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_EditImageMetadata, 28, 28, 0};
    std::uint32_t imageId = 0;
    std::uint32_t editKind = 0; ///< EnumEditKind
    std::uint32_t value = 0;    ///< the rating for kind 1, 0 for kind 2

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, imageId, editKind, value);
    }
};

/// GetCapabilities (type 6): the common header alone.
struct GetCapabilitiesMessage
{
    static constexpr std::size_t kEncodedSize = 16;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_GetCapabilities, 16, 16, 0};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header);
    }
};

/// SetSubscription (type 7): 28 bytes.
struct SetSubscriptionMessage
{
    static constexpr std::size_t kEncodedSize = 28;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_SetSubscription, 28, 28, 0};
    std::uint32_t flags = 0;   ///< 1 switches the preview subscription on, 0 off
    std::uint32_t options = 0; ///< 1 JPEG previews, 2 RGB24 previews
    std::uint8_t optionByte = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, flags, options, optionByte, Padding<3>{});
    }
};

/// Request makers. Each raises ModuleError 0x15E001D "KPX feature not
/// supported!" (plain) for a version below 1.0, and std::bad_alloc.
MessageBytes MakeGetImageListMessage(ProtocolVersion version);
MessageBytes MakeBasicImageInfoMessage(ProtocolVersion version, std::uint32_t imageId);
/// Writes the first ten of `itemIds` (fewer leave zeros).
MessageBytes MakeGetMetadataMessage(ProtocolVersion version, std::uint32_t imageId,
                                    std::span<const std::uint32_t> itemIds);
/// A preview (kind 1) carries the image id, the scale 1.0 and field 9; a tile
/// (kind 2) every field and `timeMs`. Any other kind builds nothing: the
/// result is empty.
MessageBytes MakeGetImageBufferMessage(ProtocolVersion version, const ImageBufferRequestInfo& info,
                                       std::uint32_t bufferKind, std::uint64_t timeMs);
MessageBytes MakeEditImageMetadataMessage(ProtocolVersion version, std::uint32_t imageId,
                                          std::uint32_t editKind, std::uint32_t value);
MessageBytes MakeGetCapabilitiesMessage(ProtocolVersion version);
MessageBytes MakeSetSubscriptionMessage(ProtocolVersion version, std::uint32_t flags, std::uint32_t options,
                                        std::uint8_t optionByte);

// ---------------------------------------------------------------------------
// Reply headers (camera to host). Each starts with the five fields every reply
// has; the defaults are this side's header for protocol 1.0.

/// The fields at 16 to 31 of every reply.
struct ReplyFields
{
    std::uint32_t fragmentFlags = 0;    ///< EnumFragmentFlags
    std::uint32_t status = 0;           ///< EnumImageEnumStatus
    std::uint32_t firstChunkOffset = 0; ///< where the message's first chunk goes in its destination
    std::uint32_t carried = 0;          ///< carried into the record's status block

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(fragmentFlags, status, firstChunkOffset, carried);
    }
};

/// The image-list reply header (0x81): 56 bytes; 24-byte ImageListItems follow.
struct ImageListMessageHeader
{
    static constexpr std::size_t kEncodedSize = 56;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_ImageListReply, 56, 56, 0};
    ReplyFields reply;
    std::uint32_t changeMask = 0; ///< EnumImageListChange

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, reply, changeMask, Padding<20>{});
    }
};

/// The basic-image-information reply header (0x82): 32 bytes; the 76-byte
/// BasicImageInfoBody follows.
struct BasicImageInfoMessageHeader
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_BasicImageInfoReply, 32, 32, 0};
    ReplyFields reply;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, reply);
    }
};

/// The metadata reply header (0x83): 40 bytes; items (a MetadataItemHeader and
/// its data each) follow.
struct MetadataMessageHeader
{
    static constexpr std::size_t kEncodedSize = 40;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_MetadataReply, 40, 40, 0};
    ReplyFields reply;
    std::uint32_t value32 = 0;
    std::uint32_t itemHeaderSize = 20;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, reply, value32, itemHeaderSize);
    }
};

/// The image-buffer reply header (0x84): 64 bytes; chunks (an
/// ImageBufferChunkHeader and data bytes each) follow.
struct ImageBufferMessageHeader
{
    static constexpr std::size_t kEncodedSize = 64;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_ImageBufferReply, 64, 64, 0};
    ReplyFields reply;
    std::uint32_t value32 = 0; ///< copied to the record
    std::uint32_t value36 = 0; ///< added to the record's running total
    std::uint32_t value40 = 0; ///< copied to the record
    std::uint32_t chunkHeaderSize = 56;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, reply, value32, value36, value40, Padding<16>{}, chunkHeaderSize);
    }
};

/// The capabilities reply header (0x86): 56 bytes, no body.
struct CapabilitiesMessageHeader
{
    static constexpr std::size_t kEncodedSize = 56;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_CapabilitiesReply, 56, 56, 0};
    ReplyFields reply;
    std::uint32_t value32 = 0;
    std::uint32_t maxTileWidth = 0;
    std::uint32_t maxTileHeight = 0;
    std::uint32_t value44 = 0;
    std::uint32_t value48 = 0;
    std::uint32_t value52 = 0; ///< bit 0: previews of captures can be subscribed

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, reply, value32, maxTileWidth, maxTileHeight, value44, value48, value52);
    }
};

/// The subscription reply header (0x87): 40 bytes, no body.
struct SetSubscriptionsMessageHeader
{
    static constexpr std::size_t kEncodedSize = 40;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_ImageEnumeration, kImageEnumMessage_SetSubscriptionReply, 40, 40, 0};
    ReplyFields reply;
    std::uint32_t flags = 0;  ///< the subscription flags as the camera holds them
    std::uint32_t option = 0; ///< the subscription option as the camera holds it

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, reply, flags, option);
    }
};

// ---------------------------------------------------------------------------
// Records inside reply bodies.

/// One image of the camera's list: 24 bytes on the wire and in memory. The
/// name is narrow text ending at its first zero byte; byte 22 (the name's
/// last) is set to 0 on receipt, so a name has at most 13 characters.
struct ImageListItem
{
    static constexpr std::size_t kEncodedSize = 24;

    std::uint32_t imageId = 0;
    std::uint32_t attribute = 0;
    std::uint8_t byte8 = 0;
    std::array<std::uint8_t, 14> name{};
    std::uint8_t attribute23 = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(imageId, attribute, byte8, name, attribute23);
    }

    friend bool operator==(const ImageListItem&, const ImageListItem&) = default;
};

/// The header of one metadata item (20 bytes); `dataSize` data bytes follow.
struct MetadataItemHeader
{
    static constexpr std::size_t kEncodedSize = 20;

    std::uint32_t itemId = 0;
    std::uint32_t value4 = 0;
    std::uint32_t dataSize = 0;
    std::array<std::uint8_t, 8> bytes12{};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(itemId, value4, dataSize, bytes12);
    }
};

/// The header of one image-buffer chunk (56 bytes); data bytes follow.
struct ImageBufferChunkHeader
{
    static constexpr std::size_t kEncodedSize = 56;

    std::uint32_t bufferKind = 0; ///< EnumBufferKind
    std::uint32_t value4 = 0;
    std::uint32_t dataSize = 0; ///< of the whole buffer (0 for a JPEG preview)
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t tileX = 0;
    std::uint32_t tileY = 0;
    std::uint32_t tileWidth = 0;
    std::uint32_t tileHeight = 0;
    std::uint32_t imageFormat = 0; ///< EnumWireImageFormat
    std::uint32_t value40 = 0;
    float scale = 1.0F;
    std::array<std::uint8_t, 8> bytes48{};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(bufferKind, value4, dataSize, width, height, tileX, tileY, tileWidth, tileHeight, imageFormat,
           value40, scale, bytes48);
    }
};

/// The body of a basic-image-information reply: 76 bytes.
struct BasicImageInfoBody
{
    static constexpr std::size_t kEncodedSize = 76;

    float aperture = 0.0F; ///< APEX
    float shutter = 0.0F;  ///< APEX
    float focusPointX = 0.0F;
    float focusPointY = 0.0F;
    float focalLength = 0.0F; ///< mm
    std::uint32_t whiteBalance = 0;
    std::uint32_t rawCompression = 0;
    std::uint32_t value28 = 0;
    std::uint32_t orientation = 0;
    std::uint32_t pixelWidth = 0;
    std::uint32_t pixelHeight = 0;
    std::uint32_t iso = 0;
    std::uint32_t rating = 0;    ///< stars
    std::uint32_t timeStamp = 0; ///< Unix time
    std::uint32_t imageSize = 0; ///< bytes
    std::array<std::uint8_t, 16> fileName{};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(aperture, shutter, focusPointX, focusPointY, focalLength, whiteBalance, rawCompression, value28,
           orientation, pixelWidth, pixelHeight, iso, rating, timeStamp, imageSize, fileName);
    }
};

} // namespace Q7::KPX::ImageEnumeration
