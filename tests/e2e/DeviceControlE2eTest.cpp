// End to end: the library's device-control agent keeps the simulated camera's
// properties in its cache over channel 2.0, sends set, restore, refresh and
// execute requests, refuses what it must refuse without touching the wire, and
// survives malformed replies by reopening the channel.

#include "DeviceControlE2eSupport.h"

#include "Agents/DeviceControl/KPXDeviceControlRecords.h"
#include "RaisedError.h"
#include "SimWire.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <set>
#include <string>
#include <vector>

namespace
{

using namespace E2e;
using Q7::KPX::DeviceControlAgent;
using Q7::KPX::Value;
using TestSupport::Raised;
using TestSupport::RaisedBy;
namespace Sim = Q7::Sim;

using Bytes = std::vector<std::uint8_t>;

constexpr auto kAdded = DeviceControlAgent::kPropertyNotify_Added;
constexpr auto kRemoved = DeviceControlAgent::kPropertyNotify_Removed;
constexpr auto kDescriptorChanged = DeviceControlAgent::kPropertyNotify_DescriptorChanged;
constexpr auto kStateChanged = DeviceControlAgent::kPropertyNotify_StateChanged;

class DeviceControlE2e : public DeviceControlE2eFixture, public ::testing::WithParamInterface<E2eTransport>
{
protected:
    E2eTransport Transport() const override { return GetParam(); }
};

// ---------------------------------------------------------------------------
// Helpers.

Bytes BytesOf(const Value& value)
{
    return Bytes(value.GetBytes().begin(), value.GetBytes().end());
}

void ExpectValue(const Sim::SimValue& expected, const DeviceControlAgent::ValueWithText& actual)
{
    EXPECT_EQ(actual.value.GetType(), expected.type);
    EXPECT_EQ(BytesOf(actual.value), expected.bytes);
    EXPECT_EQ(actual.text, expected.text);
    EXPECT_EQ(actual.extra, expected.extra.value_or(0));
}

void ExpectOptionalValue(const std::optional<Sim::SimValue>& expected,
                         const DeviceControlAgent::ValueWithText& actual)
{
    if (expected)
        ExpectValue(*expected, actual);
    else
        EXPECT_EQ(actual, DeviceControlAgent::ValueWithText{});
}

// Every field the camera described arrives in the cached record.
void ExpectMatches(const Sim::SimProperty& expected, const DeviceControlAgent::Property& actual)
{
    SCOPED_TRACE(expected.descriptor.name);
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_EQ(actual.valueType, expected.valueType);
    EXPECT_EQ(actual.state.id, expected.id);
    EXPECT_EQ(actual.state.valueType, expected.valueType);
    EXPECT_EQ(actual.state.flags, expected.stateFlags);
    ExpectValue(expected.value, actual.state.value);

    const Sim::SimPropertyDescriptor& d = expected.descriptor;
    const DeviceControlAgent::PropertyDescriptor& a = actual.descriptor;
    EXPECT_EQ(a.id, expected.id);
    EXPECT_EQ(a.valueType, expected.valueType);
    EXPECT_EQ(a.flags, d.flags);
    EXPECT_EQ(a.userLevel, d.userLevel);
    EXPECT_EQ(a.displayIndex, d.displayIndex != 0 ? d.displayIndex : expected.id);
    EXPECT_EQ(a.name, d.name);
    EXPECT_EQ(a.secondText, d.secondText);
    EXPECT_EQ(a.group, d.group);
    EXPECT_EQ(a.unit, d.unit);
    EXPECT_EQ(a.description, d.description);
    ASSERT_EQ(a.valueList.size(), d.valueList.size());
    for (std::size_t i = 0; i < d.valueList.size(); ++i)
        ExpectValue(d.valueList[i], a.valueList[i]);
    ExpectOptionalValue(d.defaultValue, a.defaultValue);
    ExpectOptionalValue(d.minimum, a.minimum);
    ExpectOptionalValue(d.maximum, a.maximum);
    EXPECT_EQ(a.kind5Word, d.kind5Word.value_or(0));
}

std::uint32_t IdOf(const Sim::DeviceControlModel& model, const std::string& name)
{
    for (const Sim::SimProperty& property : model.Properties())
    {
        if (property.descriptor.name == name)
            return property.id;
    }
    ADD_FAILURE() << "no property " << name;
    return 0;
}

void PutU32(Bytes& bytes, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A device-control request as the wire carries it: the common header with
// its header and message sizes, then the u32 fields.
Bytes Request(std::uint8_t type, std::uint16_t headerSize, std::uint32_t messageSize,
              std::initializer_list<std::uint32_t> fields)
{
    Bytes bytes{0x11,
                0x22,
                0x33,
                0x44,
                0x66,
                type,
                static_cast<std::uint8_t>(headerSize),
                static_cast<std::uint8_t>(headerSize >> 8)};
    PutU32(bytes, messageSize);
    PutU32(bytes, 0);
    for (const std::uint32_t field : fields)
        PutU32(bytes, field);
    return bytes;
}

std::size_t HostOpenRequests(const Sim::Camera& camera)
{
    return camera.Snapshot().CountPackets(Sim::PacketType::OpenRequest, Sim::ChannelId{2, 0}, true);
}

// ---------------------------------------------------------------------------
// Scenarios.

// Catches: a Start that waits for its time-out instead of the complete cache,
// "added" notified per property instead of once, fields lost or misplaced
// between the wire and the records, getters that ask the camera.
TEST_P(DeviceControlE2e, StartBuildsTheWholeCacheOnceAndReadsStayOffTheWire)
{
    StartAll();
    ASSERT_TRUE(agent->IsStarted());
    EXPECT_EQ(log.Count(L"KPX ch2 timeout"), 0u);
    ASSERT_TRUE(notifications.WaitForCount(1));
    Settle();

    const auto entries = notifications.Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front().kind, kAdded);
    EXPECT_EQ(entries.front().ids, ModelIds());
    EXPECT_EQ(notifications.Count(kAdded), 1u);

    EXPECT_EQ(agent->GetPropertyIds(), ModelIds());
    EXPECT_EQ(agent->GetPropertyList().size(), ModelIds().size());
    for (const Sim::SimProperty& expected : model->Properties())
    {
        DeviceControlAgent::Property actual;
        ASSERT_TRUE(agent->GetProperty(expected.id, actual)) << expected.descriptor.name;
        ExpectMatches(expected, actual);
        EXPECT_EQ(agent->GetPropertyType(expected.id), expected.valueType);
    }

    // Reads never reach the camera: between two settles it handles only the
    // second settle's request.
    const std::size_t handled = model->Stats().handled.size();
    for (int round = 0; round < 200; ++round)
    {
        for (const unsigned int id : ModelIds())
        {
            DeviceControlAgent::PropertyState state;
            EXPECT_TRUE(agent->GetPropertyState(id, state));
            EXPECT_TRUE(agent->HasProperty(id));
        }
    }
    Settle();
    EXPECT_EQ(model->Stats().handled.size(), handled + 1);
    ExpectNoViolations();
}

// Catches: a set written with other bytes than the protocol's, a cache
// changed before the camera answered, a second notification for the repeated
// answer, and no notification when the camera refused (the state after a set
// is always reported).
TEST_P(DeviceControlE2e, SetIsWrittenAsItsExactBytesAndTheCameraAnswerUpdatesTheCache)
{
    StartAll();
    const std::uint32_t iso = IdOf(*model, "ISO");

    ASSERT_TRUE(agent->SetPropertyValue(iso, ToKpxValue(Sim::SimValue::U32(400))));
    ASSERT_TRUE(notifications.WaitFor(kStateChanged, iso));
    DeviceControlAgent::PropertyState state;
    ASSERT_TRUE(agent->GetPropertyState(iso, state));
    EXPECT_EQ(BytesOf(state.value.value), Sim::SimValue::U32(400).bytes);
    EXPECT_EQ(state.value.text, "ISO 400");

    Settle();

    // SetPropValue (24 bytes and the value), then GetPropState, on the wire.
    std::vector<Sim::MessageRecord> requests;
    for (const auto& message : camera->Snapshot().messages)
    {
        if (message.channel == Sim::ChannelId{2, 0} &&
            message.header.messageClass == Sim::kClassDeviceControl)
            requests.push_back(message);
    }
    const auto set = std::find_if(requests.begin(), requests.end(),
                                  [](const Sim::MessageRecord& message)
                                  { return message.header.messageType == Sim::kDcSetPropValue; });
    ASSERT_NE(set, requests.end());
    // The id, the value's u16 size (4), its u8 type (6) and a pad byte, then the value.
    EXPECT_EQ(set->bytes, Request(Sim::kDcSetPropValue, 24, 28, {iso, 0x0006'0004, 400}));
    ASSERT_NE(set + 1, requests.end());
    EXPECT_EQ(set[1].bytes, Request(Sim::kDcGetPropState, 20, 20, {iso}));
    EXPECT_EQ(CameraMessages(Sim::kDcSetPropValue).size(), 1u);
    EXPECT_EQ(notifications.Count(kStateChanged, iso), 1u);

    // 300 is not among the camera's values: it refuses, the state stays, and
    // the unchanged state after the set is still notified.
    ASSERT_TRUE(agent->SetPropertyValue(iso, ToKpxValue(Sim::SimValue::U32(300))));
    Settle();
    EXPECT_EQ(model->Stats().setsRefused, 1u);
    EXPECT_EQ(notifications.Count(kStateChanged, iso), 2u);
    ASSERT_TRUE(agent->GetPropertyState(iso, state));
    EXPECT_EQ(BytesOf(state.value.value), Sim::SimValue::U32(400).bytes);

    // Out of range, then a text of variable length.
    const std::uint32_t compensation = IdOf(*model, "Exposure compensation");
    ASSERT_TRUE(agent->SetPropertyValue(compensation, ToKpxValue(Sim::SimValue::I32(5000))));
    const std::uint32_t comment = IdOf(*model, "Comment");
    ASSERT_TRUE(agent->SetPropertyValue(comment, ToKpxValue(Sim::SimValue::Text(20, "a longer comment"))));
    ASSERT_TRUE(notifications.WaitFor(kStateChanged, comment));
    Settle();
    EXPECT_EQ(model->Stats().setsRefused, 2u);
    EXPECT_EQ(model->Stats().setsApplied, 2u);
    ASSERT_TRUE(agent->GetPropertyState(comment, state));
    EXPECT_EQ(BytesOf(state.value.value), Sim::SimValue::Text(20, "a longer comment").bytes);
    ASSERT_TRUE(agent->GetPropertyState(compensation, state));
    EXPECT_EQ(BytesOf(state.value.value), Sim::SimValue::I32(0).bytes);
    ExpectNoViolations();
}

// Catches: camera-side changes lost, notified twice, or notified when nothing
// that counts changed (a repeated state, a descriptor differing only in its
// display index, a new list order).
TEST_P(DeviceControlE2e, CameraSideChangesAreNotifiedOnce)
{
    StartAll();
    ASSERT_TRUE(notifications.WaitForCount(1));
    const std::uint32_t compensation = IdOf(*model, "Exposure compensation");
    const std::uint32_t aperture = IdOf(*model, "Aperture");
    const std::uint32_t gain = IdOf(*model, "Gain");

    ASSERT_TRUE(model->ChangeValue(compensation, Sim::SimValue::I32(1000, "+1.0")));
    ASSERT_TRUE(notifications.WaitFor(kStateChanged, compensation));
    ASSERT_TRUE(model->ChangeValue(compensation, Sim::SimValue::I32(1000, "+1.0")));

    Sim::SimPropertyDescriptor descriptor = model->Find(aperture)->descriptor;
    descriptor.maximum = Sim::SimValue::F64(16.0);
    ASSERT_TRUE(model->ChangeDescriptor(aperture, descriptor));
    ASSERT_TRUE(notifications.WaitFor(kDescriptorChanged, aperture));
    descriptor.displayIndex = 77;
    ASSERT_TRUE(model->ChangeDescriptor(aperture, descriptor));

    Sim::SimProperty added;
    added.id = 0x3001;
    added.valueType = 6;
    added.descriptor.name = "Added by the camera";
    added.descriptor.minimum = Sim::SimValue::U32(1);
    added.value = Sim::SimValue::U32(5, "five");
    added.value.extra = 0xABCD;
    model->AddProperty(added);
    ASSERT_TRUE(notifications.WaitFor(kAdded, added.id));

    ASSERT_TRUE(model->RemoveProperty(gain));
    ASSERT_TRUE(notifications.WaitFor(kRemoved, gain));

    std::vector<std::uint32_t> reversed = ModelIds();
    std::reverse(reversed.begin(), reversed.end());
    model->Reorder(reversed);
    Settle();

    EXPECT_EQ(notifications.Count(kStateChanged, compensation), 1u);
    EXPECT_EQ(notifications.Count(kDescriptorChanged, aperture), 1u);
    EXPECT_EQ(notifications.Count(kAdded, added.id), 1u);
    EXPECT_EQ(notifications.Count(kRemoved, gain), 1u);
    // The Start batch, the four changes, the sentinel's state: nothing else.
    EXPECT_EQ(notifications.Entries().size(), 1u + 4u + notifications.Count(kStateChanged, kSentinelId));

    EXPECT_EQ(agent->GetPropertyIds(), ModelIds());
    EXPECT_FALSE(agent->HasProperty(gain));
    DeviceControlAgent::Property property;
    ASSERT_TRUE(agent->GetProperty(added.id, property));
    ExpectMatches(*model->Find(added.id), property);
    ASSERT_TRUE(agent->GetProperty(aperture, property));
    EXPECT_EQ(property.descriptor.maximum.value.GetDouble(), 16.0);
    EXPECT_EQ(property.descriptor.displayIndex, aperture) << "a display-index change alone is not stored";
    ASSERT_TRUE(agent->GetProperty(compensation, property));
    EXPECT_EQ(property.state.value.text, "+1.0");
    ExpectNoViolations();
}

// Catches: a restore, refresh or command that does not reach the camera, or
// reaches it with other bytes; a refresh answered with an unchanged state that
// is notified.
TEST_P(DeviceControlE2e, RestoreRefreshAndCommandsReachTheCamera)
{
    StartAll();
    const std::uint32_t compensation = IdOf(*model, "Exposure compensation");
    const std::uint32_t iso = IdOf(*model, "ISO");

    ASSERT_TRUE(agent->SetPropertyValue(compensation, ToKpxValue(Sim::SimValue::I32(-1000))));
    ASSERT_TRUE(notifications.WaitFor(kStateChanged, compensation));
    ASSERT_TRUE(agent->RestorePropertyValue(compensation));
    ASSERT_TRUE(notifications.WaitFor(kStateChanged, compensation, 2));
    DeviceControlAgent::PropertyState state;
    ASSERT_TRUE(agent->GetPropertyState(compensation, state));
    EXPECT_EQ(BytesOf(state.value.value), Sim::SimValue::I32(0).bytes);

    ASSERT_TRUE(agent->RefreshProperty(iso));
    ASSERT_TRUE(agent->RefreshProperty(0xFFFFFFFF));
    ASSERT_TRUE(agent->RestorePropertyValue(0xFFFFFFFF));
    agent->ShutterRelease();
    agent->ExecuteCommand2(0x55);
    Settle();

    // The refreshes answer unchanged states; restoring all moves ISO to its
    // default and leaves the restored compensation as it is.
    EXPECT_EQ(notifications.Count(kStateChanged, iso), 1u);
    EXPECT_EQ(notifications.Count(kStateChanged, compensation), 2u);
    ASSERT_TRUE(agent->GetPropertyState(iso, state));
    EXPECT_EQ(BytesOf(state.value.value), Sim::SimValue::U32(100).bytes);
    const Sim::DeviceControlStats stats = model->Stats();
    EXPECT_EQ(stats.shutterReleases, 1u);
    EXPECT_EQ(stats.commands, (std::vector<Sim::ExecutedCommand>{{1, 0, 0}, {2, 0, 0x55}}));
    EXPECT_EQ(stats.restores, 2u);
    const auto commands = CameraMessages(Sim::kDcExecuteCmd);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].bytes, Request(Sim::kDcExecuteCmd, 28, 28, {1, 0, 0}));
    EXPECT_EQ(commands[1].bytes, Request(Sim::kDcExecuteCmd, 28, 28, {2, 0, 0x55}));
    EXPECT_EQ(CameraMessages(Sim::kDcRestorePropValue).front().bytes,
              Request(Sim::kDcRestorePropValue, 20, 20, {compensation}));
    EXPECT_EQ(CameraMessages(Sim::kDcRefreshProp)[1].bytes,
              Request(Sim::kDcRefreshProp, 20, 20, {0xFFFFFFFF}));
    ExpectNoViolations();
}

// Catches: a cache that survives Stop, a second Start that does not rebuild
// it (or notifies per property), a Start on a started agent that opens again.
TEST_P(DeviceControlE2e, StopThenStartRebuildsTheCache)
{
    StartAll();
    ASSERT_TRUE(notifications.WaitForCount(1));
    const std::size_t opens = HostOpenRequests(*camera);
    agent->Start();
    EXPECT_EQ(HostOpenRequests(*camera), opens) << "Start on a started agent returns at once";

    agent->Stop();
    EXPECT_FALSE(agent->IsStarted());
    EXPECT_TRUE(agent->GetPropertyIds().empty());
    EXPECT_FALSE(agent->HasProperty(kSentinelId));
    agent->Stop();

    Sim::SimProperty added;
    added.id = 0x3002;
    added.valueType = 2;
    added.descriptor.name = "Added while stopped";
    added.value = Sim::SimValue::U8(9);
    model->AddProperty(added);

    agent->Start();
    ASSERT_TRUE(agent->IsStarted());
    ASSERT_TRUE(notifications.WaitForCount(2));
    const auto entries = notifications.Entries();
    EXPECT_EQ(entries[1].kind, kAdded);
    EXPECT_EQ(entries[1].ids, ModelIds());
    EXPECT_EQ(agent->GetPropertyIds(), ModelIds());
    EXPECT_EQ(log.Count(L"KPX ch2 timeout"), 0u);
    ExpectNoViolations();
}

// Catches the batched-removal fault: a property that the camera drops while
// Start still batches "added" was notified "removed" ahead of the batch that
// still named it.
TEST_P(DeviceControlE2e, PropertyRemovedDuringStartIsLeftOutOfTheAddedBatch)
{
    StartCamera();
    const std::uint32_t gain = IdOf(*model, "Gain");
    // Never described: Start batches until the camera drops it too.
    Sim::SimProperty undescribed;
    undescribed.id = 0x3003;
    undescribed.valueType = 6;
    undescribed.descriptor.name = "Never described";
    undescribed.value = Sim::SimValue::U32(1);
    model->AddProperty(undescribed);
    model->SetIgnoredIds({undescribed.id});
    MakeAgent();
    auto start = std::async(std::launch::async, [&] { agent->Start(); });
    // The camera's answers about Gain reach the host ahead of the lists below.
    ASSERT_TRUE(model->WaitUntil(
        [&](const Sim::DeviceControlStats& stats)
        {
            return stats.CountHandled(Sim::kDcGetPropDesc, gain) > 0 &&
                   stats.CountHandled(Sim::kDcGetPropState, gain) > 0;
        },
        10s));
    ASSERT_TRUE(model->RemoveProperty(gain));
    ASSERT_TRUE(model->RemoveProperty(undescribed.id));
    ASSERT_EQ(start.wait_for(20s), std::future_status::ready);
    start.get();
    Settle();

    const auto entries = notifications.Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front().kind, kAdded);
    EXPECT_EQ(entries.front().ids, ModelIds());
    EXPECT_EQ(notifications.Count(kRemoved), 0u);
    EXPECT_EQ(agent->GetPropertyIds(), ModelIds());
    EXPECT_EQ(log.Count(L"KPX ch2 timeout"), 0u);
    ExpectNoViolations();
}

// A receiver that records into a recorder and holds the notify thread in its
// first call until released.
class HeldReceiver
{
public:
    explicit HeldReceiver(NotificationRecorder& recorder) : m_recorder(recorder) {}

