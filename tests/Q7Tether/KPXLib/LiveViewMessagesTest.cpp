// Channel 5's control messages byte by byte: the configuration's size and
// version-gated fields, the capabilities' ordered ranges and absent bounds,
// and a control value outside the three states.

#include "Agents/ImageTransfer/KPXLiveViewMessages.h"

#include <gtest/gtest.h>

#include <span>

#include "Wire/KPXByteCursor.h"

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::LiveView;

std::uint32_t U32At(const MessageBytes& bytes, std::size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

Configuration Sample()
{
    Configuration configuration;
    configuration.configID = {true, 0x1234, {}};
    configuration.cropWidth = 640;
    configuration.format = kFormat_Jpeg;
    configuration.colorMode = 2;
    configuration.compQuality = {true, 77, {}};
    return configuration;
}

struct SizeCase
{
    ProtocolVersion version;
    std::size_t size;
    std::uint16_t configIdOnWire;
};

class SetConfigurationByVersion : public ::testing::TestWithParam<SizeCase>
{
};

// The size follows the version; configID reaches the wire from 1.1 and the
// compression quality only on 1.2 (a message of the wrong size stalls a camera).
TEST_P(SetConfigurationByVersion, SizeAndGatedFields)
{
    const MessageBytes bytes = MakeSetConfigurationMessage(GetParam().version, Sample());
    ASSERT_EQ(bytes.size(), GetParam().size);
    EXPECT_EQ(U32At(bytes, 8), GetParam().size); // total size
    EXPECT_EQ(bytes[4], kMessageClass_LiveView);
    EXPECT_EQ(bytes[5], kLiveViewMessage_SetConfiguration);
    EXPECT_EQ(U32At(bytes, 28), 640u);
    EXPECT_EQ(U32At(bytes, 48), kFormat_Jpeg);
    EXPECT_EQ(bytes[52], 2);
    EXPECT_EQ(bytes[54] | bytes[55] << 8, GetParam().configIdOnWire);
    if (bytes.size() == 60)
    {
        EXPECT_EQ(bytes[56], 77);
    }
}

INSTANTIATE_TEST_SUITE_P(LiveView, SetConfigurationByVersion,
                         ::testing::Values(SizeCase{{1, 0}, 56, 0}, SizeCase{{1, 1}, 56, 0x1234},
                                           SizeCase{{1, 2}, 60, 0x1234}));

// A reply read back gives the record it was made from, with the optional
// fields present exactly from their versions.
TEST(LiveViewMessages, ConfigurationRoundTripByVersion)
{
    for (const ProtocolVersion version :
         {ProtocolVersion{1, 0}, ProtocolVersion{1, 1}, ProtocolVersion{1, 2}})
    {
        const MessageBytes bytes = MakeSetConfigurationMessage(version, Sample());
        ConfigurationMessage message = MakeDefaultConfigurationReply(version);
        ByteReader reader(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
        ReadMessageFields(message, reader);
        const Configuration record = ToConfiguration(message, version);
        EXPECT_EQ(record.configID.present, (version >= ProtocolVersion{1, 1}));
        EXPECT_EQ(record.compQuality.present, (version >= ProtocolVersion{1, 2}));
        EXPECT_EQ(record.cropWidth, 640u);
        if (!record.configID.present)
        {
            EXPECT_EQ(record.configID.reason, "configID not available in this version");
        }
    }
}

// Ranges sent high to low are kept low to high; below 1.2 the compression
// bounds are absent with their reason texts.
TEST(LiveViewMessages, CapabilitiesOrderedAndGated)
{
    CapabilitiesMessage message;
    message.quality[0] = 90.0f;
    message.quality[1] = 10.0f;
    message.lightness[0] = -1.0f;
    message.lightness[1] = 1.0f;
    message.formatMask = 0x10001;
    message.minCompQuality = 50;
    message.maxCompQuality = 95;
    const Capabilities v11 = ToCapabilities(message, {1, 1});
    EXPECT_EQ(v11.qualityMin, 10.0f);
    EXPECT_EQ(v11.qualityMax, 90.0f);
    EXPECT_EQ(v11.lightnessMin, -1.0f);
    EXPECT_TRUE(v11.jpeg);
    EXPECT_FALSE(v11.minCompQuality.present);
    EXPECT_EQ(v11.minCompQuality.reason, "minCompQuality not available in this version");
    EXPECT_EQ(v11.maxCompQuality.reason, "maxCompQuality not available in this version");
    const Capabilities v12 = ToCapabilities(message, {1, 2});
    EXPECT_TRUE(v12.minCompQuality.present);
    EXPECT_EQ(v12.minCompQuality.value, 50);
    EXPECT_EQ(v12.maxCompQuality.value, 95);
}

// Only 0, 1 and 2 reach the camera; anything else is a stop.
TEST(LiveViewMessages, SetControlOutsideStatesSendsStop)
{
    EXPECT_EQ(MakeSetControlMessage({1, 0}, 2)[16], 2);
    EXPECT_EQ(MakeSetControlMessage({1, 0}, 5)[16], 0);
    EXPECT_EQ(MakeSetControlMessage({1, 0}, 5).size(), 20u);
    const MessageBytes wb = MakeSetWhiteBalancePointMessage({1, 2}, 3, 4);
    ASSERT_EQ(wb.size(), 24u);
    EXPECT_EQ(U32At(wb, 16), 3u);
    EXPECT_EQ(U32At(wb, 20), 4u);
    EXPECT_EQ(MakeGetTimeMessage({1, 2}).size(), 16u);
    EXPECT_EQ(MakeGetTimeMessage({1, 2})[5], kLiveViewMessage_GetTime);
}

} // namespace
