#include "Agents/KPXImageEnumerationAssembly.h"

#include <algorithm>
#include <array>
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

// One reply type's assembler: the generic steps of a reply (begin, chunks,
// end, finish) with the hooks each reply type fills in. Receive thread only,
// but for what a subclass guards itself.
class Assembler
{
public:
    // What a chunk header allows.
    enum class Chunk
    {
        kAccept,
        kReject,   // assembly error 2
        kTooLarge, // passes the reply's allocation limit: assembly error 64
    };

    Assembler(ReplyAssembly::Owner& owner, std::uint8_t replyType, ImageEnumNotify kind, std::uint64_t limit)
        : m_owner(owner), m_replyType(replyType), m_kind(kind), m_limit(limit)
    {
    }
    virtual ~Assembler() = default;

    Assembler(const Assembler&) = delete;
    Assembler& operator=(const Assembler&) = delete;

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

    virtual void OnHeader() {}
    [[nodiscard]] virtual std::size_t ChunkHeaderSize() const { return 0; }
    virtual std::span<std::uint8_t> ChunkHeaderBuffer() { return {}; }
    // `remaining`: the message's bytes still unread behind the chunk header.
    virtual Chunk OnChunkHeader(std::uint64_t /*index*/, std::uint64_t /*remaining*/)
    {
        return Chunk::kAccept;
    }
    // Where a chunk's data goes; its size is the destination's.
    virtual std::span<std::uint8_t> ChunkData() { return {}; }
    // A message's body may hold several chunks (otherwise what follows the
    // first is read away).
    [[nodiscard]] virtual bool RepeatsChunks() const { return false; }
    // The reply ended (`failed`: with an error); its record is posted next.
    virtual void OnReplyFinished(bool /*failed*/) {}
    // A camera's CommonError ended the request.
    virtual void OnCameraError() {}

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
    std::uint64_t m_allocated = 0; // by the reply in progress
};

