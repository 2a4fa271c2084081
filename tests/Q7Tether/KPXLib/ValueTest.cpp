// The KPX value: inline and heap storage, deep copies and moves, size and type
// checks with their errors, widening reads and equality.
#include "Wire/KPXValue.h"

#include "KpxWireTestSupport.h"
#include "LogCapture.h"
#include "Q7UniversalLogMsg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{

using KpxWireTest::Bytes;
using KpxWireTest::ExpectModuleError;
using Q7::KPX::Value;

constexpr std::uint32_t kInvalidDataType = 0x650002;
constexpr std::uint32_t kInvalidSize = 0x650005;

Bytes Sequence(std::size_t length, std::uint8_t first = 1)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

// True when `pointer` lies inside the object `value` itself.
bool PointsIntoObject(const Value& value, const std::uint8_t* pointer)
{
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&value);
    return pointer >= begin && pointer < begin + sizeof(Value);
}

// --- Storage ------------------------------------------------------------------------

TEST(ValueStorageTest, SmallValuesStayInline)
{
    const Bytes four = {0x78, 0x56, 0x34, 0x12};
    Value value(6);
    value.SetData(four);
    EXPECT_EQ(value.GetSize(), 4U);
    EXPECT_TRUE(PointsIntoObject(value, value.GetData()));
    EXPECT_EQ(value.GetUInt64(), 0x12345678U) << "u32 zero-extended";
}

TEST(ValueStorageTest, LargeValuesGoToTheHeap)
{
    const Bytes data = Sequence(300);
    Value text(20);
    text.SetData(data);
    EXPECT_EQ(text.GetSize(), 300U);
    EXPECT_FALSE(PointsIntoObject(text, text.GetData()));
    EXPECT_EQ(Bytes(text.GetBytes().begin(), text.GetBytes().end()), data);

    Value fixedText(23);
    fixedText.SetData(data);
    EXPECT_EQ(fixedText.GetSize(), 300U) << "longer than the type's 256 bytes is accepted";
}

TEST(ValueStorageTest, ShrinkingBackInlineZeroesTheRest)
{
    Value value(20);
    value.SetData(Sequence(20));
    value.SetData(Sequence(2, 0xA0));
    EXPECT_EQ(value.GetSize(), 2U);
    EXPECT_TRUE(PointsIntoObject(value, value.GetData()));
    for (std::size_t i = 2; i < Value::kInlineSize; ++i)
        EXPECT_EQ(value.GetData()[i], 0) << "inline byte " << i;
}

// A value given its own bytes must copy them before it frees them.
TEST(ValueStorageTest, SetDataFromItsOwnBytes)
{
    Value heap(20);
    heap.SetData(Sequence(40));
    heap.SetData(heap.GetData(), heap.GetSize());
    EXPECT_EQ(Bytes(heap.GetBytes().begin(), heap.GetBytes().end()), Sequence(40));
    heap.SetData(heap.GetData() + 1, 5);
    EXPECT_EQ(Bytes(heap.GetBytes().begin(), heap.GetBytes().end()), Sequence(5, 2));
    heap.SetData(heap.GetData() + 1, 3);
    EXPECT_EQ(Bytes(heap.GetBytes().begin(), heap.GetBytes().end()), Sequence(3, 3));
}

// --- Copies and moves: the data must always live in the object's own storage ---------

TEST(ValueCopyTest, CopyOfInlineValuePointsIntoTheCopy)
{
    auto source = std::make_unique<Value>(6);
    source->SetData(Bytes{1, 2, 3, 4});
    source->SetSecondWord(0x01);
    const Value copy(*source);
    EXPECT_TRUE(PointsIntoObject(copy, copy.GetData()));
    source.reset(); // a copied self-pointer would now dangle (ASan would report it)
    EXPECT_EQ(copy.GetUInt64(), 0x04030201U);
    EXPECT_EQ(copy.GetSecondWord(), 0x01U);
}

TEST(ValueCopyTest, CopyOfHeapValueIsDeep)
{
    auto source = std::make_unique<Value>(20);
    source->SetData(Sequence(100));
    Value copy(*source);
    EXPECT_NE(copy.GetData(), source->GetData());
    source.reset();
    EXPECT_EQ(Bytes(copy.GetBytes().begin(), copy.GetBytes().end()), Sequence(100));
}

TEST(ValueCopyTest, CopyAssignmentBetweenInlineAndHeap)
{
    Value heap(20);
    heap.SetData(Sequence(50));
    Value small(6);
    small.SetData(Bytes{9, 9, 9, 9});

    Value target(20);
    target.SetData(Sequence(30));
    target = small;
    EXPECT_TRUE(PointsIntoObject(target, target.GetData()));
    EXPECT_EQ(target, small);

    target = heap;
    EXPECT_NE(target.GetData(), heap.GetData());
    EXPECT_EQ(target, heap);

    Value& alias = target;
    target = alias;
    EXPECT_EQ(target, heap) << "self-assignment keeps the value";
}

