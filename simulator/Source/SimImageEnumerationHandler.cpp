#include "SimImageEnumerationHandler.h"

#include "SimByteCursor.h"
#include "SimLog.h"

#include <algorithm>
#include <bit>
#include <set>
#include <string>

namespace Q7::Sim
{

namespace
{

using Messages = std::vector<std::vector<std::uint8_t>>;

constexpr std::size_t kMinFragmentSize = 32;
constexpr std::uint32_t kScaleOne = 0x3F800000; // 1.0f
constexpr std::uint32_t kBufferKindPreview = 1;
constexpr std::uint32_t kBufferKindTile = 2;

std::uint32_t FragmentFlags(std::size_t index, std::size_t count)
{
    std::uint32_t flags = 0;
    if (index == 0)
        flags |= kIeFragmentFirst;
    if (index + 1 == count)
        flags |= kIeFragmentLast;
    return flags;
}

// A reply message: the header of `headerSize` bytes with the four reply
// fields at 16 to 31 (the type's own header fields are written by the
// caller), then the body.
std::vector<std::uint8_t> ReplyMessage(std::uint8_t replyType, std::size_t headerSize, std::uint32_t flags,
                                       std::uint32_t status, std::uint32_t offset, std::uint32_t carried,
                                       std::span<const std::uint8_t> body)
{
    std::vector<std::uint8_t> message =
        StartMessage(kClassImageEnumeration, replyType, headerSize, headerSize + body.size());
    ByteWriter w(message);
    w.Seek(16);
    w.U32(flags);
    w.U32(status);
    w.U32(offset);
    w.U32(carried);
    w.Seek(headerSize);
    w.Bytes(body);
    return message;
}

void PutU32(std::vector<std::uint8_t>& message, std::size_t at, std::uint32_t value)
{
    ByteWriter w(message);
    w.Seek(at);
    w.U32(value);
}

std::uint32_t GetU32(std::span<const std::uint8_t> message, std::size_t at)
{
    ByteReader r(message);
    r.Seek(at);
    return r.U32();
}

// Appends `count` bytes to a message's body.
void AppendBody(std::vector<std::uint8_t>& message, std::size_t count, std::uint8_t value)
{
    message.insert(message.end(), count, value);
    PutU32(message, 8, static_cast<std::uint32_t>(message.size()));
}

// The image-list reply (or push) with `mask`: items in messages of at most
// `fragment` body bytes (at least one item each).
Messages ListMessages(std::uint32_t mask, const std::vector<SimImage>& images, std::size_t fragment)
{
    const std::size_t perMessage = std::max<std::size_t>(1, fragment / kIeListItemSize);
    const std::size_t count = std::max<std::size_t>(1, (images.size() + perMessage - 1) / perMessage);
    Messages messages;
    for (std::size_t index = 0; index < count; ++index)
    {
        std::vector<std::uint8_t> body;
        const std::size_t first = index * perMessage;
        for (std::size_t i = first; i < std::min(images.size(), first + perMessage); ++i)
        {
            const auto item = images[i].ListItemBytes();
            body.insert(body.end(), item.begin(), item.end());
        }
        auto message =
            ReplyMessage(kIeGetImageList | kIeReplyBit, kIeImageListHeaderSize, FragmentFlags(index, count),
                         kIeStatusSuccess, static_cast<std::uint32_t>(first * kIeListItemSize), 0, body);
        PutU32(message, 32, mask);
        messages.push_back(std::move(message));
    }
    return messages;
}

// A body cut into messages of at most `fragment` bytes, each written at its
// first-chunk offset.
Messages PlainMessages(std::uint8_t replyType, std::size_t headerSize, std::uint32_t status,
                       std::uint32_t carried, std::span<const std::uint8_t> body, std::size_t fragment)
{
    const std::size_t count = body.empty() ? 1 : (body.size() + fragment - 1) / fragment;
    Messages messages;
    for (std::size_t index = 0; index < count; ++index)
    {
        const std::size_t offset = index * fragment;
        const std::size_t size = std::min(fragment, body.size() - std::min(body.size(), offset));
        messages.push_back(ReplyMessage(replyType, headerSize, FragmentFlags(index, count), status,
                                        static_cast<std::uint32_t>(offset), carried,
                                        body.subspan(offset, size)));
    }
    return messages;
}

// The metadata reply: each item an item header and its data. An item's data
// that does not fit goes on in the next message (fragment flag 4, the
// first-chunk offset where it goes on), behind a copy of its item header that
// starts no new item.
Messages MetadataMessages(std::uint32_t status, std::uint32_t carried,
                          const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& items,
                          std::size_t fragment)
{
    struct Fragment
    {
        std::vector<std::uint8_t> body;
        bool continues = false;
        std::uint32_t offset = 0;
    };
    std::vector<Fragment> fragments(1);
    for (const auto& [id, data] : items)
    {
        std::vector<std::uint8_t> header(kIeMetadataItemHeaderSize, 0);
        PutU32(header, 0, id);
        PutU32(header, 8, static_cast<std::uint32_t>(data.size()));
        if (!fragments.back().body.empty() && fragments.back().body.size() + header.size() >= fragment)
            fragments.emplace_back();
        std::size_t done = 0;
        for (;;)
        {
            Fragment& current = fragments.back();
            current.body.insert(current.body.end(), header.begin(), header.end());
            const std::size_t room = fragment > current.body.size() ? fragment - current.body.size() : 1;
            const std::size_t n = std::min(room, data.size() - done);
            current.body.insert(current.body.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
                                data.begin() + static_cast<std::ptrdiff_t>(done + n));
            done += n;
            if (done == data.size())
                break;
            fragments.push_back({{}, true, static_cast<std::uint32_t>(done)});
        }
    }
    Messages messages;
    for (std::size_t index = 0; index < fragments.size(); ++index)
    {
        const Fragment& f = fragments[index];
        const std::uint32_t flags =
            FragmentFlags(index, fragments.size()) | (f.continues ? kIeFragmentContinuesItem : 0);
        auto message = ReplyMessage(kIeGetMetadata | kIeReplyBit, kIeMetadataHeaderSize, flags, status,
                                    f.offset, carried, f.body);
        PutU32(message, 36, kIeMetadataItemHeaderSize);
        messages.push_back(std::move(message));
    }
    return messages;
}

// What an image-buffer chunk header says.
struct Chunk
{
    std::uint32_t kind = kBufferKindPreview;
    std::uint32_t dataSize = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t tileX = 0;
    std::uint32_t tileY = 0;
    std::uint32_t tileWidth = 0;
    std::uint32_t tileHeight = 0;
    std::uint32_t format = kImageFormatRgb24;
    std::uint32_t scaleBits = kScaleOne;
};

// The image-buffer reply: a chunk header and a piece of the data per message.
Messages ImageBufferMessages(std::uint32_t carried, const Chunk& chunk, std::span<const std::uint8_t> data,
                             std::size_t fragment)
{
    const std::size_t perMessage =
        std::max<std::size_t>(1, fragment > kIeChunkHeaderSize ? fragment - kIeChunkHeaderSize : 1);
    const std::size_t count = data.empty() ? 1 : (data.size() + perMessage - 1) / perMessage;
    Messages messages;
    for (std::size_t index = 0; index < count; ++index)
    {
        const std::size_t offset = index * perMessage;
        const std::size_t size = std::min(perMessage, data.size() - std::min(data.size(), offset));
        std::vector<std::uint8_t> body(kIeChunkHeaderSize, 0);
        ByteWriter w(body);
        w.U32(chunk.kind);
        w.U32(0);
        w.U32(chunk.dataSize);
        w.U32(chunk.width);
        w.U32(chunk.height);
        w.U32(chunk.tileX);
        w.U32(chunk.tileY);
        w.U32(chunk.tileWidth);
        w.U32(chunk.tileHeight);
        w.U32(chunk.format);
        w.U32(0);
        w.U32(chunk.scaleBits);
        body.insert(body.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                    data.begin() + static_cast<std::ptrdiff_t>(offset + size));
        auto message = ReplyMessage(kIeGetImageBuffer | kIeReplyBit, kIeImageBufferHeaderSize,
                                    FragmentFlags(index, count), kIeStatusSuccess,
                                    static_cast<std::uint32_t>(offset), carried, body);
        PutU32(message, 36, static_cast<std::uint32_t>(size));
        PutU32(message, 60, kIeChunkHeaderSize);
        messages.push_back(std::move(message));
    }
    return messages;
}

// An error reply of any type: its header alone, flags 3.
Messages ErrorMessages(std::uint8_t replyType, std::size_t headerSize, std::uint32_t status,
                       std::uint32_t carried)
{
    auto message =
        ReplyMessage(replyType, headerSize, kIeFragmentFirst | kIeFragmentLast, status, 0, carried, {});
    if (replyType == (kIeGetMetadata | kIeReplyBit))
        PutU32(message, 36, kIeMetadataItemHeaderSize);
    if (replyType == (kIeGetImageBuffer | kIeReplyBit))
        PutU32(message, 60, kIeChunkHeaderSize);
    return {std::move(message)};
}

// A preview of an image in a wire format (JPEG states data size 0: its
// length is the rest of its messages).
Messages PreviewMessages(const SimImage& image, std::uint32_t format, std::size_t fragment)
{
    Chunk chunk;
    chunk.kind = kBufferKindPreview;
    chunk.format = format;
    chunk.width = image.pictureWidth;
    chunk.height = image.pictureHeight;
    chunk.tileWidth = image.pictureWidth;
    chunk.tileHeight = image.pictureHeight;
    const std::vector<std::uint8_t> data = image.PreviewBytes(format);
    chunk.dataSize = format == kImageFormatJpeg ? 0 : static_cast<std::uint32_t>(data.size());
    return ImageBufferMessages(image.id, chunk, data, fragment);
}

std::string Hex(std::uint32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", value);
    return buffer;
}

} // namespace

// ---------------------------------------------------------------------------
// ImageEnumerationCounters and ImageEnumerationControl.

std::size_t ImageEnumerationCounters::Requests(std::uint8_t type) const
{
    const auto found = requests.find(type);
    return found == requests.end() ? 0 : found->second;
}

std::size_t ImageEnumerationCounters::Replies(std::uint8_t replyType) const
{
    const auto found = replies.find(replyType);
    return found == replies.end() ? 0 : found->second;
}

void ImageEnumerationControl::SetCapabilities(const Capabilities& capabilities)
{
    std::lock_guard lock(m_mutex);
    m_capabilities = capabilities;
}

ImageEnumerationControl::Capabilities ImageEnumerationControl::GetCapabilities() const
{
    std::lock_guard lock(m_mutex);
    return m_capabilities;
}

void ImageEnumerationControl::SetFragmentSize(std::size_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_fragmentSize = std::max(bytes, kMinFragmentSize);
}

std::size_t ImageEnumerationControl::FragmentSize() const
{
    std::lock_guard lock(m_mutex);
    return m_fragmentSize;
}

void ImageEnumerationControl::AddFault(ImageEnumerationFault fault)
{
    std::lock_guard lock(m_mutex);
    m_faults.push_back(fault);
}

std::optional<ImageEnumerationFault> ImageEnumerationControl::TakeFault(std::uint8_t type)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
    {
        if (it->requestType == 0 || it->requestType == type)
        {
            const ImageEnumerationFault fault = *it;
            m_faults.erase(it);
            ++m_counters.faultsApplied;
            m_changed.notify_all();
            return fault;
        }
    }
    return std::nullopt;
}

