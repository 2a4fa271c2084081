// Reading a message's fixed part and skipping message bytes on an open channel.

#include "Channel/KPXChannel.h"
#include "Channel/KPXMessageReader.h"
#include "ChannelTestSupport.h"
#include "MemoryPipePair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace
{

using namespace std::chrono_literals;
using namespace KpxTest;
using Q7::KPX::ByteReader;
using Q7::KPX::ByteWriter;
using Q7::KPX::CommonMessageHeader;

constexpr std::uint8_t kCh = 3;

// A 32-byte fixed part: the common header and four u32 fields.
struct Fixed32
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{Q7::KPX::kMessageMagic, 0x67, 0x81, 32, 32, 0};
    std::uint32_t a = 0xA0A0A0A0;
    std::uint32_t b = 0xB0B0B0B0;
    std::uint32_t c = 0xC0C0C0C0;
    std::uint32_t d = 0xD0D0D0D0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, a, b, c, d);
    }
};

// A message as a camera sends it: header of headerSize bytes whose field i
// (after the common header) is 0x11111111 * (i + 1), then one marker byte
// that belongs to whatever follows.
std::vector<std::uint8_t> CameraMessage(std::uint16_t headerSize)
{
    std::vector<std::uint8_t> bytes(headerSize + 1u, 0);
    bytes[0] = 0x11;
    bytes[1] = 0x22;
    bytes[2] = 0x33;
    bytes[3] = 0x44;
    bytes[4] = 0x67;
    bytes[5] = 0x81;
    PutU16(bytes, 6, headerSize);
    PutU32(bytes, 8, headerSize);
    for (std::size_t offset = 16, i = 1; offset + 4 <= headerSize; offset += 4, ++i)
    {
        PutU32(bytes, offset, static_cast<std::uint32_t>(0x11111111u * i));
    }
    bytes[headerSize] = 0xEE;
    return bytes;
}

class ChannelMessageReaderTest : public ::testing::Test
{
protected:
    ChannelMessageReaderTest()
        : transport(device, kDefaultPipeId), camera(device.Link()), channel(kCh, 0, transport)
    {
        channel.AddClientMajorVersion({1, 0});
        EXPECT_EQ(transport.Start(), 0u);
        channel.Start();
        auto opened = std::async(std::launch::async, [this] { return channel.Open(); });
        EXPECT_TRUE(camera.ReadPacket().has_value());
        camera.WriteBytes(MakeOpenReply(kCh, 0, {0, 1, 0}));
        EXPECT_EQ(opened.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(opened.get(), 0);
    }

    ~ChannelMessageReaderTest() override
    {
        camera.Drop(); // no CloseReply will come: end the close at once
        channel.Stop();
        transport.Stop();
    }

    // Sends bytes as one Data packet.
    void Send(const std::vector<std::uint8_t>& bytes) { camera.WriteBytes(MakeData(kCh, 0, bytes)); }

    CommonMessageHeader ReadCommonHeader()
    {
        std::array<std::uint8_t, 16> bytes{};
        EXPECT_EQ(channel.Read(bytes.data(), 16, nullptr, nullptr, 5000), 0);
        return *Q7::KPX::DecodeMessageHeader(bytes);
    }

    std::uint8_t ReadByte()
    {
        std::uint8_t byte = 0;
        EXPECT_EQ(channel.Read(&byte, 1, nullptr, nullptr, 5000), 0);
        return byte;
    }

    MemoryDevice device;
    Q7::KPX::ChannelTransport transport;
    CameraEnd camera;
    Q7::KPX::Channel channel;
};

// A camera header larger than the struct: the struct is filled, the rest
// skipped, one warning logged.
TEST_F(ChannelMessageReaderTest, ALargerCameraHeaderIsReadAndItsExtraBytesSkipped)
{
    LogCapture log;
    Send(CameraMessage(40));
    const CommonMessageHeader common = ReadCommonHeader();
    Fixed32 message;
    ASSERT_EQ(Q7::KPX::ReadMessageHeader(message, common, channel, nullptr), 0);
    EXPECT_EQ(message.header.messageHeaderSize, 40);
    EXPECT_EQ(message.a, 0x11111111u);
    EXPECT_EQ(message.b, 0x22222222u);
    EXPECT_EQ(message.c, 0x33333333u);
    EXPECT_EQ(message.d, 0x44444444u);
    EXPECT_EQ(ReadByte(), 0xEE);
    EXPECT_EQ(log.Count(L"Skipsize > 0 for CommonMessageHeader with messageClass = 103, messageType = 129"),
              1u);
}

// A camera header shorter than the struct: the newer fields keep their defaults.
TEST_F(ChannelMessageReaderTest, AShorterCameraHeaderLeavesTheDefaults)
{
    LogCapture log;
    Send(CameraMessage(24));
    const CommonMessageHeader common = ReadCommonHeader();
    Fixed32 message;
    ASSERT_EQ(Q7::KPX::ReadMessageHeader(message, common, channel, nullptr), 0);
    EXPECT_EQ(message.a, 0x11111111u);
    EXPECT_EQ(message.b, 0x22222222u);
    EXPECT_EQ(message.c, 0xC0C0C0C0u);
    EXPECT_EQ(message.d, 0xD0D0D0D0u);
    EXPECT_EQ(ReadByte(), 0xEE);
    EXPECT_EQ(log.Count(L"Skipsize"), 0u);
}

TEST_F(ChannelMessageReaderTest, AHeaderOfSixteenBytesReadsNothingMore)
{
    Send(CameraMessage(16));
    const CommonMessageHeader common = ReadCommonHeader();
    Fixed32 message;
    ASSERT_EQ(Q7::KPX::ReadMessageHeader(message, common, channel, nullptr), 0);
    EXPECT_EQ(message.a, 0xA0A0A0A0u);
    EXPECT_EQ(ReadByte(), 0xEE);
}

// A header size below 16 comes from the camera: an error, never an assertion.
TEST_F(ChannelMessageReaderTest, ACameraHeaderSizeBelowSixteenRaisesInvalidData)
{
    CommonMessageHeader common;
    common.messageHeaderSize = 8;
    common.messageSize = 8;
    Fixed32 message;
    EXPECT_EQ(RaisedCode([&] { Q7::KPX::ReadMessageHeader(message, common, channel, nullptr); }), 0x650003u);
}

TEST_F(ChannelMessageReaderTest, SkipMessageBytesDiscardsExactlyTheCount)
{
    std::vector<std::uint8_t> bytes(2501, 0x55);
    bytes[2500] = 0xEE;
    for (std::size_t offset = 0; offset < bytes.size(); offset += 1000)
    {
        Send(std::vector<std::uint8_t>(
            bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(offset + 1000, bytes.size()))));
    }
    EXPECT_EQ(Q7::KPX::SkipMessageBytes(2500, channel, nullptr), 0);
    EXPECT_EQ(ReadByte(), 0xEE);
    EXPECT_EQ(Q7::KPX::SkipMessageBytes(0, channel, nullptr), 0);
}

TEST_F(ChannelMessageReaderTest, AReadFailureIsReturnedAsTheChannelsResult)
{
    Send(std::vector<std::uint8_t>(100, 1));
    Q7::Platform::EventCondition_Posix abort;
    abort.Set();
    const Q7::KPX::WaitObjectList aborts{&abort};
    EXPECT_EQ(Q7::KPX::SkipMessageBytes(5000, channel, &aborts), 1);

    camera.Drop();
    EXPECT_EQ(Q7::KPX::SkipMessageBytes(5000, channel, nullptr), 4);
}

} // namespace
