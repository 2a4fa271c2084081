// Fuzzes the channel 2.0 reply readers and the property cache with input = the
// byte stream a camera could send on the channel: message after message, read
// as the device-control agent's receive thread reads them (header check, then
// the property list, descriptor, state or CommonError reader, unknown
// messages skipped) and merged into one cache. A reader that succeeds must
// have taken exactly its message's bytes; the cache must stay consistent.
#include "FuzzEntry.h"

#include "Agents/DeviceControl/KPXDeviceControlCache.h"
#include "Agents/DeviceControl/KPXDeviceControlMessages.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <span>
#include <vector>

using namespace Q7::KPX;
using namespace Q7::KPX::DeviceControl;

namespace
{

constexpr ProtocolVersion kVersion{2, 0};

// Reads one message behind its header; false when the stream ends or breaks.
bool ReadOne(const CommonMessageHeader& header, BufferMessageSource& source, PropertyCache& cache)
{
    if (header.messageClass == kMessageClass_Common && header.messageType == kCommonMessage_Error)
    {
        ReceivedCommonError error;
        return ReadCommonErrorMessage(header, source, kVersion, L"KPX ch2 common error message.", error) == 0;
    }
    if (header.messageClass == kMessageClass_DeviceControl)
    {
        switch (header.messageType)
        {
        case kDeviceControlMessage_PropListReply:
        {
            std::vector<std::uint32_t> ids;
            if (ReadPropertyListReply(header, source, kVersion, ids) != 0)
                return false;
            TAVRIN_FUZZ_CHECK(4 * std::uint64_t{ids.size()} <= header.messageSize);
            for (const std::uint32_t id : cache.MergePropertyList(std::move(ids)))
                TAVRIN_FUZZ_CHECK(id != 0 && !cache.HasProperty(id));
            return true;
        }
        case kDeviceControlMessage_PropDescReply:
        {
            PropertyDescriptor descriptor;
            if (ReadPropertyDescriptorReply(header, source, kVersion, descriptor) != 0)
                return false;
            cache.MergePropertyDescriptor(std::move(descriptor));
            return true;
        }
        case kDeviceControlMessage_PropStateReply:
        {
            PropertyState state;
            if (ReadPropertyStateReply(header, source, kVersion, state) != 0)
                return false;
            cache.MergePropertyState(std::move(state));
            return true;
        }
        default:
            break;
        }
    }
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

void CheckCache(PropertyCache& cache)
{
    const std::vector<std::uint32_t> ids = cache.GetPropertyIds();
    TAVRIN_FUZZ_CHECK(cache.GetPropertyList().size() == ids.size());
    for (const std::uint32_t id : ids)
    {
        Property property;
        TAVRIN_FUZZ_CHECK(cache.GetProperty(id, property));
        TAVRIN_FUZZ_CHECK(property.valueType != 0 && property.valueType == cache.GetPropertyType(id));
        TAVRIN_FUZZ_CHECK(property.state.valueType == property.valueType);
        TAVRIN_FUZZ_CHECK(property.descriptor.valueType == property.valueType);
        TAVRIN_FUZZ_CHECK(property.descriptor.displayIndex != 0);
    }
    std::vector<std::uint32_t> incomplete;
    const bool isIncomplete = cache.FindIncompleteProperties(&incomplete);
    TAVRIN_FUZZ_CHECK(isIncomplete == !cache.GetAllDescriptorsEvent().IsSet());
    for (const std::uint32_t id : incomplete)
        TAVRIN_FUZZ_CHECK(!cache.HasProperty(id));

    Q7::Platform::EventCondition_Posix stop;
    stop.Set();
    PropertyNotification notification;
    while (cache.PopPropertyNotify(notification, {&stop}))
        TAVRIN_FUZZ_CHECK(!notification.ids.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    PropertyCache cache;
    cache.SetCollectAddedIds(size % 2 == 0);
    std::span<const std::uint8_t> stream(data, size);
    while (stream.size() >= kCommonMessageHeaderSize)
    {
        const CommonMessageHeader header = *DecodeMessageHeader(stream);
        BufferMessageSource source(stream.subspan(kCommonMessageHeaderSize));
        try
        {
            CheckMessageHeader(header, L"KPX ch2 message header size too small.",
                               L"KPX ch2 message size too small.");
            if (!ReadOne(header, source, cache))
                break;
        }
        catch (const Q7::Universal::UniversalError&)
        {
            // The documented refusal: the agent reopens the channel, which
            // empties the cache, and reads on from a new stream.
            cache.Reset();
            break;
        }
        // Exactly the message was taken, never a byte of the next one.
        const std::size_t taken = stream.size() - kCommonMessageHeaderSize - source.Remaining();
        TAVRIN_FUZZ_CHECK(taken == std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
        stream = stream.subspan(kCommonMessageHeaderSize + taken);
    }
    cache.SetCollectAddedIds(false);
    CheckCache(cache);
    return 0;
}