void ImageEnumerationControl::HoldImageBufferReplies(bool hold)
{
    std::lock_guard lock(m_mutex);
    m_hold = hold;
}

bool ImageEnumerationControl::HoldsImageBufferReplies() const
{
    std::lock_guard lock(m_mutex);
    return m_hold;
}

bool ImageEnumerationControl::ReleaseHeldReply()
{
    std::lock_guard held(m_heldMutex);
    if (m_held.empty())
        return false;
    const Held next = std::move(m_held.front());
    m_held.pop_front();
    Update([](ImageEnumerationCounters& c) { --c.heldReplies; });
    next.send();
    return true;
}

void ImageEnumerationControl::Hold(ImageEnumerationHandler* owner, std::function<void()> send)
{
    {
        std::lock_guard held(m_heldMutex);
        m_held.push_back({owner, std::move(send)});
    }
    Update([](ImageEnumerationCounters& c) { ++c.heldReplies; });
}

void ImageEnumerationControl::DropHeld(ImageEnumerationHandler* owner)
{
    std::size_t dropped = 0;
    {
        std::lock_guard held(m_heldMutex);
        const auto end =
            std::remove_if(m_held.begin(), m_held.end(), [&](const Held& h) { return h.owner == owner; });
        dropped = static_cast<std::size_t>(m_held.end() - end);
        m_held.erase(end, m_held.end());
    }
    if (dropped > 0)
        Update([dropped](ImageEnumerationCounters& c) { c.heldReplies -= dropped; });
}

