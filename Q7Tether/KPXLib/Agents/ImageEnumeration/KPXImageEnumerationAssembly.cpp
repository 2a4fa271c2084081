#include "Agents/ImageEnumeration/KPXImageEnumerationAssembly.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <exception>
#include <utility>

#include "Channel/KPXChannel.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX::ImageEnumeration
{

using Universal::LogError;
using Universal::ModuleError;
using Universal::StdExceptionError;
using Universal::UniversalError;

ReplyAssembly::Owner::~Owner() = default;

namespace
{

// The camera codes with which a CommonError ends a request by a status record
// of its own (every image-enumeration code, and "unknown message").
constexpr std::uint32_t kCameraErrorMask = 0x67000080;

std::uint64_t WallClockMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

} // namespace

// One reply type's assembly factory (the interface of the family and its
// generic steps in one class): the steps of a reply (begin, chunks, end,
// finish) with the hooks each reply type fills in. Receive thread only,
// but for what a subclass guards itself.
class IBufferAssemblerFactory
{
public:
    // What a chunk header allows.
    enum class Chunk
    {
        kAccept,
        kReject,   // assembly error 2
        kTooLarge, // passes the reply's allocation limit: assembly error 64
        kShort,    // the data before it ended short of its claim: assembly error 32
    };

    IBufferAssemblerFactory(ReplyAssembly::Owner& owner, std::uint8_t replyType, ImageEnumNotify kind,
                            std::uint64_t limit)
        : m_owner(owner), m_replyType(replyType), m_kind(kind), m_limit(limit)
    {
    }
    virtual ~IBufferAssemblerFactory() = default;

    IBufferAssemblerFactory(const IBufferAssemblerFactory&) = delete;
    IBufferAssemblerFactory& operator=(const IBufferAssemblerFactory&) = delete;

    [[nodiscard]] std::uint8_t ReplyType() const noexcept { return m_replyType; }

    virtual void SetProtocolVersion(ProtocolVersion version) = 0;
    // Reads the rest of the reply header; the source's result.
    virtual std::uint32_t ReadHeader(const CommonMessageHeader& header, MessageSource& source) = 0;
    // The reply fields of the header read last.
    [[nodiscard]] virtual const ReplyFields& Reply() const = 0;

    // Assembles the message whose header was read; see ReplyAssembly.
    bool AssembleBody(std::uint64_t remaining, MessageSource& source);

    // Ends the reply in progress (a new record when there is none) with
    // `code` as its assembly error or, for a camera's code, as its status.
    void Finish(std::uint32_t code, bool assemblyError);

    // The channel closed: nothing is asked any more.
    virtual void OnChannelClosed() {}

protected:
    // The record in progress.
    [[nodiscard]] virtual bool HasRecord() const = 0;
    virtual AssembleStatus& RecordStatus() = 0;
    // Replaces the record by a new empty one.
    virtual void NewRecord() = 0;
    // Posts the record (it leaves the assembler, unless kept).
    virtual void PostRecord() = 0;
    // Posts a fresh record whose status is `code`.
    virtual void PostStatusRecord(std::uint32_t code) = 0;
    [[nodiscard]] virtual bool KeepsRecord() const { return false; }

    // A reply's first message: false when it answers nothing this side asked
    // for (it is read away and no record made).
    virtual bool AcceptsReply() { return true; }
    virtual void OnHeader() {}
    [[nodiscard]] virtual std::size_t ChunkHeaderSize() const { return 0; }
    virtual std::span<std::uint8_t> ChunkHeaderBuffer() { return {}; }
    // `remaining`: the message's bytes still unread behind the chunk header.
    virtual Chunk OnChunkHeader(std::uint64_t /*index*/, std::uint64_t /*remaining*/)
    {
        return Chunk::kAccept;
    }
    // A chunk's data: the size its destination claims (0: none), what of it
    // arrived (from its start, without a gap), and the destination grown to
    // hold [0, end) as the bytes come (never the claim up front).
    [[nodiscard]] virtual std::uint64_t ChunkClaim() const { return 0; }
    [[nodiscard]] virtual std::uint64_t ChunkFilled() const { return 0; }
    virtual std::span<std::uint8_t> GrowChunk(std::uint64_t /*end*/) { return {}; }
    // The record's data ended short of what it claimed (checked when the
    // reply's last message ends).
    [[nodiscard]] virtual bool EndsShort() const { return false; }
    // A message's body may hold several chunks (otherwise what follows the
    // first is read away).
    [[nodiscard]] virtual bool RepeatsChunks() const { return false; }
    // The reply ended (`failed`: with an error); its record is posted next.
    // While Replacing(), a reply that began anew ended the one before.
    virtual void OnReplyFinished(bool /*failed*/) {}
    // A camera's CommonError named the request: true when it ends a request
    // of this side (a status record is posted then).
    virtual bool OnCameraError() { return true; }
    [[nodiscard]] bool Replacing() const noexcept { return m_replacing; }

    // Counts `bytes` towards the reply's allocation limit; false when they pass it.
    bool Reserve(std::uint64_t bytes) noexcept
    {
        if (bytes > m_limit - m_allocated)
            return false;
        m_allocated += bytes;
        return true;
    }

    void Post(ImageEnumNotify kind, RecordPtr record) { m_owner.PostRecord(kind, std::move(record)); }

    ReplyAssembly::Owner& m_owner;
    const std::uint8_t m_replyType;
    ImageEnumNotify m_kind;

private:
    bool BeginMessage();
    void EndMessage();
    void CreateRecord();
    void EndReply(bool last);

    const std::uint64_t m_limit;
    std::uint64_t m_allocated = 0; // claimed by the reply in progress
    bool m_replacing = false;      // a new reply ends the one in progress
};

namespace
{

// Grows `data` to `end` bytes (at most `claim`) as they arrive: capacity at
// least doubles, so a large reply in many messages copies little, and never
// passes the claim. Answers the whole data.
std::span<std::uint8_t> GrowTo(std::vector<std::uint8_t>& data, std::uint64_t end, std::uint64_t claim)
{
    if (end > data.size())
    {
        if (end > data.capacity())
            data.reserve(
                static_cast<std::size_t>(std::min(claim, std::max<std::uint64_t>(end, 2 * data.capacity()))));
        data.resize(static_cast<std::size_t>(end));
    }
    return data;
}

} // namespace

bool IBufferAssemblerFactory::BeginMessage()
{
    const ReplyFields& reply = Reply();
    if ((reply.fragmentFlags & kFragment_First) != 0 && !KeepsRecord())
    {
        // A reply that answers nothing asked for makes no record (and is
        // not taken for the answer of a request still to come).
        if (!HasRecord() && !AcceptsReply())
        {
            Universal::LogErrorText(L"KPX ch3 reply of type 0x%02X answers no request: read away.",
                                    unsigned{m_replyType});
            return false;
        }
        CreateRecord();
    }
    // A message continuing no reply (its reply failed, or a stray fragment)
    // has nothing to fill.
    if (!HasRecord())
        return false;
    AssembleStatus& status = RecordStatus();
    status.status = reply.status;
    status.assemblyError = kAssemblyError_None;
    status.carried = reply.carried;
    status.complete = false;
    OnHeader();
    return true;
}

void IBufferAssemblerFactory::CreateRecord()
{
    if (HasRecord())
    {
        // The new reply answers what the replaced one answered.
        RecordStatus().assemblyError = kAssemblyError_Replaced;
        m_replacing = true;
        EndReply(false);
        m_replacing = false;
    }
    NewRecord();
    m_allocated = 0;
}

void IBufferAssemblerFactory::EndMessage()
{
    if (!HasRecord())
        return;
    const bool last = (Reply().fragmentFlags & kFragment_Last) != 0;
    if (!last && !RecordStatus().HasFailed())
        return; // the reply goes on in the next message
    if (last && !RecordStatus().HasFailed() && EndsShort())
    {
        // Less data than the reply claimed: not complete, not zero-filled.
        Universal::LogErrorText(L"KPX ch3 reply of type 0x%02X ended short of its data.",
                                unsigned{m_replyType});
        RecordStatus().assemblyError = kAssemblyError_Body;
    }
    EndReply(last);
}

void IBufferAssemblerFactory::EndReply(bool last)
{
    const bool failed = RecordStatus().HasFailed();
    RecordStatus().complete = last && !failed;
    // Everything the reply settles (a gate, pending ids and what is asked
    // next) is settled before the record leaves: whoever reacts to it finds
    // the request ended or continued, never half way.
    OnReplyFinished(failed);
    PostRecord();
}

void IBufferAssemblerFactory::Finish(std::uint32_t code, bool assemblyError)
{
    if (!assemblyError && (code & kCameraErrorMask) != 0)
    {
        // The camera refused the request: it ends, so that the next one of
        // its kind can go out, and a record of its own tells so (posted
        // last: whoever reacts to it finds the request ended).
        if (OnCameraError())
            PostStatusRecord(code);
        return;
    }
    if (!HasRecord())
    {
        // Nothing to tell about a reply nobody asked for.
        if (!AcceptsReply())
            return;
        NewRecord();
        m_allocated = 0;
    }
    if (assemblyError)
        RecordStatus().assemblyError = code;
    else
        RecordStatus().status = code;
    EndReply(false);
}

bool IBufferAssemblerFactory::AssembleBody(std::uint64_t remaining, MessageSource& source)
{
    if (!BeginMessage())
        return source.Skip(remaining) == 0;
    for (std::uint64_t index = 0; remaining > 0 && !RecordStatus().HasFailed(); ++index)
    {
        if (const std::size_t headerSize = ChunkHeaderSize(); headerSize > 0)
        {
            if (remaining < headerSize)
            {
                Finish(kAssemblyError_ChunkHeader, true);
                return false;
            }
            if (source.Read(ChunkHeaderBuffer()) != 0)
            {
                Finish(kAssemblyError_Body, true);
                return false;
            }
            remaining -= headerSize;
            const Chunk verdict = OnChunkHeader(index, remaining);
            if (verdict == Chunk::kReject)
            {
                Finish(kAssemblyError_ChunkHeader, true);
                return false;
            }
            if (verdict == Chunk::kTooLarge)
            {
                LogError(ModuleError(Universal::kError_LimitExceeded, L"KPX ch3 reply too large."));
                Finish(kAssemblyError_Exception, true);
                return source.Skip(remaining) == 0;
            }
            if (verdict == Chunk::kShort)
            {
                Universal::LogErrorText(L"KPX ch3 reply of type 0x%02X ended short of its data.",
                                        unsigned{m_replyType});
                Finish(kAssemblyError_Body, true);
                return source.Skip(remaining) == 0;
            }
        }
        const std::uint64_t claim = ChunkClaim();
        const std::uint64_t offset = index == 0 ? Reply().firstChunkOffset : 0;
        // The data goes on where it stopped (or over what arrived): an offset
        // past the claim, or one that leaves a gap, is refused.
        if (claim != 0 && (claim <= offset || offset > ChunkFilled()))
        {
            Finish(kAssemblyError_ChunkOffset, true);
            return false;
        }
        const std::uint64_t count = claim == 0 ? 0 : std::min<std::uint64_t>(claim - offset, remaining);
        if (count > 0)
        {
            const std::span<std::uint8_t> data = GrowChunk(offset + count);
            if (source.Read(
                    data.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(count))) != 0)
            {
                Finish(kAssemblyError_Body, true);
                return false;
            }
            remaining -= count;
        }
        if (!RepeatsChunks())
            break; // the destination is full: what follows is read away
    }
    // An error reply's body, bytes beyond a full record: read away.
    if (remaining > 0 && source.Skip(remaining) != 0)
    {
        Finish(kAssemblyError_Body, true);
        return false;
    }
    EndMessage();
    return true;
}

