// Fuzzes the reply assembly of channel 3.0 with input = the byte stream a
// camera could send on the channel: message after message, read as the
// image-enumeration agent's receive thread reads them (header check, a
// CommonError through the common reader finishing the request it names, the
// six reply types through their assemblers, anything else skipped). A message
// assembled without closing the channel must have taken exactly its bytes;
// every record posted must hold together and stay within the reply limit.
#include "FuzzEntry.h"

#include "Agents/ImageEnumeration/KPXImageEnumerationAssembly.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <cstring>
#include <span>
#include <vector>

using namespace Q7::KPX;
using namespace Q7::KPX::ImageEnumeration;

namespace
{

constexpr ProtocolVersion kVersion{1, 0};
// Small, so that announced sizes cannot make the fuzzer slow.
constexpr std::uint64_t kReplyLimit = 1024 * 1024;

class Owner final : public ReplyAssembly::Owner
{
public:
    void PostRecord(ImageEnumNotify kind, RecordPtr record) override
    {
        TAVRIN_FUZZ_CHECK(kind >= kImageEnumNotify_ImageAdded &&
                          kind <= kImageEnumNotify_SubscriptionChanged);
        TAVRIN_FUZZ_CHECK((record == nullptr) == (kind == kImageEnumNotify_ImageListChanged));
        if (kind == kImageEnumNotify_PreviewReady || kind == kImageEnumNotify_TileReady)
        {
            const auto& buffer = *static_cast<const ImageBuffer*>(record.get());
            TAVRIN_FUZZ_CHECK(buffer.data.size() <= kReplyLimit);
            TAVRIN_FUZZ_CHECK(!buffer.status.complete || !buffer.status.HasFailed());
        }
        if (kind == kImageEnumNotify_MetadataReady)
        {
            std::uint64_t total = 0;
            for (const MetadataItem& item : static_cast<const MetadataItems*>(record.get())->items)
                total += item.data.size();
            TAVRIN_FUZZ_CHECK(total <= kReplyLimit);
        }
        if (kind == kImageEnumNotify_ImageAdded || kind == kImageEnumNotify_ImageRemoved ||
            kind == kImageEnumNotify_ImageChanged)
            TAVRIN_FUZZ_CHECK(static_cast<const ImageListItem*>(record.get())->name.back() == 0);
    }

    void ReleaseGate(std::uint8_t replyType) override
    {
        TAVRIN_FUZZ_CHECK(replyType == kImageEnumMessage_BasicImageInfoReply ||
                          replyType == kImageEnumMessage_ImageBufferReply);
        // Only a request on its way is released.
        TAVRIN_FUZZ_CHECK(m_awaited[Gate(replyType)]);
        m_awaited[Gate(replyType)] = false;
    }

    // A request of each kind is on its way until its reply ended; then the
    // next one is asked at once (the gates hold one in turn).
    bool IsAwaited(std::uint8_t replyType) override
    {
        const bool awaited = m_awaited[Gate(replyType)];
        m_awaited[Gate(replyType)] = true;
        return awaited;
    }

    bool SendGetMetadata(std::uint32_t, std::span<const std::uint32_t> itemIds) override
    {
        TAVRIN_FUZZ_CHECK(!itemIds.empty() && itemIds.size() <= 12);
        return true;
    }

private:
    static std::size_t Gate(std::uint8_t replyType)
    {
        return replyType == kImageEnumMessage_ImageBufferReply ? 1 : 0;
    }

    bool m_awaited[2] = {true, true}; // 0x82, 0x84
};

// Reads one message behind its header; false when the channel would be closed.
bool ReadOne(const CommonMessageHeader& header, BufferMessageSource& source, ReplyAssembly& assembly)
{
    if (header.messageClass == kMessageClass_Common && header.messageType == kCommonMessage_Error)
    {
        ReceivedCommonError error;
        if (ReadCommonErrorMessage(header, source, kVersion, L"KPX ch3 common error message.", error) != 0)
            return false;
        TAVRIN_FUZZ_CHECK(error.text.size() <= error.message.errorStringSize);
        if (error.message.sourceClass == kMessageClass_ImageEnumeration)
            assembly.FinishWithCameraError(error.message.sourceType, error.message.errorId);
        return true;
    }
    if (header.messageClass == kMessageClass_ImageEnumeration && assembly.Handles(header.messageType))
        return assembly.AssembleMessage(header, source);
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Owner owner;
    ReplyAssembly assembly(owner, kReplyLimit);
    assembly.SetProtocolVersion(kVersion);
    const std::vector<std::uint32_t> ids(12, 0x4746);
    TAVRIN_FUZZ_CHECK(assembly.RequestMetadata(7, ids));

    std::span<const std::uint8_t> stream(data, size);
    while (stream.size() >= kCommonMessageHeaderSize)
    {
        const CommonMessageHeader header = *DecodeMessageHeader(stream);
        BufferMessageSource source(stream.subspan(kCommonMessageHeaderSize));
        try
        {
            CheckMessageHeader(header, L"KPX ch3 message header size too small.",
                               L"KPX ch3 message size too small.");
            if (!ReadOne(header, source, assembly))
                break; // the agent closes the channel and reads on from a new stream
        }
        catch (const Q7::Universal::UniversalError&)
        {
            break;
        }
        // Exactly the message was taken, never a byte of the next one.
        const std::size_t taken = stream.size() - kCommonMessageHeaderSize - source.Remaining();
        TAVRIN_FUZZ_CHECK(taken == std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
        stream = stream.subspan(kCommonMessageHeaderSize + taken);
    }
    assembly.ResetRequests();
    assembly.WaitForImageList(0,
                              [](const ImageList& list)
                              {
                                  for (const ImageListItem& item : list)
                                      TAVRIN_FUZZ_CHECK(item.name.back() == 0);
                              });
    return 0;
}