TEST(ValueCopyTest, MovesLeaveTheSourceEmpty)
{
    Value small(6);
    small.SetData(Bytes{1, 0, 0, 0});
    Value movedSmall(std::move(small));
    EXPECT_TRUE(PointsIntoObject(movedSmall, movedSmall.GetData()));
    EXPECT_EQ(movedSmall.GetUInt64(), 1U);
    EXPECT_EQ(small.GetSize(), 0U); // NOLINT(bugprone-use-after-move): the moved-from state is documented

    Value heap(20);
    heap.SetData(Sequence(64));
    const std::uint8_t* heapBytes = heap.GetData();
    Value movedHeap(20);
    movedHeap = std::move(heap);
    EXPECT_EQ(movedHeap.GetData(), heapBytes) << "a move takes the heap block over";
    EXPECT_EQ(heap.GetSize(), 0U); // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(PointsIntoObject(heap, heap.GetData()));

    std::vector<Value> values;
    for (int i = 0; i < 50; ++i)
    {
        values.emplace_back(6);
        values.back().SetData(Bytes{static_cast<std::uint8_t>(i), 0, 0, 0});
    }
    for (int i = 0; i < 50; ++i)
    {
        ASSERT_TRUE(PointsIntoObject(values[i], values[i].GetData())) << "after the vector grew";
        EXPECT_EQ(values[i].GetUInt64(), static_cast<std::uint64_t>(i));
    }
}

// --- Checks and errors --------------------------------------------------------------------

TEST(ValueCheckTest, ShortDataIsRefusedAndTheOldBytesStay)
{
    Value value(5);
    value.SetData(Bytes{1, 2, 3, 4});
    ExpectModuleError([&] { value.SetData(Bytes{7, 7}); }, kInvalidSize);
    EXPECT_EQ(value.GetSize(), 4U);
    std::int32_t read = 0;
    value.GetInt32(read);
    EXPECT_EQ(read, 0x04030201);

    Value fixedText(23);
    ExpectModuleError([&] { fixedText.SetData(Sequence(255)); }, kInvalidSize);
    ExpectModuleError([] { Value constructed(8, Bytes(7, 0).data(), 7); }, kInvalidSize);
}

TEST(ValueCheckTest, NullDataCountsAsEmpty)
{
    Value variable(20);
    variable.SetData(nullptr, 100);
    EXPECT_EQ(variable.GetSize(), 0U);
    Value number(5);
    ExpectModuleError([&] { number.SetData(nullptr, 4); }, kInvalidSize);
}

TEST(ValueCheckTest, CheckTypeAndWrongGetters)
{
    Value value(1);
    value.SetData(Bytes{0xFF});
    EXPECT_NO_THROW(value.CheckType(1));
    ExpectModuleError([&] { value.CheckType(2); }, kInvalidDataType);

    std::uint32_t unsignedRead = 0;
    ExpectModuleError([&] { value.GetUInt32(unsignedRead); }, kInvalidDataType);
    std::uint16_t u16 = 0;
    ExpectModuleError([&] { value.GetUInt16(u16); }, kInvalidDataType);
    ExpectModuleError([&] { (void)value.GetDouble(); }, kInvalidDataType);

    Value i32(5);
    std::int16_t i16 = 0;
    ExpectModuleError([&] { i32.GetInt16(i16); }, kInvalidDataType);
    Value u64(8);
    std::uint32_t u32 = 0;
    ExpectModuleError([&] { u64.GetUInt32(u32); }, kInvalidDataType);
    ExpectModuleError([&] { (void)u64.GetInt64(); }, kInvalidDataType);
}

TEST(ValueCheckTest, SetTypeClearsTheValue)
{
    Value value(20);
    value.SetData(Sequence(12));
    value.SetSecondWord(5);
    value.SetType(6);
    EXPECT_EQ(value.GetType(), 6U);
    EXPECT_EQ(value.GetSize(), 0U);
    EXPECT_EQ(value.GetSecondWord(), 0U);
    value.Clear();
    EXPECT_EQ(value.GetType(), 6U) << "Clear keeps the type";
}

// --- Widening reads ------------------------------------------------------------------------

TEST(ValueReadTest, SignedWidening)
{
    Value i8(1, Bytes{0xFF}.data(), 1);
    std::int16_t r16 = 0;
    std::int32_t r32 = 0;
    i8.GetInt16(r16);
    i8.GetInt32(r32);
    EXPECT_EQ(r16, -1);
    EXPECT_EQ(r32, -1);
    EXPECT_EQ(i8.GetInt64(), -1);

    const Value i16(3, Bytes{0x00, 0x80}.data(), 2);
    EXPECT_EQ(i16.GetInt64(), -32768);
    const Value i32(5, Bytes{0xFE, 0xFF, 0xFF, 0xFF}.data(), 4);
    EXPECT_EQ(i32.GetInt64(), -2);
    const Value i64(7, Bytes{1, 0, 0, 0, 0, 0, 0, 0x80}.data(), 8);
    EXPECT_EQ(static_cast<std::uint64_t>(i64.GetInt64()), 0x8000000000000001ULL);
}