namespace
{

using HeaderSizeFunction = std::uint16_t (*)(ProtocolVersion) noexcept;

// The part of a factory that reads one reply-header type (the image list,
// which keeps its list rather than a record, stops here).
template <typename Header>
class HeaderAssemblyFactory : public IBufferAssemblerFactory
{
public:
    HeaderAssemblyFactory(ReplyAssembly::Owner& owner, ImageEnumNotify kind, std::uint64_t limit,
                          HeaderSizeFunction headerSize)
        : IBufferAssemblerFactory(owner, Header{}.header.messageType, kind, limit), m_headerSize(headerSize)
    {
        m_default = WithFixedSize(Header{}, m_headerSize(ProtocolVersion{1, 0}));
    }

    void SetProtocolVersion(ProtocolVersion version) override
    {
        m_default = WithFixedSize(Header{}, m_headerSize(version));
    }

    std::uint32_t ReadHeader(const CommonMessageHeader& header, MessageSource& source) override
    {
        Header read = m_default;
        if (const std::uint32_t result = ReadMessageFixedPart(source, header, read); result != 0)
            return result;
        m_header = read;
        return 0;
    }

    [[nodiscard]] const ReplyFields& Reply() const override { return m_header.reply; }

protected:
    HeaderSizeFunction m_headerSize;
    Header m_default; // this side's header for the negotiated version
    Header m_header;  // the message's, as read
};

// The factory of one record type from one reply-header type.
template <typename Record, typename Header>
class BufferAssemblyFactory : public HeaderAssemblyFactory<Header>
{
public:
    using HeaderAssemblyFactory<Header>::HeaderAssemblyFactory;

protected:
    [[nodiscard]] bool HasRecord() const override { return m_record != nullptr; }
    AssembleStatus& RecordStatus() override { return m_record->status; }
    void NewRecord() override { m_record = std::make_unique<Record>(); }
    void PostRecord() override { this->Post(this->m_kind, MakeRecordPtr(std::move(m_record))); }
    void PostStatusRecord(std::uint32_t code) override
    {
        auto record = std::make_unique<Record>();
        record->status.status = code;
        this->Post(this->m_kind, MakeRecordPtr(std::move(record)));
    }