ImageEnumerationCounters ImageEnumerationControl::Counters() const
{
    std::lock_guard lock(m_mutex);
    return m_counters;
}

bool ImageEnumerationControl::WaitUntil(const std::function<bool(const ImageEnumerationCounters&)>& predicate,
                                        std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_counters); });
}

void ImageEnumerationControl::Update(const std::function<void(ImageEnumerationCounters&)>& change)
{
    {
        std::lock_guard lock(m_mutex);
        change(m_counters);
    }
    m_changed.notify_all();
}

// ---------------------------------------------------------------------------
// ImageEnumerationHandler.

ImageEnumerationHandler::ImageEnumerationHandler(std::shared_ptr<ImageStore> store,
                                                 std::shared_ptr<ImageEnumerationControl> control)
    : m_store(std::move(store)), m_control(std::move(control))
{
}

ImageEnumerationHandler::~ImageEnumerationHandler()
{
    if (m_listening)
        m_store->Unsubscribe(this);
    m_control->DropHeld(this);
}

ChannelHandlerFactory ImageEnumerationHandler::Factory(std::shared_ptr<ImageStore> store,
                                                       std::shared_ptr<ImageEnumerationControl> control)
{
    return [store, control](ChannelId) { return std::make_unique<ImageEnumerationHandler>(store, control); };
}

