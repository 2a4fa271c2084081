// The bounds-checked cursor every codec reads and writes through: little-endian
// order, and no access outside its span whatever count it is given.
#include "Wire/KPXByteCursor.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace
{

using Q7::KPX::ByteReader;
using Q7::KPX::ByteWriter;

TEST(ByteReaderTest, ReadsLittleEndianValues)
{
    const std::array<std::uint8_t, 15> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                                0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.ReadU8(), 0x01);
    EXPECT_EQ(reader.ReadU16(), 0x0302);
    EXPECT_EQ(reader.ReadU32(), 0x07060504U);
    EXPECT_EQ(reader.ReadU64(), 0x0F0E0D0C0B0A0908ULL);
    EXPECT_FALSE(reader.Overflow());
    EXPECT_EQ(reader.Remaining(), 0U);
}

// A read that does not fit must not consume the bytes that are there, and must
// not read past the end (ASan catches the latter).
TEST(ByteReaderTest, ShortReadGivesZeroSetsOverflowAndConsumesNothing)
{
    const std::vector<std::uint8_t> bytes = {0xAA, 0xBB, 0xCC};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.ReadU32(), 0U);
    EXPECT_TRUE(reader.Overflow());
    EXPECT_EQ(reader.Position(), 0U);
    EXPECT_EQ(reader.ReadU16(), 0xBBAA);
    EXPECT_TRUE(reader.Overflow()) << "overflow is sticky";
}

TEST(ByteReaderTest, ReadBytesZeroFillsWhenShort)
{
    const std::vector<std::uint8_t> bytes = {1, 2};
    ByteReader reader(bytes);
    std::array<std::uint8_t, 4> out = {9, 9, 9, 9};
    reader.ReadBytes(out);
    EXPECT_TRUE(reader.Overflow());
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(reader.Position(), 0U);
}

// A 64-bit count read from the wire must be compared, never added and wrapped.
TEST(ByteReaderTest, HugeCountsDoNotWrap)
{
    const std::vector<std::uint8_t> bytes(16, 0x11);
    ByteReader reader(bytes);
    reader.Skip(4);
    reader.Skip(std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(reader.Overflow());
    EXPECT_EQ(reader.Position(), 4U);
    EXPECT_TRUE(reader.ReadSpan(std::numeric_limits<std::uint64_t>::max() - 2).empty());
    reader.Seek(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(reader.Position(), 4U);
}

TEST(ByteReaderTest, ReadSpanAndSeekStayInside)
{
    const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5};
    ByteReader reader(bytes);
    const auto view = reader.ReadSpan(3);
    ASSERT_EQ(view.size(), 3U);
    EXPECT_EQ(view[2], 3);
    reader.Seek(5);
    EXPECT_FALSE(reader.Overflow()) << "seeking to the very end is allowed";
    EXPECT_EQ(reader.ReadU8(), 0);
    EXPECT_TRUE(reader.Overflow());
}

TEST(ByteReaderTest, EmptySpanIsSafe)
{
    ByteReader reader(std::span<const std::uint8_t>{});
    std::array<std::uint8_t, 0> none{};
    reader.ReadBytes(none);
    EXPECT_FALSE(reader.Overflow());
    EXPECT_EQ(reader.ReadU8(), 0);
    EXPECT_TRUE(reader.Overflow());
}

TEST(ByteWriterTest, WritesLittleEndianValues)
{
    std::array<std::uint8_t, 15> bytes{};
    ByteWriter writer(bytes);
    writer.WriteU8(0x01);
    writer.WriteU16(0x0302);
    writer.WriteU32(0x07060504U);
    writer.WriteU64(0x0F0E0D0C0B0A0908ULL);
    EXPECT_FALSE(writer.Overflow());
    const std::array<std::uint8_t, 15> expected = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                                   0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    EXPECT_EQ(bytes, expected);
}

// A write that does not fit is dropped whole: no byte past the end, no partial
// value inside.
TEST(ByteWriterTest, WriteThatDoesNotFitIsDropped)
{
    std::array<std::uint8_t, 3> bytes = {0xEE, 0xEE, 0xEE};
    ByteWriter writer(std::span<std::uint8_t>(bytes).first(3));
    writer.WriteU8(0x11);
    writer.WriteU32(0x22222222);
    EXPECT_TRUE(writer.Overflow());
    EXPECT_EQ(writer.Position(), 1U);
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 3>{0x11, 0xEE, 0xEE}));

    const std::array<std::uint8_t, 4> source = {1, 2, 3, 4};
    writer.WriteBytes(source);
    writer.WriteZeros(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 3>{0x11, 0xEE, 0xEE}));
}

TEST(ByteWriterTest, ZerosBytesAndSeek)
{
    std::array<std::uint8_t, 6> bytes = {9, 9, 9, 9, 9, 9};
    ByteWriter writer(bytes);
    writer.WriteZeros(2);
    const std::array<std::uint8_t, 2> source = {7, 8};
    writer.WriteBytes(source);
    writer.Seek(5);
    writer.WriteU8(1);
    EXPECT_FALSE(writer.Overflow());
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 6>{0, 0, 7, 8, 9, 1}));
    writer.Seek(7);
    EXPECT_TRUE(writer.Overflow());
    EXPECT_EQ(writer.Position(), 6U);
}

} // namespace