    std::unique_ptr<Record> m_record;
};

// The factory of a reply to a request that waits in a gate: accepted only while its
// request is on its way (or, with `pushed`, while the camera pushes such
// replies unasked), and the gate opens when the reply to its request ends.
template <typename Record, typename Header>
class AwaitingBufferAssemblyFactory : public BufferAssemblyFactory<Record, Header>
{
public:
    AwaitingBufferAssemblyFactory(ReplyAssembly::Owner& owner, ImageEnumNotify kind, std::uint64_t limit,
                                  HeaderSizeFunction headerSize, const std::atomic<bool>* pushed = nullptr)
        : BufferAssemblyFactory<Record, Header>(owner, kind, limit, headerSize), m_pushed(pushed)
    {
    }

protected:
    bool AcceptsReply() override
    {
        m_answers = this->m_owner.IsAwaited(this->m_replyType);
        return m_answers || (m_pushed != nullptr && m_pushed->load());
    }
    void OnReplyFinished(bool /*failed*/) override
    {
        // A reply that began anew answers the same request: the gate stays.
        if (this->Replacing() || !m_answers)
            return;
        m_answers = false;
        this->m_owner.ReleaseGate(this->m_replyType);
    }
    bool OnCameraError() override
    {
        if (!this->m_owner.IsAwaited(this->m_replyType))
            return false;
        m_answers = false;
        this->m_owner.ReleaseGate(this->m_replyType);
        return true;
    }

private:
    const std::atomic<bool>* const m_pushed;
    bool m_answers = false; // the reply in progress answers the gate's request
};

// 0x82: the 76 bytes of basic information, straight into the record's image.
class BasicImageInfoFactory final
    : public AwaitingBufferAssemblyFactory<BasicImageInfo, BasicImageInfoMessageHeader>
{
public:
    BasicImageInfoFactory(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : AwaitingBufferAssemblyFactory(owner, kImageEnumNotify_BasicImageInfoReady, limit,
                                        GetBasicImageInfoMessageHeaderSize)
    {
    }

protected:
    void NewRecord() override
    {
        AwaitingBufferAssemblyFactory::NewRecord();
        m_body.fill(0);
        m_filled = 0;
    }
    [[nodiscard]] std::uint64_t ChunkClaim() const override { return m_body.size(); }
    [[nodiscard]] std::uint64_t ChunkFilled() const override { return m_filled; }
    std::span<std::uint8_t> GrowChunk(std::uint64_t end) override
    {
        m_filled = std::max(m_filled, end);
        return m_body;
    }
    [[nodiscard]] bool EndsShort() const override { return m_filled < m_body.size(); }
    void PostRecord() override
    {
        if (const auto body = ReadRecord<BasicImageInfoBody>(m_body))
            m_record->body = *body;
        AwaitingBufferAssemblyFactory::PostRecord();
    }

private:
    std::array<std::uint8_t, BasicImageInfoBody::kEncodedSize> m_body{};
    std::uint64_t m_filled = 0; // bytes of m_body received
};

// 0x86: the capabilities, built from the reply header alone.
class CapabilitiesFactory final : public BufferAssemblyFactory<Capabilities, CapabilitiesMessageHeader>
{
public:
    CapabilitiesFactory(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : BufferAssemblyFactory(owner, kImageEnumNotify_CapabilitiesReady, limit,
                                GetCapabilitiesMessageHeaderSize)
    {
    }

protected:
    void OnHeader() override
    {
        CapabilitiesMessageHeader kept = m_default;
        kept.reply.fragmentFlags = m_header.reply.fragmentFlags;
        kept.reply.status = m_header.reply.status;
        kept.value32 = 1;
        kept.maxTileWidth = m_header.maxTileWidth;
        kept.maxTileHeight = m_header.maxTileHeight;
        kept.value44 = m_header.value44;
        kept.value48 = m_header.value48;
        kept.value52 = m_header.value52;
        m_record->reply = kept;
    }
};

// 0x87: the subscription, built from the reply header alone.
class SetSubscriptionFactory final
    : public BufferAssemblyFactory<SetSubscriptionStruct, SetSubscriptionsMessageHeader>
{
public:
    SetSubscriptionFactory(ReplyAssembly::Owner& owner, std::uint64_t limit, std::atomic<bool>& previews)
        : BufferAssemblyFactory(owner, kImageEnumNotify_SubscriptionChanged, limit,
                                GetSetSubscriptionsMessageHeaderSize),
          m_previews(previews)
    {
    }

protected:
    void OnHeader() override
    {
        SetSubscriptionsMessageHeader kept = m_default;
        kept.reply.fragmentFlags = m_header.reply.fragmentFlags;
        kept.reply.status = m_header.reply.status;
        kept.flags = m_header.flags;
        kept.option = m_header.option;
        m_record->reply = kept;
        // While the camera reports the preview subscription on, it pushes
        // a preview of each capture unasked.
        if (m_header.reply.status == kImageEnumStatus_Success)
            m_previews = (m_header.flags & 1) != 0;
    }

private:
    std::atomic<bool>& m_previews;
};

// 0x84: a preview or tile, chunk header and data per message.
class ImageBufferFactory final : public AwaitingBufferAssemblyFactory<ImageBuffer, ImageBufferMessageHeader>
{
public:
    ImageBufferFactory(ReplyAssembly::Owner& owner, std::uint64_t limit, const std::atomic<bool>& previews)
        : AwaitingBufferAssemblyFactory(owner, kImageEnumNotify_PreviewReady, limit,
                                        GetImageBufferMessageHeaderSize, &previews)
    {
    }

protected:
    void NewRecord() override
    {
        AwaitingBufferAssemblyFactory::NewRecord();
        m_claim = 0;
    }
    [[nodiscard]] std::size_t ChunkHeaderSize() const override { return m_chunkHeader.size(); }
    std::span<std::uint8_t> ChunkHeaderBuffer() override { return m_chunkHeader; }

    Chunk OnChunkHeader(std::uint64_t /*index*/, std::uint64_t remaining) override
    {
        ImageBufferChunkHeader chunk;
        ByteReader reader(m_chunkHeader);
        ReadFields(chunk, reader);
        ImageBuffer& record = *m_record;
        const std::uint32_t flags = m_header.reply.fragmentFlags;
        if ((flags & kFragment_First) != 0)
        {
            record.bufferHeight = chunk.height;
            record.bufferWidth = chunk.width;
            record.tileX = chunk.tileX;
            record.tileY = chunk.tileY;
            record.tileHeight = chunk.tileHeight;
            record.tileWidth = chunk.tileWidth;
            record.scale = chunk.scale;
            record.imageFormat = chunk.imageFormat;
            record.bufferKind = chunk.bufferKind;
            record.fragmentFlags = flags;
            record.value32 = m_header.value32;
            record.value40 = m_header.value40;
            if (chunk.bufferKind == kBufferKind_Preview)
                m_kind = kImageEnumNotify_PreviewReady;
            else if (chunk.bufferKind == kBufferKind_Tile)
                m_kind = kImageEnumNotify_TileReady;
            // The claim bounds what is accepted; memory is taken as the
            // bytes come.
            if (!Reserve(chunk.dataSize))
                return Chunk::kTooLarge;
            m_claim = chunk.dataSize;
        }
        if ((flags & kFragment_Last) != 0)
            record.arrivalTimeMs = WallClockMs();
        // A JPEG preview is as long as the rest of its messages.
        if (record.imageFormat == kWireFormat_Jpeg && record.bufferKind == kBufferKind_Preview)
        {
            if (!Reserve(remaining))
                return Chunk::kTooLarge;
            m_claim += remaining;
        }
        record.total36 += m_header.value36;
        return Chunk::kAccept;
    }

    [[nodiscard]] std::uint64_t ChunkClaim() const override { return m_claim; }
    [[nodiscard]] std::uint64_t ChunkFilled() const override { return m_record->data.size(); }
    std::span<std::uint8_t> GrowChunk(std::uint64_t end) override
    {
        return GrowTo(m_record->data, end, m_claim);
    }
    [[nodiscard]] bool EndsShort() const override { return m_record->data.size() < m_claim; }

private:
    std::array<std::uint8_t, ImageBufferChunkHeader::kEncodedSize> m_chunkHeader{};
    std::uint64_t m_claim = 0; // the data the reply claims so far
};

// 0x83: metadata items, each an item header and its data; an item's data may
// go on in the next message (fragment flag 4). Also keeps the ids of the
// metadata request in progress and asks for those no reply carried yet.
class MetaDataItemsFactory final : public BufferAssemblyFactory<MetadataItems, MetadataMessageHeader>
{
public:
    MetaDataItemsFactory(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : BufferAssemblyFactory(owner, kImageEnumNotify_MetadataReady, limit, GetMetadataMessageHeaderSize)
    {
    }

    bool Request(std::uint32_t imageId, const std::vector<std::uint32_t>& itemIds)
    {
        std::lock_guard lock(m_pendingLock);
        if (!m_pending.empty())
            return false;
        m_imageId = imageId;
        m_pending = itemIds;
        try
        {
            if (!m_owner.SendGetMetadata(m_imageId, m_pending))
                m_pending.clear();
        }
        catch (...)
        {
            m_pending.clear();
            throw;
        }
        return !m_pending.empty();
    }

    void Reset()
    {
        std::lock_guard lock(m_pendingLock);
        m_pending.clear();
    }

protected:
    [[nodiscard]] std::size_t ChunkHeaderSize() const override { return m_itemHeader.size(); }
    std::span<std::uint8_t> ChunkHeaderBuffer() override { return m_itemHeader; }
    [[nodiscard]] bool RepeatsChunks() const override { return true; }

    void NewRecord() override
    {
        BufferAssemblyFactory::NewRecord();
        m_claims.clear();
    }

    Chunk OnChunkHeader(std::uint64_t index, std::uint64_t /*remaining*/) override
    {
        if (index == 0 && (m_header.reply.fragmentFlags & kFragment_ContinuesItem) != 0)
            return m_record->items.empty() ? Chunk::kReject : Chunk::kAccept;
        // A new item: the one before it is done, and must be whole.
        if (EndsShort())
            return Chunk::kShort;
        MetadataItemHeader item;
        ByteReader reader(m_itemHeader);
        ReadFields(item, reader);
        if (!Reserve(item.dataSize))
            return Chunk::kTooLarge;
        m_record->items.push_back({item.itemId, {}});
        m_claims.push_back(item.dataSize);
        return Chunk::kAccept;
    }

    [[nodiscard]] std::uint64_t ChunkClaim() const override { return m_claims.empty() ? 0 : m_claims.back(); }
    [[nodiscard]] std::uint64_t ChunkFilled() const override
    {
        return m_record->items.empty() ? 0 : m_record->items.back().data.size();
    }
    std::span<std::uint8_t> GrowChunk(std::uint64_t end) override
    {
        return GrowTo(m_record->items.back().data, end, m_claims.back());
    }
    [[nodiscard]] bool EndsShort() const override { return ChunkFilled() < ChunkClaim(); }

    void OnReplyFinished(bool failed) override
    {
        std::lock_guard lock(m_pendingLock);
        bool removed = false;
        for (const MetadataItem& item : m_record->items)
        {
            const auto found = std::find(m_pending.begin(), m_pending.end(), item.itemId);
            if (found != m_pending.end())
            {
                m_pending.erase(found);
                removed = true;
            }
        }
        // A reply that carries none of the ids would be asked for again and
        // again: the request ends with it, as with a failed one.
        if (failed || !removed || m_pending.empty())
        {
            m_pending.clear();
            return;
        }
        if (!m_owner.SendGetMetadata(m_imageId, m_pending))
            m_pending.clear();
    }

    bool OnCameraError() override
    {
        Reset();
        return true;
    }

private:
    std::array<std::uint8_t, MetadataItemHeader::kEncodedSize> m_itemHeader{};
    std::vector<std::uint64_t> m_claims; // the data size each item claims, in order

    std::recursive_mutex m_pendingLock; // guards m_pending and m_imageId
    std::vector<std::uint32_t> m_pending;
    std::uint32_t m_imageId = 0;
};

// 0x81: the image list, kept for the agent's life and changed by every
// list reply: a whole list replaces it, pushes add, remove or change items.
class ImageListFactory final : public HeaderAssemblyFactory<ImageListMessageHeader>
{
public:
    ImageListFactory(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : HeaderAssemblyFactory(owner, kImageEnumNotify_ImageListChanged, limit,
                                GetImageListMessageHeaderSize)
    {
    }

    bool Wait(std::uint32_t timeoutMs, const std::function<void(const ImageList&)>& callback)
    {
        bool complete = false;
        {
            std::unique_lock lock(m_readyLock);
            m_readyChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_ready; });
            complete = m_ready && m_complete;
        }
        std::lock_guard lock(m_wrapper.lock);
        callback(m_wrapper.list);
        return complete;
    }

protected:
    [[nodiscard]] bool HasRecord() const override { return true; }
    AssembleStatus& RecordStatus() override { return m_wrapper.status; }
    void NewRecord() override { m_wrapper.status = AssembleStatus{}; }
    [[nodiscard]] bool KeepsRecord() const override { return true; }
    void PostStatusRecord(std::uint32_t /*code*/) override {} // kind 3 carries no record
    [[nodiscard]] std::size_t ChunkHeaderSize() const override { return m_itemBytes.size(); }
    std::span<std::uint8_t> ChunkHeaderBuffer() override { return m_itemBytes; }
    [[nodiscard]] bool RepeatsChunks() const override { return true; }

    void OnHeader() override
    {
        const std::uint32_t mask = m_header.changeMask;
        if ((mask & (kListChange_WholeList | kListChange_WholeListEmpty)) == 0)
            return;
        m_wholeList = true;
        if ((m_header.reply.fragmentFlags & kFragment_First) == 0)
            return;
        {
            std::lock_guard lock(m_readyLock);
            m_ready = false;
            m_complete = false;
        }
        std::lock_guard lock(m_wrapper.lock);
        m_wrapper.list.clear();
    }

    Chunk OnChunkHeader(std::uint64_t /*index*/, std::uint64_t /*remaining*/) override
    {
        ImageListItem item;
        ByteReader reader(m_itemBytes);
        ReadFields(item, reader);
        item.name.back() = 0;

        const std::uint32_t mask = m_header.changeMask;
        std::lock_guard lock(m_wrapper.lock);
        if ((mask & (kListChange_WholeList | kListChange_Added)) != 0)
        {
            m_wrapper.list.push_back(item);
        }
        else if ((mask & (kListChange_Removed | kListChange_Changed)) != 0)
        {
            const auto found =
                std::find_if(m_wrapper.list.begin(), m_wrapper.list.end(),
                             [&](const ImageListItem& entry) { return entry.imageId == item.imageId; });
            if (found != m_wrapper.list.end())
            {
                if ((mask & kListChange_Changed) != 0)
                    *found = item;
                else
                    m_wrapper.list.erase(found);
            }
        }
        // Pushes are notified item by item, in order (a whole list as one).
        if ((mask & (kListChange_WholeList | kListChange_WholeListEmpty)) == 0)
        {
            if ((mask & kListChange_Added) != 0)
                m_posts.emplace_back(kImageEnumNotify_ImageAdded, item);
            else if ((mask & kListChange_Removed) != 0)
                m_posts.emplace_back(kImageEnumNotify_ImageRemoved, item);
            else if ((mask & kListChange_Changed) != 0)
                m_posts.emplace_back(kImageEnumNotify_ImageChanged, item);
        }
        return Chunk::kAccept;
    }

    void OnReplyFinished(bool failed) override
    {
        {
            std::lock_guard lock(m_readyLock);
            m_ready = true;
            if (m_wholeList)
                m_complete = !failed;
        }
        m_readyChanged.notify_all();
    }

    bool OnCameraError() override
    {
        // The camera refused the list: what is known is all there is.
        {
            std::lock_guard lock(m_readyLock);
            m_ready = true;
            m_complete = false;
        }
        m_readyChanged.notify_all();
        return false;
    }

    void PostRecord() override
    {
        if (m_wholeList)
            Post(kImageEnumNotify_ImageListChanged, NoRecord());
        m_wholeList = false;
        std::vector<std::pair<ImageEnumNotify, ImageListItem>> posts;
        posts.swap(m_posts);
        for (const auto& [kind, item] : posts)
            Post(kind, MakeRecordPtr(std::make_unique<ImageListItem>(item)));
    }

private:
    ImageListWrapper m_wrapper; // kept for the agent's life
    std::array<std::uint8_t, ImageListItem::kEncodedSize> m_itemBytes{};
    bool m_wholeList = false;                                       // the reply carries a whole list
    std::vector<std::pair<ImageEnumNotify, ImageListItem>> m_posts; // the reply's pushed items, in order

    std::mutex m_readyLock; // guards m_ready and m_complete
    std::condition_variable m_readyChanged;
    bool m_ready = false;    // a list reply finished since the last whole list began
    bool m_complete = false; // the last whole list arrived whole
};

} // namespace

// ---------------------------------------------------------------------------

ReplyAssembly::ReplyAssembly(Owner& owner, std::uint64_t replyAllocationLimit)
{
    m_assemblers.push_back(std::make_unique<BasicImageInfoFactory>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<MetaDataItemsFactory>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<ImageListFactory>(owner, replyAllocationLimit));
    m_assemblers.push_back(
        std::make_unique<ImageBufferFactory>(owner, replyAllocationLimit, m_previewsPushed));
    m_assemblers.push_back(std::make_unique<CapabilitiesFactory>(owner, replyAllocationLimit));
    m_assemblers.push_back(
        std::make_unique<SetSubscriptionFactory>(owner, replyAllocationLimit, m_previewsPushed));
}

ReplyAssembly::~ReplyAssembly() = default;

void ReplyAssembly::SetProtocolVersion(ProtocolVersion version)
{
    for (const auto& assembler : m_assemblers)
        assembler->SetProtocolVersion(version);
}

IBufferAssemblerFactory* ReplyAssembly::Find(std::uint8_t messageType) const noexcept
{
    for (const auto& assembler : m_assemblers)
    {
        if (assembler->ReplyType() == messageType)
            return assembler.get();
    }
    return nullptr;
}

bool ReplyAssembly::Handles(std::uint8_t messageType) const noexcept
{
    return Find(messageType) != nullptr;
}

bool ReplyAssembly::AssembleMessage(const CommonMessageHeader& header, MessageSource& source)
{
    IBufferAssemblerFactory* const assembler = Find(header.messageType);
    if (assembler == nullptr)
        return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
    try
    {
        if (const std::uint32_t result = assembler->ReadHeader(header, source); result != 0)
        {
            if (result == kChannelResult_Timeout)
                LogError(ModuleError(Universal::kError_Timeout, L"KPX ch3 get basic image info."));
            assembler->Finish(kAssemblyError_Header, true);
            return false;
        }
        return assembler->AssembleBody(std::uint64_t{header.messageSize} - header.messageHeaderSize, source);
    }
    catch (const UniversalError&)
    {
        assembler->Finish(kAssemblyError_Exception, true);
        throw;
    }
    catch (const std::exception& exception)
    {
        assembler->Finish(kAssemblyError_Exception, true);
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

void ReplyAssembly::FinishWithCameraError(std::uint8_t requestType, std::uint32_t errorId)
{
    IBufferAssemblerFactory* assembler = Find(requestType);
    if (assembler == nullptr)
        assembler = Find(static_cast<std::uint8_t>(requestType | kMessageType_ReplyBit));
    if (assembler != nullptr)
        assembler->Finish(errorId, false);
}

bool ReplyAssembly::RequestMetadata(std::uint32_t imageId, const std::vector<std::uint32_t>& itemIds)
{
    return static_cast<MetaDataItemsFactory*>(Find(kImageEnumMessage_MetadataReply))
        ->Request(imageId, itemIds);
}

void ReplyAssembly::ResetRequests()
{
    static_cast<MetaDataItemsFactory*>(Find(kImageEnumMessage_MetadataReply))->Reset();
    // A camera forgets its subscriptions with its channel.
    m_previewsPushed = false;
}

bool ReplyAssembly::WaitForImageList(std::uint32_t timeoutMs,
                                     const std::function<void(const ImageList&)>& callback)
{
    return static_cast<ImageListFactory*>(Find(kImageEnumMessage_ImageListReply))->Wait(timeoutMs, callback);
}

} // namespace Q7::KPX::ImageEnumeration