void ImageEnumerationHandler::OnOpen(ChannelContext& context)
{
    MessageChannelHandler::OnOpen(context);
    {
        std::lock_guard lock(m_sendMutex);
        m_context = &context;
        m_subscribed = false;
        m_subscriptionOption = 0;
    }
    m_store->Subscribe(this);
    m_listening = true;
}

void ImageEnumerationHandler::OnClose(ChannelContext& context)
{
    // Afterwards neither a push nor a held reply uses the context.
    m_store->Unsubscribe(this);
    m_listening = false;
    m_control->DropHeld(this);
    {
        std::lock_guard lock(m_sendMutex);
        m_context = nullptr;
    }
    MessageChannelHandler::OnClose(context);
}

bool ImageEnumerationHandler::SendAll(const Messages& messages)
{
    std::lock_guard lock(m_sendMutex);
    if (m_context == nullptr)
        return false;
    for (const auto& message : messages)
    {
        if (!m_context->Send(message))
            return false;
    }
    return true;
}

bool ImageEnumerationHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                        std::span<const std::uint8_t> message)
{
    if (header.messageClass != kClassImageEnumeration)
        return false;
    switch (header.messageType)
    {
    case kIeGetImageList:
        OnGetImageList(context, header, message);
        return true;
    case kIeBasicImageInfo:
        OnBasicImageInfo(context, header, message);
        return true;
    case kIeGetMetadata:
        OnGetMetadata(context, header, message);
        return true;
    case kIeGetImageBuffer:
        OnGetImageBuffer(context, header, message);
        return true;
    case kIeEditImageMetadata:
        OnEdit(context, header, message);
        return true;
    case kIeGetCapabilities:
        OnGetCapabilities(context, header);
        return true;
    case kIeSetSubscription:
        OnSetSubscription(context, header, message);
        return true;
    default:
        return false; // answered with a CommonError
    }
}

