// Channel 3.0 of the simulated camera, read by hand: it answers as a camera
// does and refuses what a camera would refuse, and its development channel
// echoes.
#include "SimCamera.h"
#include "SimImageEnumerationHandler.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

class SimImageEnumeration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        camera = std::make_unique<Camera>();
        camera->SetLogSink({});
        camera->Images().AddGenerated(3);
        camera->Start();
        client = std::make_unique<RawClient>(camera->Port());
        ASSERT_TRUE(client->Open(3, 0));
    }

    std::optional<Bytes> Ask(std::uint8_t type, std::uint16_t size, const Bytes& body)
    {
        if (!client->Send(Data(3, 0, Message(0x67, type, size, size, body))))
            return std::nullopt;
        return client->ReceiveMessage(3, 0);
    }

    // A GetImageBuffer body (64 bytes behind the header).
    static Bytes BufferRequest(std::uint32_t id, std::uint32_t kind, std::uint32_t x, std::uint32_t y,
                               std::uint32_t height, std::uint32_t width, std::uint32_t format)
    {
        Bytes body(64, 0);
        Put32(body, 0, id);
        Put32(body, 4, kind);
        Put32(body, 8, x);
        Put32(body, 12, y);
        Put32(body, 16, height);
        Put32(body, 20, width);
        Put32(body, 32, 0x3F800000);
        Put32(body, 48, format);
        return body;
    }

    std::unique_ptr<Camera> camera;
    std::unique_ptr<RawClient> client;
};

// Catches: a camera that answers an unknown image, an unsupported format or a
// tile outside its picture with anything but the status a camera sends.
TEST_F(SimImageEnumeration, RefusedRequestsAnswerTheirStatusWithoutABody)
{
    struct Case
    {
        const char* name;
        std::uint8_t type;
        std::uint16_t size;
        Bytes body;
        std::uint32_t status;
    };
    Bytes unknown(4, 0);
    Put32(unknown, 0, 999);
    const Case cases[] = {
        {"unknown image", 0x02, 20, unknown, kIeStatusInvalidImageId},
        {"metadata of an unknown image", 0x03, 64,
         [&]
         {
             Bytes b(48, 0);
             Put32(b, 0, 999);
             return b;
         }(),
         kIeStatusInvalidImageId},
        {"preview in format 8", 0x04, 80, BufferRequest(1, 1, 0, 0, 0, 0, 8), kIeStatusUnsupportedFormat},
        {"tile beyond the picture", 0x04, 80, BufferRequest(1, 2, 75, 0, 10, 10, 4), kIeStatusInvalidBuffer},
        {"empty tile", 0x04, 80, BufferRequest(1, 2, 0, 0, 0, 10, 4), kIeStatusInvalidBuffer},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto reply = Ask(c.type, c.size, c.body);
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)[5], c.type | 0x80);
        EXPECT_EQ(Get32(*reply, 16), 3u); // first and last
        EXPECT_EQ(Get32(*reply, 20), c.status);
        EXPECT_EQ(Get32(*reply, 8), Get16(*reply, 6)); // no body
    }
    EXPECT_TRUE(camera->Snapshot().violations.empty()) << camera->Snapshot().DescribeViolations();
}

// Catches: a camera that lets a host send requests no camera takes (a wrong
// size, a preview carrying tile fields, a deletion with a value) without
// reporting them.
TEST_F(SimImageEnumeration, MalformedRequestsAreViolations)
{
    ASSERT_TRUE(
        client->Send(Data(3, 0, Message(0x67, 0x01, 24, 24, Bytes(8, 0))))); // GetImageList of 24 bytes
    EXPECT_TRUE(Ask(0x04, 80, BufferRequest(1, 1, 5, 0, 0, 0, 4)));          // a preview with x = 5
    Bytes deletion(12, 0);
    Put32(deletion, 0, 1);
    Put32(deletion, 4, 2);
    Put32(deletion, 8, 3);
    ASSERT_TRUE(client->Send(Data(3, 0, Message(0x67, 0x05, 28, 28, deletion))));
    const auto push = client->ReceiveMessage(3, 0); // the deletion is applied and pushed all the same
    ASSERT_TRUE(push);
    EXPECT_EQ(Get32(*push, 32), kIeListRemoved);
    EXPECT_EQ(camera->Snapshot().CountViolations(ViolationKind::BadMessage), 3u);
}

// Catches: a list split into messages without first and last flags or with
// wrong offsets, and a capture pushed before the list it follows.
TEST_F(SimImageEnumeration, SplitsALongListAndPushesCapturesBehindIt)
{
    camera->ImageEnumeration().SetFragmentSize(48); // two items a message
    Bytes ten(4, 0);
    Put32(ten, 0, 10);
    const auto first = Ask(0x01, 20, ten);
    const auto second = client->ReceiveMessage(3, 0);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(Get32(*first, 16), kIeFragmentFirst);
    EXPECT_EQ(Get32(*second, 16), kIeFragmentLast);
    EXPECT_EQ(Get32(*second, 24), 48u);
    EXPECT_EQ(first->size(), 56u + 48u);
    EXPECT_EQ(second->size(), 56u + 24u);
    EXPECT_EQ(Get32(*second, 56), 3u); // the third item's id

    camera->Images().Capture(2);
    const auto push = client->ReceiveMessage(3, 0);
    ASSERT_TRUE(push);
    EXPECT_EQ(Get32(*push, 32), kIeListAdded);
    EXPECT_EQ(Get32(*push, 16), 3u);
    EXPECT_EQ(Get32(*push, 56), 4u);
    EXPECT_EQ(Get32(*push, 80), 5u);
}

// Catches: a development channel that does not echo development messages or
// echoes what it should refuse.
TEST_F(SimImageEnumeration, DevelopmentChannelEchoes)
{
    ASSERT_TRUE(client->Open(255, 0));
    const Bytes message = Message(0xFF, 0x42, 16, 21, Bytes{1, 2, 3, 4, 5});
    ASSERT_TRUE(client->Send(Data(255, 0, message)));
    EXPECT_EQ(client->ReceiveMessage(255, 0), message);
    ASSERT_TRUE(client->Send(Data(255, 0, Message(0x67, 0x01, 16, 16))));
    const auto error = client->ReceiveMessage(255, 0);
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)[4], 0x01);
    EXPECT_EQ((*error)[5], 0xFF);
}

} // namespace