TEST(ValueReadTest, UnsignedWidening)
{
    const Value u8(2, Bytes{0xFF}.data(), 1);
    std::uint16_t r16 = 0;
    std::uint32_t r32 = 0;
    u8.GetUInt16(r16);
    u8.GetUInt32(r32);
    EXPECT_EQ(r16, 0xFF);
    EXPECT_EQ(r32, 0xFFU);
    EXPECT_EQ(u8.GetUInt64(), 0xFFU);
    const Value u16(4, Bytes{0x34, 0x12}.data(), 2);
    EXPECT_EQ(u16.GetUInt64(), 0x1234U);
    const Value u64(8, Bytes{1, 2, 3, 4, 5, 6, 7, 8}.data(), 8);
    EXPECT_EQ(u64.GetUInt64(), 0x0807060504030201ULL);
}

TEST(ValueReadTest, FloatingPoint)
{
    const float f = 1.5F;
    Bytes fBytes(4);
    std::memcpy(fBytes.data(), &f, 4);
    EXPECT_EQ(Value(9, fBytes.data(), 4).GetDouble(), 1.5);

    const double d = -2.25;
    Bytes dBytes(8);
    std::memcpy(dBytes.data(), &d, 8);
    EXPECT_EQ(Value(10, dBytes.data(), 8).GetDouble(), -2.25);
}

// A value that never got data reads zero, inside its own storage.
TEST(ValueReadTest, EmptyNumericValueReadsZero)
{
    const Value empty(8);
    EXPECT_EQ(empty.GetUInt64(), 0U);
}

TEST(ValueReadTest, LongerDataReadsTheFirstBytes)
{
    const Value u32(6, Sequence(12).data(), 12);
    std::uint32_t read = 0;
    u32.GetUInt32(read);
    EXPECT_EQ(read, 0x04030201U);
}

// --- Equality --------------------------------------------------------------------------------

TEST(ValueEqualityTest, TypeSecondWordSizeAndBytes)
{
    const Bytes four = {1, 2, 3, 4};
    EXPECT_NE(Value(5, four.data(), 4), Value(6, four.data(), 4)) << "same bytes, different types";
    EXPECT_EQ(Value(5), Value(5));
    EXPECT_EQ(Value(5, four.data(), 4), Value(5, four.data(), 4));
    EXPECT_NE(Value(5, four.data(), 4), Value(5, Bytes{1, 2, 3, 5}.data(), 4));
    EXPECT_NE(Value(20, four.data(), 4), Value(20, four.data(), 3));

    Value flagged(5, four.data(), 4);
    flagged.SetSecondWord(1);
    EXPECT_NE(flagged, Value(5, four.data(), 4));
}

// --- Type sizes ---------------------------------------------------------------------------------

TEST(ValueTypeSizeTest, Table)
{
    struct Row
    {
        std::uint64_t size;
        std::vector<std::uint32_t> codes;
    };
    const std::vector<Row> rows = {
        {0, {0, 20}},
        {1, {1, 2, 12}},
        {2, {3, 4}},
        {3, {50}},
        {4, {5, 6, 9, 11, 13, 55}},
        {6, {51}},
        {8, {7, 8, 10, 14, 30, 31, 32, 34, 35, 36, 56, 70, 71, 72}},
        {12, {52, 53}},
        {16, {33, 37, 38, 39, 40, 57, 58, 73}},
        {24, {54}},
        {32, {21, 41, 59}},
        {80, {22}},
        {256, {23}},
    };
    TestSupport::LogCapture capture;
    for (const Row& row : rows)
    {
        for (const std::uint32_t code : row.codes)
            EXPECT_EQ(Value::SizeOfType(code), row.size) << "code " << code;
    }
    EXPECT_TRUE(capture.LinesOfType(Q7::Universal::kLogMsgType_Warning).empty())
        << "known codes (0 and 20 included) log nothing";
}

TEST(ValueTypeSizeTest, UnknownCodesWarnAndAcceptAnyLength)
{
    TestSupport::LogCapture capture;
    for (const std::uint32_t code : {15U, 19U, 24U, 29U, 42U, 49U, 60U, 69U, 74U, 0xFFFFFFFFU})
        EXPECT_EQ(Value::SizeOfType(code), 0U) << "code " << code;
    const std::vector<std::wstring> warnings = capture.LinesOfType(Q7::Universal::kLogMsgType_Warning);
    ASSERT_EQ(warnings.size(), 10U);
    EXPECT_NE(warnings[0].find(L"Warning: Unknown KPX value type 15\n"), std::wstring::npos)
        << std::string(warnings[0].begin(), warnings[0].end());

    Value unknown(15);
    unknown.SetData(nullptr, 0);
    unknown.SetData(Sequence(3));
    EXPECT_EQ(unknown.GetSize(), 3U);
}

} // namespace