void ImageEnumerationHandler::SendReply(std::uint8_t requestType, Messages messages,
                                        std::optional<ImageEnumerationFault> fault)
{
    const std::uint8_t replyType = messages.empty() ? 0 : messages.front()[5];
    if (fault && m_context != nullptr)
    {
        m_context->Log().Write(LogLevel::Warning, "channel 3.0: fault " +
                                                      std::to_string(static_cast<int>(fault->kind)) +
                                                      " on request " + Hex(requestType));
        switch (fault->kind)
        {
        case ImageEnumerationFaultKind::Silence:
            return;
        case ImageEnumerationFaultKind::PartialReply:
        {
            std::vector<std::uint8_t>& first = messages.front();
            const std::size_t headerSize = first[6] | (first[7] << 8);
            const std::size_t body = first.size() - headerSize;
            first.resize(body > 0 ? headerSize + body / 2 : headerSize / 2 + 8);
            SendAll({first});
            return;
        }
        case ImageEnumerationFaultKind::FirstFragmentOnly:
        {
            std::vector<std::uint8_t> first = messages.front();
            PutU32(first, 16, kIeFragmentFirst);
            SendAll({first});
            return;
        }
        case ImageEnumerationFaultKind::ClaimsMore:
            if (replyType == (kIeGetImageBuffer | kIeReplyBit))
                PutU32(messages.front(), kIeImageBufferHeaderSize + 8, fault->claimBytes);
            else if (replyType == (kIeGetMetadata | kIeReplyBit))
                PutU32(messages.front(), kIeMetadataHeaderSize + 8, fault->claimBytes);
            break;
        case ImageEnumerationFaultKind::CommonErrorReply:
            SendAll({BuildCommonError(fault->status, kClassImageEnumeration, requestType, "refused")});
            return;
        case ImageEnumerationFaultKind::RestartedReply:
        {
            std::vector<std::uint8_t> first = messages.front();
            PutU32(first, 16, kIeFragmentFirst);
            messages.insert(messages.begin(), std::move(first));
            break;
        }
        case ImageEnumerationFaultKind::LoneContinuation:
        {
            std::vector<std::uint8_t> stray = messages.back();
            PutU32(stray, 16, kIeFragmentLast);
            if (replyType == (kIeGetImageList | kIeReplyBit))
                PutU32(stray, 32, 0); // a list fragment that changes nothing
            messages.insert(messages.begin(), std::move(stray));
            break;
        }
        case ImageEnumerationFaultKind::CapabilitiesWithBody:
        case ImageEnumerationFaultKind::TrailingBytes:
            AppendBody(messages.back(), fault->kind == ImageEnumerationFaultKind::TrailingBytes ? 100 : 40,
                       0xA5);
            break;
        case ImageEnumerationFaultKind::ListNotMultipleOf24:
            AppendBody(messages.back(), 10, 0x5A);
            break;
        case ImageEnumerationFaultKind::ErrorStatusWithBody:
            for (auto& message : messages)
                PutU32(message, 20, fault->status);
            break;
        case ImageEnumerationFaultKind::HugeDataSize:
            if (replyType == (kIeGetImageBuffer | kIeReplyBit))
                PutU32(messages.front(), kIeImageBufferHeaderSize + 8, 0xFFFFFFFFu);
            break;
        case ImageEnumerationFaultKind::ShortChunkHeader:
            if (replyType == (kIeGetImageBuffer | kIeReplyBit))
            {
                std::vector<std::uint8_t> body(30, 0x11);
                auto message = ReplyMessage(replyType, kIeImageBufferHeaderSize,
                                            kIeFragmentFirst | kIeFragmentLast, kIeStatusSuccess, 0, 0, body);
                PutU32(message, 60, kIeChunkHeaderSize);
                messages = {std::move(message)};
            }
            break;
        case ImageEnumerationFaultKind::OverrunningChunk:
            // Built in two messages; the second resumes at the destination's end.
            if (messages.size() >= 2)
            {
                std::uint32_t destination = kIeBasicInfoSize;
                if (replyType == (kIeGetImageBuffer | kIeReplyBit))
                {
                    destination = GetU32(messages.front(), kIeImageBufferHeaderSize + 8);
                    if (destination == 0) // a JPEG: as long as its messages' data
                    {
                        destination = 0;
                        for (const auto& message : messages)
                            destination += GetU32(message, 36);
                    }
                }
                PutU32(messages[1], 24, destination);
            }
            break;
        case ImageEnumerationFaultKind::Fragmented:
            break; // applied when the reply was built
        }
    }
    if (SendAll(messages) && replyType != 0)
        m_control->Update([replyType](ImageEnumerationCounters& c) { ++c.replies[replyType]; });
}

// The fragment size of a reply: the control's, or what a fault asks for.
static std::size_t FragmentFor(const ImageEnumerationControl& control,
                               const std::optional<ImageEnumerationFault>& fault, std::size_t destination)
{
    if (fault && fault->kind == ImageEnumerationFaultKind::Fragmented)
        return std::max<std::size_t>(fault->fragmentBytes, 1);
    if (fault && fault->kind == ImageEnumerationFaultKind::OverrunningChunk)
        return std::max<std::size_t>((destination + 1) / 2, 1);
    return control.FragmentSize();
}

