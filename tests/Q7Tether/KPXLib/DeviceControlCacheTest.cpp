// The property cache's merge rules and the device-control reply readers, on
// their own: what a camera's replies in unusual orders and shapes do to the
// cache, and that a reader takes exactly the bytes of its message.

#include "Agents/DeviceControl/KPXDeviceControlCache.h"
#include "Agents/DeviceControl/KPXDeviceControlMessages.h"
#include "Channel/KPXMessageReader.h"
#include "LogCapture.h"
#include "Wire/KPXValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::DeviceControl;

Value U32Value(std::uint32_t v)
{
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    return Value(6, bytes, 4);
}

PropertyDescriptor Descriptor(std::uint32_t id, std::uint32_t type = 6)
{
    PropertyDescriptor descriptor;
    descriptor.id = id;
    descriptor.valueType = type;
    descriptor.name = "P" + std::to_string(id);
    return descriptor;
}

PropertyState State(std::uint32_t id, std::uint32_t value, std::uint32_t type = 6)
{
    PropertyState state;
    state.id = id;
    state.valueType = type;
    state.value.value = U32Value(value);
    return state;
}

// Everything queued so far.
std::vector<PropertyNotification> Drain(PropertyCache& cache)
{
    Q7::Platform::EventCondition_Posix stop;
    stop.Set();
    const WaitObjectList waitList{&stop};
    std::vector<PropertyNotification> notifications;
    PropertyNotification notification;
    while (cache.PopPropertyNotify(notification, waitList))
        notifications.push_back(notification);
    return notifications;
}

void Complete(PropertyCache& cache, std::uint32_t id, std::uint32_t value = 1)
{
    cache.MergePropertyDescriptor(Descriptor(id));
    cache.MergePropertyState(State(id, value));
}

// Catches: undefined or duplicate ids kept, descriptors asked for in another
// order, removals notified for properties that never were complete, a new
// order that notifies, and getters that show incomplete properties.
TEST(PropertyCache, ListMergeFiltersReordersAndNotifiesOnlyCompleteRemovals)
{
    TestSupport::LogCapture log;
    PropertyCache cache;
    EXPECT_EQ(cache.MergePropertyList({5, 0, 7, 5, 9}), (std::vector<std::uint32_t>{5, 7, 9}));
    EXPECT_EQ(log.Count(L"Warning: KPX ch2 ignoring undefined ids in property list."), 1u);
    EXPECT_EQ(log.Count(L"Warning: KPX ch2 ignoring duplicate id (5) in property list."), 1u);

    Complete(cache, 5);
    Complete(cache, 9);
    EXPECT_EQ(Drain(cache), (std::vector<PropertyNotification>{{kPropertyNotify_Added, {5}},
                                                               {kPropertyNotify_Added, {9}}}));
    EXPECT_EQ(cache.GetPropertyIds(), (std::vector<std::uint32_t>{5, 9}));
    EXPECT_FALSE(cache.HasProperty(7));

    EXPECT_TRUE(cache.MergePropertyList({9, 5, 7}) == std::vector<std::uint32_t>{7});
    EXPECT_EQ(cache.GetPropertyIds(), (std::vector<std::uint32_t>{9, 5}));
    EXPECT_TRUE(Drain(cache).empty()) << "a new order is no change";

    EXPECT_TRUE(cache.MergePropertyList({9}).empty());
    EXPECT_EQ(Drain(cache), (std::vector<PropertyNotification>{{kPropertyNotify_Removed, {5}}}));
    EXPECT_TRUE(cache.GetAllDescriptorsEvent().IsSet());
}