    DeviceControlAgent::NotifyReceiver Receiver()
    {
        return DeviceControlAgent::NotifyReceiver(this, &HeldReceiver::OnNotify);
    }
    // Ready once the first call holds the notify thread.
    std::future<void> Held() { return m_held.get_future(); }
    void Release() { m_release.set_value(); }

private:
    void OnNotify(DeviceControlAgent::EnumPropertyNotify kind, const std::vector<unsigned int>& ids)
    {
        m_recorder.OnNotify(kind, ids);
        if (!m_first.exchange(true))
        {
            m_held.set_value();
            m_released.wait_for(30s);
        }
    }

    NotificationRecorder& m_recorder;
    std::atomic<bool> m_first{false};
    std::promise<void> m_held;
    std::promise<void> m_release;
    std::shared_future<void> m_released = m_release.get_future().share();
};

// Catches the stale-notification fault: notifications still queued when Stop
// ran were delivered after the next Start, ahead of its "added" batch, naming
// properties of the cache that Stop emptied.
TEST_P(DeviceControlE2e, NotificationsQueuedAtStopAreNotDeliveredAfterTheNextStart)
{
    StartCamera();
    MakeAgent();
    HeldReceiver receiver(notifications);
    std::future<void> held = receiver.Held();
    agent->SetNotifyReceiver(receiver.Receiver());
    agent->Start();
    ASSERT_EQ(held.wait_for(10s), std::future_status::ready) << "the Start batch";

    const std::uint32_t iso = IdOf(*model, "ISO");
    ASSERT_TRUE(model->ChangeValue(iso, Sim::SimValue::U32(400)));
    // Read after the change: once it is logged, the change's notification waits
    // in the queue behind the held receiver.
    ASSERT_EQ(model->PushRaw(Request(0x99, 16, 24, {0xDEADBEEF, 0x12345678})), 1u);
    ASSERT_TRUE(log.WaitFor(L"KPX ch2 Received unknown message"));

    auto stop = std::async(std::launch::async, [&] { agent->Stop(); });
    // Stop asks the notify thread to end as it ends the other two: released
    // now, the held thread mostly finds the change still queued (or, when it
    // runs first, delivers it before Stop returns, which is allowed).
    ASSERT_TRUE(log.WaitFor(L"exited [KPX ch2 send]"));
    ASSERT_TRUE(log.WaitFor(L"exited [KPX ch2 recv]"));
    receiver.Release();
    ASSERT_EQ(stop.wait_for(30s), std::future_status::ready);
    stop.get();
    const std::size_t firstRun = notifications.Entries().size();

    agent->SetNotifyReceiver(notifications.Receiver());
    agent->Start();
    Settle();
    const auto entries = notifications.Entries();
    ASSERT_GT(entries.size(), firstRun);
    EXPECT_EQ(entries[firstRun].kind, kAdded) << "the second run begins with its own batch";
    EXPECT_EQ(entries[firstRun].ids, ModelIds());
    for (std::size_t i = firstRun; i < entries.size(); ++i)
    {
        EXPECT_FALSE(entries[i].kind == kStateChanged && entries[i].ids == std::vector<unsigned int>{iso})
            << "the first run's change came after the second Start";
    }
    ExpectNoViolations();
}

// Catches: a refused set or request that still reaches the wire, and wrong
// sizes or types that are sent instead of raising the documented errors.
TEST_P(DeviceControlE2e, HostSideRefusalsPutNothingOnTheWire)
{
    StartAll();
    const std::uint32_t iso = IdOf(*model, "ISO");
    const std::uint32_t readOnly = IdOf(*model, "Shutter count");
    const std::uint32_t disabled = IdOf(*model, "Service counter");
    const std::uint32_t comment = IdOf(*model, "Comment");

    Value flagged = ToKpxValue(Sim::SimValue::U32(400));
    flagged.SetSecondWord(1);
    EXPECT_FALSE(agent->SetPropertyValue(iso, flagged));
    EXPECT_FALSE(agent->SetPropertyValue(iso, Value()));
    EXPECT_FALSE(agent->SetPropertyValue(0x999999, ToKpxValue(Sim::SimValue::U32(1))));
    EXPECT_FALSE(agent->SetPropertyValue(readOnly, ToKpxValue(Sim::SimValue::U64(1))));
    EXPECT_FALSE(agent->SetPropertyValue(disabled, ToKpxValue(Sim::SimValue::U16(1))));
    EXPECT_FALSE(agent->RefreshProperty(0x999999));
    EXPECT_FALSE(agent->RestorePropertyValue(0x999999));
    EXPECT_EQ(log.Count(L"KPX ch2 Ignoring attempt to set read-only property (id=" +
                        std::to_wstring(readOnly) + L")"),
              1u);
    EXPECT_EQ(log.Count(L"KPX ch2 Ignoring attempt to set disabled property (id=" +
                        std::to_wstring(disabled) + L")"),
              1u);

    const std::uint8_t eight[8] = {};
    const auto wrongSize = RaisedBy([&] { agent->SetPropertyValue(iso, Value(6, eight, 8)); });
    EXPECT_EQ(wrongSize, (Raised{0x650005, L"KPX device control set property."}));
    const auto wrongType =
        RaisedBy([&] { agent->SetPropertyValue(iso, ToKpxValue(Sim::SimValue::I32(400))); });
    EXPECT_EQ(wrongType, (Raised{0x650002, L"KPX device control set property."}));
    const std::vector<std::uint8_t> huge(70000, 'x');
    const auto tooLarge =
        RaisedBy([&] { agent->SetPropertyValue(comment, Value(20, huge.data(), huge.size())); });
    EXPECT_EQ(tooLarge, (Raised{0x650005, L"KPX value is too large."}));

    Settle();
    EXPECT_TRUE(CameraMessages(Sim::kDcSetPropValue).empty());
    EXPECT_TRUE(CameraMessages(Sim::kDcRestorePropValue).empty());
    EXPECT_EQ(model->Stats().CountHandled(Sim::kDcRefreshProp), 1u) << "only Settle's refresh";
    ExpectNoViolations();
}

// Catches the list-pending fault: a camera that sends every descriptor and
// state before its list reply leaves a complete cache that Start must see at
// once (with the fault it waits its whole descriptor wait and logs a time-out).
TEST_P(DeviceControlE2e, ListAfterItsPropertiesStillEndsStartAtOnce)
{
    StartCamera();
    model->SetPushBeforeListReply(true);
    MakeAgent();
    agent->Start();
    EXPECT_EQ(log.Count(L"KPX ch2 timeout"), 0u);
    ASSERT_TRUE(notifications.WaitForCount(1));
    EXPECT_EQ(notifications.Entries().front().ids, ModelIds());
    EXPECT_EQ(agent->GetPropertyIds(), ModelIds());
    EXPECT_EQ(model->Stats().CountHandled(Sim::kDcGetPropDesc), 0u) << "nothing was left to ask for";
    ExpectNoViolations();
}

// Catches: a Start that hangs on a silent camera or reports it wrongly.
TEST_P(DeviceControlE2e, SilentCameraEndsStartAfterTheDescriptorWait)
{
    StartCamera();
    model->SetSilent(true);
    MakeAgent(100);
    agent->Start();
    EXPECT_TRUE(agent->IsStarted());
    EXPECT_EQ(log.Count(L"Error: KPX ch2 timeout (5s) waiting for all property descriptors."), 1u);
    EXPECT_EQ(log.Count(L"Error: KPX ch2 Missing 0 prop descs for: \n"), 1u);
    EXPECT_TRUE(agent->GetPropertyIds().empty());
    agent->Stop();
    EXPECT_TRUE(notifications.Entries().empty());
}

// Catches: incomplete properties that leak to the getters or to the "added"
// batch, requests made for them, and a wrong list of the missing ids.
TEST_P(DeviceControlE2e, PropertiesTheCameraNeverDescribesStayAbsent)
{
    std::vector<Sim::SimProperty> properties;
    std::set<std::uint32_t> ignored;
    for (std::uint32_t id = 1000001; id <= 1000020; ++id)
    {
        Sim::SimProperty property;
        property.id = id;
        property.valueType = 6;
        property.descriptor.name = "P" + std::to_string(id);
        property.value = Sim::SimValue::U32(id);
        properties.push_back(property);
        if (id <= 1000012)
            ignored.insert(id);
    }
    // The others come before the list, so that they are complete whenever the
    // descriptor wait runs out: it only has to outlast the list's arrival.
    StartCamera(properties);
    model->SetIgnoredIds(ignored);
    model->SetPushBeforeListReply(true);
    MakeAgent(1500);
    agent->Start();
    EXPECT_EQ(log.Count(L"Error: KPX ch2 Missing 12 prop descs for: "
                        L"1000001,1000002,1000003,1000004,1000005,1000006,...\n"),
              1u);
    ASSERT_TRUE(notifications.WaitForCount(1));
    std::vector<unsigned int> complete;
    for (std::uint32_t id = 1000013; id <= 1000020; ++id)
        complete.push_back(id);
    complete.push_back(kSentinelId);
    EXPECT_EQ(notifications.Entries().front().ids, complete);
    EXPECT_EQ(agent->GetPropertyIds(), complete);

    EXPECT_FALSE(agent->HasProperty(1000001));
    EXPECT_EQ(agent->GetPropertyType(1000001), 0u);
    EXPECT_FALSE(agent->SetPropertyValue(1000001, ToKpxValue(Sim::SimValue::U32(1))));
    EXPECT_FALSE(agent->RefreshProperty(1000001));
    Settle();
    EXPECT_TRUE(CameraMessages(Sim::kDcSetPropValue).empty());
    ExpectNoViolations();
}

// Catches: an unknown message or a camera's error report that closes the
// channel, or is not answered (unknown message) or not logged (error).
TEST_P(DeviceControlE2e, UnknownMessagesAndCameraErrorsLeaveTheChannelOpen)
{
    StartAll();
    ASSERT_TRUE(notifications.WaitForCount(1));
    const std::size_t opens = HostOpenRequests(*camera);

    Bytes unknown = Request(0x99, 16, 24, {0xDEADBEEF, 0x12345678});
    ASSERT_EQ(model->PushRaw(unknown), 1u);
    ASSERT_EQ(model->PushRaw(Sim::BuildCommonError(0x66000007, 0x66, 0x03, "busy")), 1u);
    Settle();

    EXPECT_EQ(log.Count(L"KPX ch2 Received unknown message: class = 102 type = 0x99"), 1u);
    EXPECT_EQ(log.Count(L"KPX ch2 error: errorId = 0x66000007"), 1u);
    EXPECT_EQ(log.Count(L"KPX ch2 error: source class = 102 type = 0x03"), 1u);
    EXPECT_EQ(log.Count(L"KPX ch2 error: string = \"busy\""), 1u);
    EXPECT_EQ(HostOpenRequests(*camera), opens);
    EXPECT_TRUE(errors.Entries().empty());

    // The host's CommonError names the unknown message.
    const auto isAnswer = [](const Sim::MessageRecord& message)
    {
        return message.channel == Sim::ChannelId{2, 0} && message.header.messageClass == Sim::kClassCommon &&
               message.header.messageType == 0xFF;
    };
    ASSERT_TRUE(camera->WaitUntil(
        [&](const Sim::Observations& observed)
        { return std::any_of(observed.messages.begin(), observed.messages.end(), isAnswer); },
        10s));
    std::vector<Sim::MessageRecord> answers;
    for (const auto& message : camera->Snapshot().messages)
    {
        if (isAnswer(message))
            answers.push_back(message);
    }
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_GE(answers[0].bytes.size(), 22u);
    EXPECT_EQ(Bytes(answers[0].bytes.begin() + 16, answers[0].bytes.begin() + 22),
              (Bytes{0x01, 0x00, 0x00, 0x01, 0x66, 0x99}));
    ExpectNoViolations();
}

// ---------------------------------------------------------------------------
// Malformed replies.

struct MalformedCase
{
    Sim::MalformedReply kind;
    const wchar_t* context; // of the dispatched ModuleError 0x650003
    const wchar_t* detail;  // of its log line; null when it has none
};

const MalformedCase kMalformedCases[] = {
    {Sim::MalformedReply::ListCountWraps, L"KPX ch2 property list message.",
     L"propertyCount (1073741825) is too large."},
    {Sim::MalformedReply::AttributeSizeBelow8, L"KPX ch2 property attribute.",
     L"attributeSize (4) is too large."},
    {Sim::MalformedReply::AttributeSizeOverrun, L"KPX ch2 property attribute.",
     L"attributeSize (4096) is too large."},
    {Sim::MalformedReply::AttributeValueSizeInvalid, L"KPX ch2 property attribute.",
     L"valueSize (2) is invalid."},
    {Sim::MalformedReply::AttributeTextSizeOverrun, L"KPX ch2 property attribute.",
     L"valueStringSize (200) is too large."},
    {Sim::MalformedReply::AttributesOverrunMessage, L"KPX ch2 property attribute.",
     L"Message size is too small."},
    {Sim::MalformedReply::TextOffsetTooSmall, L"KPX ch2 property descriptor.",
     L"string offset (20) too small."},
    {Sim::MalformedReply::TextOffsetTooLarge, L"KPX ch2 property descriptor.",
     L"string offset (1000) too large."},
    {Sim::MalformedReply::StateValueSizeInvalid, L"KPX ch2 property.", L"valueSize (8) is invalid."},
    {Sim::MalformedReply::StateTextSizeOverrun, L"KPX ch2 property.", L"valueStringSize (50) is too large."},
    {Sim::MalformedReply::CommonErrorTextOverrun, L"KPX ch2 common error message.",
     L"errorStringSize (100) is too large."},
    {Sim::MalformedReply::HeaderSizeTooSmall, L"KPX ch2 message header size too small.", nullptr},
    {Sim::MalformedReply::MessageSizeBelowHeader, L"KPX ch2 message size too small.", nullptr},
};

// Catches: a count, size or offset from the camera that is trusted (a read
// beyond the message, a wrapped size, a hang), an error other than the
// documented one, and a channel that does not reopen and rebuild its cache.
// Every kind is sent in turn on one connection: each must leave the channel
// reopened with its cache rebuilt before the next one arrives.
TEST_P(DeviceControlE2e, MalformedRepliesRaiseTheDocumentedErrorAndTheChannelReopens)
{
    StartAll();
    ASSERT_TRUE(notifications.WaitForCount(1));
    const std::size_t opens = HostOpenRequests(*camera);

    std::size_t round = 0;
    for (const MalformedCase& malformed : kMalformedCases)
    {
        SCOPED_TRACE(Sim::MalformedReplyName(malformed.kind));
        ++round;
        ASSERT_EQ(model->PushMalformed(malformed.kind), 1u);
        ASSERT_TRUE(errors.WaitForCount(round));
        const auto raised = errors.Entries();
        EXPECT_EQ(raised[round - 1].code, 0x650003u);
        EXPECT_EQ(raised[round - 1].context, malformed.context);
        if (malformed.detail != nullptr)
        {
            EXPECT_EQ(log.Count(malformed.detail), 1u);
        }

        // The channel reopens and every property is added again.
        for (const unsigned int id : ModelIds())
            ASSERT_TRUE(notifications.WaitFor(kAdded, id, round + 1)) << id;
        Settle();
        EXPECT_EQ(HostOpenRequests(*camera), opens + round);
        EXPECT_EQ(agent->GetPropertyIds(), ModelIds());
        EXPECT_EQ(errors.Entries().size(), round);
    }
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Transports, DeviceControlE2e, AllTransports(), TransportName);

} // namespace
