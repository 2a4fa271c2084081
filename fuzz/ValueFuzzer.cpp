// Fuzzes the KPX value with input = a type byte, a slice byte and the value's
// bytes: storing them, copying and moving, comparing, and every typed read.
#include "FuzzEntry.h"

#include "Q7UniversalError.h"
#include "Wire/KPXValue.h"

#include <algorithm>
#include <cstring>
#include <utility>

using Q7::KPX::Value;

namespace
{

void ReadEveryWay(const Value& value)
{
    std::int16_t i16 = 0;
    std::uint16_t u16 = 0;
    std::int32_t i32 = 0;
    std::uint32_t u32 = 0;
    std::int64_t i64 = 0;
    std::uint64_t u64 = 0;
    double real = 0;
    try
    {
        value.GetInt16(i16);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    try
    {
        value.GetUInt16(u16);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    try
    {
        value.GetInt32(i32);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    try
    {
        value.GetUInt32(u32);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    try
    {
        value.GetInt64(i64);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    try
    {
        value.GetUInt64(u64);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    try
    {
        value.GetDouble(real);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // Type codes above 80 are all unknown; fold most of the byte range onto the
    // known ones so that the fuzzer spends its time there.
    const std::uint32_t type = data[0] < 160 ? data[0] % 80U : data[0];
    const std::size_t slice = data[1];
    const std::uint8_t* bytes = data + 2;
    const std::size_t length = size - 2;

    Value value(type);
    try
    {
        value.SetData(bytes, length);
        TAVRIN_FUZZ_CHECK(value.GetSize() == length);
        TAVRIN_FUZZ_CHECK(length == 0 || std::memcmp(value.GetData(), bytes, length) == 0);
    }
    catch (const Q7::Universal::UniversalError&)
    {
        TAVRIN_FUZZ_CHECK(length < Value::SizeOfType(type));
        TAVRIN_FUZZ_CHECK(value.GetSize() == 0);
    }
    ReadEveryWay(value);

    Value copy(value);
    TAVRIN_FUZZ_CHECK(copy == value);
    TAVRIN_FUZZ_CHECK(copy.GetSize() == 0 || copy.GetData() != value.GetData());

    // Store a slice of its own bytes: the source overlaps the storage.
    try
    {
        const std::size_t part = std::min<std::size_t>(slice, copy.GetSize());
        copy.SetData(copy.GetData() + (copy.GetSize() - part), part);
        TAVRIN_FUZZ_CHECK(copy.GetSize() == part);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    ReadEveryWay(copy);

    Value moved(std::move(copy));
    Value assigned(0);
    assigned = moved;
    TAVRIN_FUZZ_CHECK(assigned == moved);
    assigned = std::move(moved);
    ReadEveryWay(assigned);
    value.SetType(type);
    TAVRIN_FUZZ_CHECK(value.GetSize() == 0);
    return 0;
}
