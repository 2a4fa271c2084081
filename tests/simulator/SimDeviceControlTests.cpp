// Channel 2.0 of the simulated camera, read by hand: the replies' layouts, the
// sets a camera refuses, and the requests a host must not send.
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

class SimDeviceControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SimProperty iso;
        iso.id = 0x101;
        iso.valueType = 6;
        iso.descriptor.flags = kPropSelectOnly;
        iso.descriptor.name = "ISO";
        iso.descriptor.unit = "ASA";
        iso.descriptor.valueList = {SimValue::U32(100, "ISO 100"), SimValue::U32(200, "ISO 200")};
        iso.descriptor.defaultValue = SimValue::U32(100);
        iso.value = SimValue::U32(200, "ISO 200");
        SimProperty locked = iso;
        locked.id = 0x102;
        locked.stateFlags = kPropReadOnly;
        model = std::make_shared<DeviceControlModel>(std::vector<SimProperty>{iso, locked});
        camera = std::make_unique<Camera>();
        camera->SetLogSink({});
        camera->SetChannelHandler({2, 0}, DeviceControlHandler::Factory(model));
        camera->Start();
        client = std::make_unique<RawClient>(camera->Port());
        ASSERT_TRUE(client->Open(2, 0, 2, 0));
    }

    std::optional<Bytes> Ask(std::uint8_t type, std::uint32_t id)
    {
        Bytes body(4, 0);
        Put32(body, 0, id);
        if (!client->Send(Data(2, 0, Message(0x66, type, 20, 20, body))))
            return std::nullopt;
        return client->ReceiveMessage(2, 0);
    }

    // SetPropValue of `value` with its type, and a valueSize field that may lie.
    bool Set(std::uint32_t id, std::uint8_t type, const Bytes& value,
             std::optional<std::uint16_t> valueSize = {})
    {
        Bytes body(8, 0);
        Put32(body, 0, id);
        Put16(body, 4, valueSize.value_or(static_cast<std::uint16_t>(value.size())));
        body[6] = type;
        body.insert(body.end(), value.begin(), value.end());
        return client->Send(
            Data(2, 0, Message(0x66, 5, 24, static_cast<std::uint32_t>(16 + body.size()), body)));
    }

    std::shared_ptr<DeviceControlModel> model;
    std::unique_ptr<Camera> camera;
    std::unique_ptr<RawClient> client;
};

// Catches a state or descriptor laid out other than the protocol says.
TEST_F(SimDeviceControl, RepliesFollowTheWireLayout)
{
    const auto state = Ask(4, 0x101);
    ASSERT_TRUE(state);
    ASSERT_EQ(state->size(), 32u + 4 + 7);
    EXPECT_EQ((*state)[5], 132);
    EXPECT_EQ(Get16(*state, 6), 32u);
    EXPECT_EQ(Get32(*state, 16), 0x101u);
    EXPECT_EQ(Get16(*state, 24), 4u);
    EXPECT_EQ((*state)[26], 6);
    EXPECT_EQ((*state)[27], 7);
    EXPECT_EQ(Get32(*state, 32), 200u);
    EXPECT_EQ(std::string(state->begin() + 36, state->end()), "ISO 200");

    const auto descriptor = Ask(3, 0x101);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(Get16(*descriptor, 6), 52u);
    EXPECT_EQ(Get32(*descriptor, 20), kPropSelectOnly);
    EXPECT_EQ(Get16(*descriptor, 26), 3u) << "two listed values and the default";
    // Attributes from 52: each 8 bytes, the u32 and its text.
    std::size_t at = 52;
    for (const auto& [kind, text] : {std::pair{1, std::string("ISO 100")}, {1, "ISO 200"}, {2, ""}})
    {
        EXPECT_EQ(Get16(*descriptor, at), 8 + 4 + text.size());
        EXPECT_EQ((*descriptor)[at + 2], kind);
        EXPECT_EQ((*descriptor)[at + 7], text.size());
        at += Get16(*descriptor, at);
    }
    // The name and the unit lie behind the attributes at their offsets.
    EXPECT_EQ(Get16(*descriptor, 32), 3u);
    EXPECT_EQ(Get16(*descriptor, 34), at);
    EXPECT_EQ(std::string(descriptor->begin() + Get16(*descriptor, 34), descriptor->begin() + at + 3), "ISO");
    EXPECT_EQ(Get16(*descriptor, 44), 3u);
    EXPECT_EQ(std::string(descriptor->begin() + Get16(*descriptor, 46), descriptor->end()), "ASA");

    const auto unknown = Ask(4, 0x999);
    ASSERT_TRUE(unknown);
    EXPECT_EQ((*unknown)[4], 0x01);
    EXPECT_EQ(Get32(*unknown, 16), kErrorIdUnknownProperty);
    EXPECT_TRUE(camera->Snapshot().violations.empty()) << camera->Snapshot().DescribeViolations();
}

// Catches a camera that accepts what it must refuse (a value outside its list,
// a read-only property) or takes a malformed or mistyped set without recording
// the host's fault.
TEST_F(SimDeviceControl, SetsAreAppliedOrRefusedAsACameraDoes)
{
    Bytes value(4, 0);
    Put32(value, 0, 100);
    ASSERT_TRUE(Set(0x101, 6, value));
    const auto applied = client->ReceiveMessage(2, 0);
    ASSERT_TRUE(applied);
    EXPECT_EQ(Get32(*applied, 32), 100u);
    EXPECT_EQ(std::string(applied->begin() + 36, applied->end()), "ISO 100");

    Put32(value, 0, 300);
    ASSERT_TRUE(Set(0x101, 6, value)); // not among the listed values
    Put32(value, 0, 200);
    ASSERT_TRUE(Set(0x102, 6, value)); // read-only
    EXPECT_TRUE(camera->Snapshot().violations.empty()) << camera->Snapshot().DescribeViolations();
    ASSERT_TRUE(Set(0x101, 5, value));    // another type than the property's
    ASSERT_TRUE(Set(0x101, 6, value, 8)); // a valueSize beyond the message
    ASSERT_TRUE(model->WaitUntil([](const DeviceControlStats& stats) { return stats.setsRefused == 4; }, 5s));
    EXPECT_EQ(model->Stats().setsApplied, 1u);
    EXPECT_EQ(model->Find(0x101)->value, SimValue::U32(100, "ISO 100"));
    EXPECT_EQ(camera->Snapshot().CountViolations(ViolationKind::BadMessage), 2u);
}

} // namespace