void ImageEnumerationHandler::OnGetImageList(ChannelContext& context, const MessageHeader& header,
                                             std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, 20, "GetImageList"))
        return;
    if (const std::uint32_t value = GetU32(message, 16); value != 10)
        context.ReportViolation(ViolationKind::BadMessage,
                                "GetImageList carries " + std::to_string(value) + ", not 10");
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeGetImageList]; });
    const auto fault = m_control->TakeFault(kIeGetImageList);
    // Built and sent under the store's lock: no change of the list can come
    // between the list and its pushes.
    m_store->WithImages(
        [&](const std::vector<SimImage>& images)
        {
            SendReply(kIeGetImageList, ListMessages(kIeListWhole, images, FragmentFor(*m_control, fault, 0)),
                      fault);
        });
}

void ImageEnumerationHandler::OnBasicImageInfo(ChannelContext& context, const MessageHeader& header,
                                               std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, 20, "BasicImageInfo"))
        return;
    const std::uint32_t id = GetU32(message, 16);
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeBasicImageInfo]; });
    const auto fault = m_control->TakeFault(kIeBasicImageInfo);
    const std::uint8_t replyType = kIeBasicImageInfo | kIeReplyBit;
    const auto image = m_store->Find(id);
    Messages messages;
    if (!image)
    {
        messages = ErrorMessages(replyType, kIeBasicImageInfoHeaderSize, kIeStatusInvalidImageId, id);
    }
    else
    {
        const auto body = image->BasicInfoBytes();
        messages = PlainMessages(replyType, kIeBasicImageInfoHeaderSize, kIeStatusSuccess, id, body,
                                 FragmentFor(*m_control, fault, kIeBasicInfoSize));
    }
    SendReply(kIeBasicImageInfo, std::move(messages), fault);
}

void ImageEnumerationHandler::OnGetMetadata(ChannelContext& context, const MessageHeader& header,
                                            std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, 64, "GetMetadata"))
        return;
    const std::uint32_t id = GetU32(message, 16);
    if (GetU32(message, 20) != 0)
        context.ReportViolation(ViolationKind::BadMessage, "GetMetadata bytes 20-23 are not 0");
    std::vector<std::uint32_t> wanted;
    for (std::size_t i = 0; i < 10; ++i)
        wanted.push_back(GetU32(message, 24 + 4 * i));
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeGetMetadata]; });
    const auto fault = m_control->TakeFault(kIeGetMetadata);
    const auto image = m_store->Find(id);
    if (!image)
    {
        SendReply(
            kIeGetMetadata,
            ErrorMessages(kIeGetMetadata | kIeReplyBit, kIeMetadataHeaderSize, kIeStatusInvalidImageId, id),
            fault);
        return;
    }
    // Each item the image has, once, in the order asked.
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> items;
    std::set<std::uint32_t> taken;
    for (const std::uint32_t item : wanted)
    {
        const auto found = image->metadata.find(item);
        if (item != 0 && found != image->metadata.end() && taken.insert(item).second)
            items.emplace_back(item, found->second);
    }
    SendReply(kIeGetMetadata,
              MetadataMessages(kIeStatusSuccess, id, items, FragmentFor(*m_control, fault, 0)), fault);
}

