// The records the image-enumeration agent of channel 3.0 builds from the
// camera's replies and hands to its owner, one per finished (or failed)
// reply, with the notification kinds that carry them.
//
// Every record ends in a status block: the camera's status, this side's
// assembly error, the reply's carried word and whether the reply arrived
// whole. A record is posted also when its reply failed, with the failure in
// that block.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "Agents/ImageEnumeration/KPXImageEnumerationMessages.h"

namespace Q7::KPX::ImageEnumeration
{

/// What went wrong while a reply was assembled (0: nothing).
enum EnumAssemblyError : std::uint32_t
{
    kAssemblyError_None = 0,
    kAssemblyError_ChunkHeader = 2, ///< a chunk header was rejected (or cut short)
    kAssemblyError_ChunkOffset = 4, ///< a chunk's data size was not larger than the first-chunk offset
    kAssemblyError_Replaced = 8,    ///< a new reply began before this one completed
    kAssemblyError_Header = 16,     ///< the reply header could not be read
    kAssemblyError_Body = 32,       ///< a body read failed
    kAssemblyError_Exception = 64,  ///< an exception, or the reply passed the allocation limit
};

/// The status block every record ends in.
struct AssembleStatus
{
    std::uint32_t status = 0;        ///< the camera's status (kImageEnumStatus_Success when it succeeded)
    std::uint32_t assemblyError = 0; ///< EnumAssemblyError
    std::uint32_t carried = 0;       ///< the reply header's word at 28
    bool complete = false;           ///< the reply ended with its last message and did not fail

    /// The camera reported an error, or the reply could not be assembled.
    [[nodiscard]] bool HasFailed() const noexcept
    {
        return assemblyError != kAssemblyError_None || status != kImageEnumStatus_Success;
    }
};

/// The notification kinds of the agent, with the record each carries.
enum ImageEnumNotify : std::uint32_t
{
    kImageEnumNotify_ImageAdded = 1,          ///< one ImageListItem
    kImageEnumNotify_ImageRemoved = 2,        ///< one ImageListItem
    kImageEnumNotify_ImageListChanged = 3,    ///< none (null)
    kImageEnumNotify_ImageChanged = 4,        ///< one ImageListItem
    kImageEnumNotify_MetadataReady = 5,       ///< MetadataItems
    kImageEnumNotify_PreviewReady = 6,        ///< ImageBuffer of kind 1
    kImageEnumNotify_TileReady = 7,           ///< ImageBuffer of kind 2
    kImageEnumNotify_BasicImageInfoReady = 8, ///< BasicImageInfo
    kImageEnumNotify_CapabilitiesReady = 9,   ///< Capabilities
    kImageEnumNotify_SubscriptionChanged = 10 ///< SetSubscriptionStruct
};

/// The basic information of one image.
struct BasicImageInfo
{
    BasicImageInfoBody body;
    AssembleStatus status;
};

/// The camera's image-enumeration capabilities: its reply header as this side
/// keeps it (magic, class, type 0x86 and both sizes for the negotiated
/// version; the reply's fragment flags and status; 0 at 24 to 31; 1 at 32;
/// the camera's values at 36 to 55).
struct Capabilities
{
    CapabilitiesMessageHeader reply;
    AssembleStatus status;
};

/// The camera's answer to SetSubscription, kept as Capabilities is (type
/// 0x87; the camera's flags and option at 32 and 36).
struct SetSubscriptionStruct
{
    SetSubscriptionsMessageHeader reply;
    AssembleStatus status;
};

/// A preview or tile.
struct ImageBuffer
{
    AssembleStatus status;
    std::uint32_t bufferHeight = 0;
    std::uint32_t bufferWidth = 0;
    std::uint32_t tileX = 0;
    std::uint32_t tileY = 0;
    std::uint32_t tileHeight = 0;
    std::uint32_t tileWidth = 0;
    float scale = 0.0F;
    std::uint32_t imageFormat = kWireFormat_Unspecified; ///< EnumWireImageFormat
    std::uint32_t bufferKind = 0;                        ///< EnumBufferKind
    std::uint32_t fragmentFlags = 0;                     ///< of the reply's first message
    std::uint64_t arrivalTimeMs = 0;                     ///< wall clock when the last message arrived
    std::uint32_t value32 = 0;                           ///< the first message's reply header word at 32
    std::uint32_t value40 = 0;                           ///< the first message's reply header word at 40
    std::uint32_t total36 = 0; ///< the sum of every message's reply header word at 36
    std::vector<std::uint8_t> data;

    [[nodiscard]] std::size_t GetDataSize() const noexcept { return data.size(); }
};

/// One metadata item.
struct MetadataItem
{
    std::uint32_t itemId = 0;
    std::vector<std::uint8_t> data;
};

/// The metadata items of one reply, in the camera's order.
struct MetadataItems
{
    AssembleStatus status;
    std::vector<MetadataItem> items;
};

/// The camera's image list as this side mirrors it.
using ImageList = std::list<ImageListItem>;

/// The image list the image-list replies keep up to date (it mirrors the
/// camera's list) with the status of the last list reply. The assembly keeps
/// one for the agent's life.
struct ImageListWrapper
{
    AssembleStatus status;
    std::mutex lock; // guards list
    ImageList list;
};

/// An owned record of any of the types above; its deleter knows the type.
using RecordPtr = std::unique_ptr<const void, void (*)(const void*)>;

/// Wraps an owned record.
template <typename Record>
RecordPtr MakeRecordPtr(std::unique_ptr<Record> record)
{
    return RecordPtr(record.release(),
                     [](const void* pointer) { delete static_cast<const Record*>(pointer); });
}

/// No record (kind 3).
inline RecordPtr NoRecord()
{
    return RecordPtr(nullptr, [](const void*) {});
}

} // namespace Q7::KPX::ImageEnumeration