// Catches the batched-removal fault: a property completed while "added" is
// batched (during Start) and then dropped by a list was notified "removed"
// before the batch that still named it. It leaves the batch silently; one
// announced before the batching began is still notified "removed".
TEST(PropertyCache, RemovalOfAPropertyStillInTheAddedBatchIsNotNotified)
{
    PropertyCache cache;
    cache.MergePropertyList({1, 2, 3});
    Complete(cache, 1);
    cache.SetCollectAddedIds(true);
    Complete(cache, 2);
    Complete(cache, 3);
    EXPECT_TRUE(cache.MergePropertyList({3}).empty());
    cache.SetCollectAddedIds(false);
    EXPECT_EQ(Drain(cache), (std::vector<PropertyNotification>{{kPropertyNotify_Added, {1}},
                                                               {kPropertyNotify_Removed, {1}},
                                                               {kPropertyNotify_Added, {3}}}));
}

// Catches the list-pending fault at its root: descriptors and states that
// come before the list leave the cache complete once the list is merged.
TEST(PropertyCache, ListNamingOnlyCompletePropertiesCompletesTheCache)
{
    PropertyCache cache;
    cache.SetListPending();
    Complete(cache, 3);
    Complete(cache, 4);
    EXPECT_FALSE(cache.GetAllDescriptorsEvent().IsSet()) << "a list is still pending";
    EXPECT_TRUE(cache.MergePropertyList({4, 3}).empty());
    EXPECT_TRUE(cache.GetAllDescriptorsEvent().IsSet());
    EXPECT_FALSE(cache.FindIncompleteProperties(nullptr));

    cache.Reset();
    EXPECT_FALSE(cache.GetAllDescriptorsEvent().IsSet());
    EXPECT_TRUE(cache.GetPropertyIds().empty());
}

// Catches: type disagreements that change a complete property or complete an
// incomplete one, equal states notified twice, a set's answer not notified,
// flagged states whose value does not carry the flag, and "added" notified
// one by one while batching.
TEST(PropertyCache, MergesKeepTypesAndNotifyOnlyRealChanges)
{
    TestSupport::LogCapture log;
    PropertyCache cache;
    cache.MergePropertyList({1, 2});
    cache.SetCollectAddedIds(true);
    Complete(cache, 1, 10);
    cache.MergePropertyDescriptor(Descriptor(2, 6));
    cache.MergePropertyState(State(2, 20, 5));
    EXPECT_EQ(log.Count(L"Error: KPX ch2 property (id=2) state/descriptor type mismatch (5!=6)."), 1u);
    EXPECT_FALSE(cache.HasProperty(2));
    EXPECT_TRUE(Drain(cache).empty());
    cache.MergePropertyState(State(2, 20, 6));
    cache.SetCollectAddedIds(false);
    EXPECT_EQ(Drain(cache), (std::vector<PropertyNotification>{{kPropertyNotify_Added, {1, 2}}}));

    cache.MergePropertyDescriptor(Descriptor(1, 5));
    cache.MergePropertyState(State(1, 99, 5));
    EXPECT_EQ(log.Count(L"Error: KPX ch2 property descriptor (id=1) type mismatch. [P1]"), 1u);
    EXPECT_EQ(log.Count(L"Error: KPX ch2 property state (id=1) type mismatch. [P1]"), 1u);
    EXPECT_EQ(cache.GetPropertyType(1), 6u);

    cache.MergePropertyState(State(1, 11));
    cache.MergePropertyState(State(1, 11));
    EXPECT_EQ(Drain(cache).size(), 1u) << "the same state twice";
    EXPECT_TRUE(cache.PrepareSet(1, 6, [] {}));
    cache.MergePropertyState(State(1, 11));
    EXPECT_EQ(Drain(cache), (std::vector<PropertyNotification>{{kPropertyNotify_StateChanged, {1}}}));

    PropertyState flagged = State(1, 12);
    flagged.flags = kStateFlag_Flagged | 0x10;
    cache.MergePropertyState(flagged);
    EXPECT_EQ(log.Count(L"Warning: KPX ch2 property state (id=1) has unknown flags (0x11). [P1]"), 1u);
    PropertyState stored;
    ASSERT_TRUE(cache.GetPropertyState(1, stored));
    EXPECT_EQ(GetValueFlagByte(stored.value.value), 1u);

    PropertyDescriptor renumbered = Descriptor(1);
    renumbered.displayIndex = 40;
    cache.MergePropertyDescriptor(renumbered);
    EXPECT_EQ(Drain(cache).size(), 1u) << "only the flagged state; a display index alone is no change";
}