void ImageEnumerationHandler::OnGetImageBuffer(ChannelContext& context, const MessageHeader& header,
                                               std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, 80, "GetImageBuffer"))
        return;
    ByteReader r(message);
    r.Seek(16);
    const std::uint32_t id = r.U32();
    const std::uint32_t kind = r.U32();
    const std::uint32_t x = r.U32();
    const std::uint32_t y = r.U32();
    const std::uint32_t height = r.U32();
    const std::uint32_t width = r.U32();
    const std::uint32_t field4 = r.U32();
    const std::uint32_t field5 = r.U32();
    const std::uint32_t scaleBits = r.U32();
    const std::uint32_t zero52 = r.U32();
    const std::uint32_t timeLow = r.U32();
    const std::uint32_t timeHigh = r.U32();
    const std::uint32_t format = r.U32();
    const std::uint32_t field10 = r.U32();
    const std::uint32_t zero72 = r.U32();
    const std::uint32_t zero76 = r.U32();
    if (zero52 != 0 || zero72 != 0 || zero76 != 0)
        context.ReportViolation(ViolationKind::BadMessage, "GetImageBuffer bytes 52-55 or 72-79 are not 0");
    if (kind == kBufferKindPreview &&
        (x != 0 || y != 0 || height != 0 || width != 0 || field4 != 0 || field5 != 0 ||
         scaleBits != kScaleOne || timeLow != 0 || timeHigh != 0 || field10 != 0))
        context.ReportViolation(ViolationKind::BadMessage, "GetImageBuffer of a preview carries tile fields");
    if (kind != kBufferKindPreview && kind != kBufferKindTile)
        context.ReportViolation(ViolationKind::BadMessage,
                                "GetImageBuffer of buffer kind " + std::to_string(kind));
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeGetImageBuffer]; });
    const auto fault = m_control->TakeFault(kIeGetImageBuffer);

    const std::uint8_t replyType = kIeGetImageBuffer | kIeReplyBit;
    const auto image = m_store->Find(id);
    const std::uint32_t wireFormat = format == kImageFormatUnspecified ? kImageFormatJpeg : format;
    const ImageEnumerationControl::Capabilities capabilities = m_control->GetCapabilities();
    std::uint32_t status = kIeStatusSuccess;
    if (!image)
        status = kIeStatusInvalidImageId;
    else if (kind != kBufferKindPreview && kind != kBufferKindTile)
        status = kIeStatusRequestFailed;
    else if (wireFormat != kImageFormatJpeg && wireFormat != kImageFormatRgb24)
        status = kIeStatusUnsupportedFormat;
    else if (kind == kBufferKindTile &&
             (width == 0 || height == 0 || std::uint64_t{x} + width > image->pictureWidth ||
              std::uint64_t{y} + height > image->pictureHeight || width > capabilities.maxTileWidth ||
              height > capabilities.maxTileHeight))
        status = kIeStatusInvalidBuffer;

    Messages messages;
    if (status != kIeStatusSuccess)
    {
        messages = ErrorMessages(replyType, kIeImageBufferHeaderSize, status, id);
    }
    else if (kind == kBufferKindPreview)
    {
        const std::size_t size = image->PreviewBytes(wireFormat).size();
        messages = PreviewMessages(*image, wireFormat,
                                   FragmentFor(*m_control, fault, size) +
                                       (fault && fault->kind == ImageEnumerationFaultKind::OverrunningChunk
                                            ? kIeChunkHeaderSize
                                            : 0));
    }
    else
    {
        Chunk chunk;
        chunk.kind = kBufferKindTile;
        chunk.format = wireFormat;
        chunk.width = width;
        chunk.height = height;
        chunk.tileX = x;
        chunk.tileY = y;
        chunk.tileWidth = width;
        chunk.tileHeight = height;
        chunk.scaleBits = scaleBits;
        const std::vector<std::uint8_t> data = image->TileBytes(wireFormat, x, y, width, height);
        chunk.dataSize = static_cast<std::uint32_t>(data.size());
        messages = ImageBufferMessages(
            id, chunk, data,
            FragmentFor(*m_control, fault, data.size()) +
                (fault && fault->kind == ImageEnumerationFaultKind::OverrunningChunk ? kIeChunkHeaderSize
                                                                                     : 0));
    }
    if (m_control->HoldsImageBufferReplies())
    {
        m_control->Hold(this, [this, messages = std::move(messages), fault]() mutable
                        { SendReply(kIeGetImageBuffer, std::move(messages), fault); });
        return;
    }
    SendReply(kIeGetImageBuffer, std::move(messages), fault);
}

void ImageEnumerationHandler::OnEdit(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, 28, "EditImageMetadata"))
        return;
    const std::uint32_t id = GetU32(message, 16);
    const std::uint32_t kind = GetU32(message, 20);
    const std::uint32_t value = GetU32(message, 24);
    if (kind == 2 && value != 0)
        context.ReportViolation(ViolationKind::BadMessage,
                                "EditImageMetadata deleting with value " + std::to_string(value));
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeEditImageMetadata]; });
    if (const auto fault = m_control->TakeFault(kIeEditImageMetadata))
    {
        // No reply type of its own: only silence or a CommonError apply.
        if (fault->kind == ImageEnumerationFaultKind::CommonErrorReply)
            SendAll(
                {BuildCommonError(fault->status, kClassImageEnumeration, kIeEditImageMetadata, "refused")});
        return;
    }
    // The change is pushed to every open channel by the store's listeners.
    bool applied = false;
    if (kind == 1)
        applied = m_store->Rate(id, value);
    else if (kind == 2)
        applied = m_store->Remove(id);
    else
    {
        SendAll({BuildCommonError(kIeStatusRequestFailed, kClassImageEnumeration, kIeEditImageMetadata,
                                  "unknown edit kind")});
        return;
    }
    if (!applied)
        SendAll({BuildCommonError(kIeStatusInvalidImageId, kClassImageEnumeration, kIeEditImageMetadata,
                                  "Invalid ImageId")});
}