bool Assembler::BeginMessage()
{
    const ReplyFields& reply = Reply();
    if ((reply.fragmentFlags & kFragment_First) != 0 && !KeepsRecord())
        CreateRecord();
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

void Assembler::CreateRecord()
{
    if (HasRecord())
    {
        RecordStatus().assemblyError = kAssemblyError_Replaced;
        EndReply(false);
    }
    NewRecord();
    m_allocated = 0;
}

void Assembler::EndMessage()
{
    if (!HasRecord())
        return;
    const bool last = (Reply().fragmentFlags & kFragment_Last) != 0;
    if (!last && !RecordStatus().HasFailed())
        return; // the reply goes on in the next message
    EndReply(last);
}

void Assembler::EndReply(bool last)
{
    const bool failed = RecordStatus().HasFailed();
    RecordStatus().complete = last && !failed;
    // Everything the reply settles (a gate, pending ids and what is asked
    // next) is settled before the record leaves: whoever reacts to it finds
    // the request ended or continued, never half way.
    OnReplyFinished(failed);
    PostRecord();
}

void Assembler::Finish(std::uint32_t code, bool assemblyError)
{
    if (!assemblyError && (code & kCameraErrorMask) != 0)
    {
        // The camera refused the request: it ends, so that the next one of
        // its kind can go out, and a record of its own tells so (posted
        // last: whoever reacts to it finds the request ended).
        OnCameraError();
        PostStatusRecord(code);
        return;
    }
    if (!HasRecord())
    {
        NewRecord();
        m_allocated = 0;
    }
    if (assemblyError)
        RecordStatus().assemblyError = code;
    else
        RecordStatus().status = code;
    EndReply(false);
}

bool Assembler::AssembleBody(std::uint64_t remaining, MessageSource& source)
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
        }
        const std::span<std::uint8_t> data = ChunkData();
        const std::uint64_t offset = index == 0 ? Reply().firstChunkOffset : 0;
        if (!data.empty() && data.size() <= offset)
        {
            Finish(kAssemblyError_ChunkOffset, true);
            return false;
        }
        const std::uint64_t count =
            data.empty() ? 0 : std::min<std::uint64_t>(data.size() - offset, remaining);
        if (count > 0)
        {
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

// An assembler that reads one reply-header type.
template <typename Header>
class HeaderAssembler : public Assembler
{
public:
    HeaderAssembler(ReplyAssembly::Owner& owner, ImageEnumNotify kind, std::uint64_t limit,
                    HeaderSizeFunction headerSize)
        : Assembler(owner, Header{}.header.messageType, kind, limit), m_headerSize(headerSize)
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

// An assembler of one record type from one reply-header type.
template <typename Record, typename Header>
class RecordAssembler : public HeaderAssembler<Header>
{
public:
    using HeaderAssembler<Header>::HeaderAssembler;

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

// A reply to a request that waits in a gate: the gate opens when it ends.
template <typename Record, typename Header>
class GatedAssembler : public RecordAssembler<Record, Header>
{
public:
    using RecordAssembler<Record, Header>::RecordAssembler;

protected:
    void OnReplyFinished(bool /*failed*/) override { this->m_owner.ReleaseGate(this->m_replyType); }
    void OnCameraError() override { this->m_owner.ReleaseGate(this->m_replyType); }
};

// 0x82: the 76 bytes of basic information, straight into the record's image.
class BasicImageInfoAssembler final : public GatedAssembler<BasicImageInfo, BasicImageInfoMessageHeader>
{
public:
    BasicImageInfoAssembler(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : GatedAssembler(owner, kImageEnumNotify_BasicImageInfoReady, limit,
                         GetBasicImageInfoMessageHeaderSize)
    {
    }

protected:
    void NewRecord() override
    {
        GatedAssembler::NewRecord();
        m_body.fill(0);
    }
    std::span<std::uint8_t> ChunkData() override { return m_body; }
    void PostRecord() override
    {
        if (const auto body = ReadRecord<BasicImageInfoBody>(m_body))
            m_record->body = *body;
        GatedAssembler::PostRecord();
    }

private:
    std::array<std::uint8_t, BasicImageInfoBody::kEncodedSize> m_body{};
};

// 0x86: the capabilities, built from the reply header alone.
class CapabilitiesAssembler final : public RecordAssembler<Capabilities, CapabilitiesMessageHeader>
{
public:
    CapabilitiesAssembler(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : RecordAssembler(owner, kImageEnumNotify_CapabilitiesReady, limit, GetCapabilitiesMessageHeaderSize)
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
class SetSubscriptionAssembler final
    : public RecordAssembler<SetSubscriptionStruct, SetSubscriptionsMessageHeader>
{
public:
    SetSubscriptionAssembler(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : RecordAssembler(owner, kImageEnumNotify_SubscriptionChanged, limit,
                          GetSetSubscriptionsMessageHeaderSize)
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
    }
};

// 0x84: a preview or tile, chunk header and data per message.
class ImageBufferAssembler final : public GatedAssembler<ImageBuffer, ImageBufferMessageHeader>
{
public:
    ImageBufferAssembler(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : GatedAssembler(owner, kImageEnumNotify_PreviewReady, limit, GetImageBufferMessageHeaderSize)
    {
    }

protected:
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
            if (!Reserve(chunk.dataSize))
                return Chunk::kTooLarge;
            record.data.assign(chunk.dataSize, 0);
        }
        if ((flags & kFragment_Last) != 0)
            record.arrivalTimeMs = WallClockMs();
        // A JPEG preview is as long as the rest of its messages.
        if (record.imageFormat == kWireFormat_Jpeg && record.bufferKind == kBufferKind_Preview)
        {
            if (!Reserve(remaining))
                return Chunk::kTooLarge;
            record.data.resize(record.data.size() + static_cast<std::size_t>(remaining));
        }
        record.total36 += m_header.value36;
        return Chunk::kAccept;
    }

    std::span<std::uint8_t> ChunkData() override { return m_record->data; }

private:
    std::array<std::uint8_t, ImageBufferChunkHeader::kEncodedSize> m_chunkHeader{};
};

// 0x83: metadata items, each an item header and its data; an item's data may
// go on in the next message (fragment flag 4). Also keeps the ids of the
// metadata request in progress and asks for those no reply carried yet.
class MetadataAssembler final : public RecordAssembler<MetadataItems, MetadataMessageHeader>
{
public:
    MetadataAssembler(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : RecordAssembler(owner, kImageEnumNotify_MetadataReady, limit, GetMetadataMessageHeaderSize)
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

    Chunk OnChunkHeader(std::uint64_t index, std::uint64_t /*remaining*/) override
    {
        if (index == 0 && (m_header.reply.fragmentFlags & kFragment_ContinuesItem) != 0)
            return m_record->items.empty() ? Chunk::kReject : Chunk::kAccept;
        MetadataItemHeader item;
        ByteReader reader(m_itemHeader);
        ReadFields(item, reader);
        if (!Reserve(item.dataSize))
            return Chunk::kTooLarge;
        m_record->items.push_back({item.itemId, std::vector<std::uint8_t>(item.dataSize, 0)});
        return Chunk::kAccept;
    }

    std::span<std::uint8_t> ChunkData() override
    {
        if (m_record->items.empty())
            return {};
        return m_record->items.back().data;
    }

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

    void OnCameraError() override { Reset(); }

private:
    std::array<std::uint8_t, MetadataItemHeader::kEncodedSize> m_itemHeader{};

    std::recursive_mutex m_pendingLock; // guards m_pending and m_imageId
    std::vector<std::uint32_t> m_pending;
    std::uint32_t m_imageId = 0;
};

// 0x81: the image list, kept for the agent's life and changed by every
// list reply: a whole list replaces it, pushes add, remove or change items.
class ImageListAssembler final : public HeaderAssembler<ImageListMessageHeader>
{
public:
    ImageListAssembler(ReplyAssembly::Owner& owner, std::uint64_t limit)
        : HeaderAssembler(owner, kImageEnumNotify_ImageListChanged, limit, GetImageListMessageHeaderSize)
    {
    }

    void Wait(std::uint32_t timeoutMs, const std::function<void(const ImageList&)>& callback)
    {
        {
            std::unique_lock lock(m_readyLock);
            m_readyChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_ready; });
        }
        std::lock_guard lock(m_listLock);
        callback(m_list);
    }

protected:
    [[nodiscard]] bool HasRecord() const override { return true; }
    AssembleStatus& RecordStatus() override { return m_status; }
    void NewRecord() override { m_status = AssembleStatus{}; }
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
        }
        std::lock_guard lock(m_listLock);
        m_list.clear();
    }

    Chunk OnChunkHeader(std::uint64_t /*index*/, std::uint64_t /*remaining*/) override
    {
        ImageListItem item;
        ByteReader reader(m_itemBytes);
        ReadFields(item, reader);
        item.name.back() = 0;

        const std::uint32_t mask = m_header.changeMask;
        std::lock_guard lock(m_listLock);
        if ((mask & (kListChange_WholeList | kListChange_Added)) != 0)
        {
            m_list.push_back(item);
        }
        else if ((mask & (kListChange_Removed | kListChange_Changed)) != 0)
        {
            const auto found =
                std::find_if(m_list.begin(), m_list.end(),
                             [&](const ImageListItem& entry) { return entry.imageId == item.imageId; });
            if (found != m_list.end())
            {
                if ((mask & kListChange_Changed) != 0)
                    *found = item;
                else
                    m_list.erase(found);
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

    void OnReplyFinished(bool /*failed*/) override
    {
        {
            std::lock_guard lock(m_readyLock);
            m_ready = true;
        }
        m_readyChanged.notify_all();
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
    AssembleStatus m_status;
    std::array<std::uint8_t, ImageListItem::kEncodedSize> m_itemBytes{};
    bool m_wholeList = false;                                       // the reply carries a whole list
    std::vector<std::pair<ImageEnumNotify, ImageListItem>> m_posts; // the reply's pushed items, in order

    std::mutex m_listLock; // guards m_list
    ImageList m_list;
    std::mutex m_readyLock; // guards m_ready
    std::condition_variable m_readyChanged;
    bool m_ready = false; // a list reply finished since the last whole list began
};

} // namespace

// ---------------------------------------------------------------------------

ReplyAssembly::ReplyAssembly(Owner& owner, std::uint64_t replyAllocationLimit)
{
    m_assemblers.push_back(std::make_unique<BasicImageInfoAssembler>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<MetadataAssembler>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<ImageListAssembler>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<ImageBufferAssembler>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<CapabilitiesAssembler>(owner, replyAllocationLimit));
    m_assemblers.push_back(std::make_unique<SetSubscriptionAssembler>(owner, replyAllocationLimit));
}

ReplyAssembly::~ReplyAssembly() = default;

void ReplyAssembly::SetProtocolVersion(ProtocolVersion version)
{
    for (const auto& assembler : m_assemblers)
        assembler->SetProtocolVersion(version);
}

Assembler* ReplyAssembly::Find(std::uint8_t messageType) const noexcept
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
    Assembler* const assembler = Find(header.messageType);
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
    Assembler* assembler = Find(requestType);
    if (assembler == nullptr)
        assembler = Find(static_cast<std::uint8_t>(requestType | kMessageType_ReplyBit));
    if (assembler != nullptr)
        assembler->Finish(errorId, false);
}

bool ReplyAssembly::RequestMetadata(std::uint32_t imageId, const std::vector<std::uint32_t>& itemIds)
{
    return static_cast<MetadataAssembler*>(Find(kImageEnumMessage_MetadataReply))->Request(imageId, itemIds);
}

void ReplyAssembly::ResetRequests()
{
    static_cast<MetadataAssembler*>(Find(kImageEnumMessage_MetadataReply))->Reset();
}

void ReplyAssembly::WaitForImageList(std::uint32_t timeoutMs,
                                     const std::function<void(const ImageList&)>& callback)
{
    static_cast<ImageListAssembler*>(Find(kImageEnumMessage_ImageListReply))->Wait(timeoutMs, callback);
}

} // namespace Q7::KPX::ImageEnumeration