// Catches: attributes of the wrong kind or type filling the descriptor, a
// second default replacing the first, invalid descriptors and states kept.
TEST(PropertyCache, DescriptorAttributesFillTheFirstUsableTarget)
{
    TestSupport::LogCapture log;
    PropertyDescriptor descriptor = Descriptor(8);
    descriptor.userLevel = 15;
    descriptor.flags = 9;
    descriptor.attributes = {
        {1, {U32Value(1), "one", 0}}, {2, {U32Value(2), "", 0}}, {2, {U32Value(3), "", 0}},
        {3, {U32Value(0), "", 0}},    {4, {U32Value(9), "", 7}}, {5, {Value(5), "", 0}},
        {5, {U32Value(42), "", 0}},   {1, {Value(5), "", 0}},    {6, {U32Value(6), "", 0}}};
    ASSERT_TRUE(PrepareDescriptor(descriptor));
    EXPECT_EQ(descriptor.displayIndex, 8u);
    ASSERT_EQ(descriptor.valueList.size(), 1u);
    EXPECT_EQ(descriptor.valueList[0].text, "one");
    EXPECT_EQ(descriptor.defaultValue.value, U32Value(2));
    EXPECT_EQ(descriptor.minimum.value, U32Value(0));
    EXPECT_EQ(descriptor.maximum.extra, 7u);
    EXPECT_EQ(descriptor.kind5Word, 42u);
    for (const wchar_t* line :
         {L"ignoring attribute 2 (type=2). [P8]", L"ignoring attribute 5 (type=5). [P8]",
          L"ignoring attribute 7 (type=1). [P8]", L"ignoring attribute 8 (type=6). [P8]",
          L"has unknown user level (15). [P8]", L"has unknown flags (0x9). [P8]"})
        EXPECT_EQ(log.Count(line), 1u) << line;

    PropertyDescriptor noId = Descriptor(0xFFFFFFFF);
    EXPECT_FALSE(PrepareDescriptor(noId));
    PropertyDescriptor noType = Descriptor(3, 0);
    EXPECT_FALSE(PrepareDescriptor(noType));
    PropertyState noState = State(0, 1);
    EXPECT_FALSE(PrepareState(noState, "x"));
    EXPECT_EQ(log.Count(L"Error: KPX ch2 property descriptor with invalid id = 4294967295."), 1u);
    EXPECT_EQ(log.Count(L"Error: KPX ch2 property descriptor (id=3) has undefined type. [P3]"), 1u);
    EXPECT_EQ(log.Count(L"Error: KPX ch2 property state with invalid id = 0. [x]"), 1u);
}

// ---------------------------------------------------------------------------
// Readers.

struct Writer
{
    std::vector<std::uint8_t> bytes;