void ImageEnumerationHandler::OnGetCapabilities(ChannelContext& context, const MessageHeader& header)
{
    if (!ExpectSize(context, header, 16, "GetCapabilities"))
        return;
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeGetCapabilities]; });
    const auto fault = m_control->TakeFault(kIeGetCapabilities);
    const ImageEnumerationControl::Capabilities capabilities = m_control->GetCapabilities();
    auto message = ReplyMessage(kIeGetCapabilities | kIeReplyBit, kIeCapabilitiesHeaderSize,
                                kIeFragmentFirst | kIeFragmentLast, kIeStatusSuccess, 0, 0, {});
    ByteWriter w(message);
    w.Seek(36);
    w.U32(capabilities.maxTileWidth);
    w.U32(capabilities.maxTileHeight);
    w.U32(capabilities.value44);
    w.U32(capabilities.value48);
    w.U32(capabilities.value52);
    SendReply(kIeGetCapabilities, {std::move(message)}, fault);
}

void ImageEnumerationHandler::OnSetSubscription(ChannelContext& context, const MessageHeader& header,
                                                std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, 28, "SetSubscription"))
        return;
    ByteReader r(message);
    r.Seek(16);
    const std::uint32_t flags = r.U32();
    const std::uint32_t options = r.U32();
    r.U8(); // the option byte
    if (r.U8() != 0 || r.U8() != 0 || r.U8() != 0)
        context.ReportViolation(ViolationKind::BadMessage, "SetSubscription bytes 25-27 are not 0");
    m_control->Update([](ImageEnumerationCounters& c) { ++c.requests[kIeSetSubscription]; });
    const auto fault = m_control->TakeFault(kIeSetSubscription);

    std::uint32_t status = kIeStatusSuccess;
    std::uint32_t stateFlags = 0;
    std::uint32_t stateOption = 0;
    {
        std::lock_guard lock(m_sendMutex);
        if ((m_control->GetCapabilities().value52 & kIeCapabilityPreviewSubscription) == 0 || flags > 1)
            status = kIeStatusRequestFailed;
        else if (flags == 1 && options != 1 && options != 2)
            status = kIeStatusUnsupportedFormat;
        else
        {
            m_subscribed = flags == 1;
            m_subscriptionOption = m_subscribed ? options : 0;
        }
        stateFlags = m_subscribed ? 1 : 0;
        stateOption = m_subscriptionOption;
    }
    auto reply = ReplyMessage(kIeSetSubscription | kIeReplyBit, kIeSubscriptionHeaderSize,
                              kIeFragmentFirst | kIeFragmentLast, status, 0, 0, {});
    PutU32(reply, 32, stateFlags);
    PutU32(reply, 36, stateOption);
    SendReply(kIeSetSubscription, {std::move(reply)}, fault);
}

// ---------------------------------------------------------------------------
// Pushes (the store's lock held).

void ImageEnumerationHandler::Push(std::uint32_t mask, const std::vector<SimImage>& images)
{
    if (images.empty() || !SendAll(ListMessages(mask, images, m_control->FragmentSize())))
        return;
    m_control->Update([](ImageEnumerationCounters& c) { ++c.pushes; });
}

void ImageEnumerationHandler::OnImagesAdded(const std::vector<SimImage>& images)
{
    Push(kIeListAdded, images);
    std::uint32_t option = 0;
    {
        std::lock_guard lock(m_sendMutex);
        option = m_subscribed ? m_subscriptionOption : 0;
    }
    if (option == 0)
        return;
    const std::uint32_t format = option == 1 ? kImageFormatJpeg : kImageFormatRgb24;
    for (const SimImage& image : images)
    {
        if (SendAll(PreviewMessages(image, format, m_control->FragmentSize())))
            m_control->Update([](ImageEnumerationCounters& c) { ++c.subscriptionPreviews; });
    }
}

void ImageEnumerationHandler::OnImageRemoved(const SimImage& image)
{
    Push(kIeListRemoved, {image});
}

void ImageEnumerationHandler::OnImageChanged(const SimImage& image)
{
    Push(kIeListChanged, {image});
}

} // namespace Q7::Sim