    Writer& U8(std::uint8_t v)
    {
        bytes.push_back(v);
        return *this;
    }
    Writer& U16(std::uint16_t v)
    {
        return U8(static_cast<std::uint8_t>(v)).U8(static_cast<std::uint8_t>(v >> 8));
    }
    Writer& U32(std::uint32_t v)
    {
        return U16(static_cast<std::uint16_t>(v)).U16(static_cast<std::uint16_t>(v >> 16));
    }
    Writer& Text(const std::string& text)
    {
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    Writer& Header(std::uint8_t type, std::uint16_t headerSize, std::uint32_t messageSize)
    {
        return U32(0x44332211).U8(0x66).U8(type).U16(headerSize).U32(messageSize).U32(0);
    }
};

CommonMessageHeader HeaderOf(const std::vector<std::uint8_t>& message)
{
    return *DecodeMessageHeader(message);
}

// Catches: a reader that trusts the struct's size over the camera's header
// size, loses a text behind a gap or an attribute's extra word, or reads one
// byte beyond `messageSize`.
TEST(DeviceControlReaders, DescriptorWithLongerHeaderGapsAndPaddingIsReadExactly)
{
    // Header 60 bytes (8 more than this side knows), one attribute of 24
    // bytes (4 value, 3 text, the extra word, 5 padding), 4 bytes of gap,
    // then the texts "Name" and "mm" (overlapping is allowed: unit inside name).
    const std::uint16_t headerSize = 60;
    const std::uint32_t messageSize = headerSize + 24 + 4 + 4;
    const std::uint16_t textsAt = headerSize + 24 + 4;
    Writer w;
    w.Header(131, headerSize, messageSize).U32(77).U32(2).U8(6).U8(10).U16(1).U32(0);
    w.U16(4).U16(textsAt).U16(0).U16(0).U16(0).U16(0).U16(2).U16(textsAt + 1).U16(0).U16(0);
    w.U32(0xEEEEEEEE).U32(0xEEEEEEEE); // 8 bytes this side skips
    w.U16(24).U8(1).U8(0).U16(4).U8(6).U8(3).U32(500).Text("5hs").U32(0xBEEF).U8(0).U32(0); // attribute
    w.U32(0);                                                                               // gap
    w.Text("Name");
    w.Text("JUNK"); // beyond messageSize

    BufferMessageSource source(std::span(w.bytes).subspan(16));
    PropertyDescriptor descriptor;
    ASSERT_EQ(ReadPropertyDescriptorReply(HeaderOf(w.bytes), source, {2, 0}, descriptor), 0u);
    EXPECT_EQ(source.Remaining(), 4u) << "the bytes behind the message stay unread";
    EXPECT_EQ(descriptor.id, 77u);
    EXPECT_EQ(descriptor.flags, 2u);
    EXPECT_EQ(descriptor.userLevel, 10u);
    EXPECT_EQ(descriptor.name, "Name");
    EXPECT_EQ(descriptor.unit, "am");
    ASSERT_EQ(descriptor.attributes.size(), 1u);
    EXPECT_EQ(descriptor.attributes[0].value.value, U32Value(500));
    EXPECT_EQ(descriptor.attributes[0].value.text, "5hs");
    EXPECT_EQ(descriptor.attributes[0].value.extra, 0xBEEFu);

    // The same message cut short: the reader fails (4) instead of reading on.
    BufferMessageSource shortSource(std::span(w.bytes).subspan(16, messageSize - 16 - 1));
    EXPECT_EQ(ReadPropertyDescriptorReply(HeaderOf(w.bytes), shortSource, {2, 0}, descriptor), 4u);
}

// Catches: a state header shorter than this side's struct read past the
// camera's header, an empty value given a type, a text cut at its zero.
TEST(DeviceControlReaders, ShortStateHeaderAndEmptyValue)
{
    // A camera header of 28 bytes (no reserved word) and no value: the value
    // stays of type 0 while the state keeps the header's type.
    Writer w;
    w.Header(132, 28, 28 + 6).U32(9).U32(4).U16(0).U8(6).U8(6).Text(std::string("ab\0cd!", 6));
    BufferMessageSource source(std::span(w.bytes).subspan(16));
    PropertyState state;
    ASSERT_EQ(ReadPropertyStateReply(HeaderOf(w.bytes), source, {1, 0}, state), 0u);
    EXPECT_EQ(source.Remaining(), 0u);
    EXPECT_EQ(state.id, 9u);
    EXPECT_EQ(state.flags, 4u);
    EXPECT_EQ(state.valueType, 6u);
    EXPECT_EQ(state.value.value.GetType(), 0u);
    EXPECT_EQ(state.value.text, "ab");
}

} // namespace
