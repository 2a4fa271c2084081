#include "Wire/KPXValue.h"

#include <bit>
#include <cstring>
#include <utility>

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX
{
namespace
{

using Universal::ModuleError;

// Value type codes of the plain numbers.
enum : std::uint32_t
{
    kType_Int8 = 1,
    kType_UInt8 = 2,
    kType_Int16 = 3,
    kType_UInt16 = 4,
    kType_Int32 = 5,
    kType_UInt32 = 6,
    kType_Int64 = 7,
    kType_UInt64 = 8,
    kType_Float = 9,
    kType_Double = 10,
};

[[noreturn]] void ThrowWrongType()
{
    throw ModuleError(Universal::kError_InvalidDataType);
}

// Sign-extends the low `width` bytes of `raw`.
std::int64_t SignExtend(std::uint64_t raw, unsigned width) noexcept
{
    const unsigned shift = 64U - 8U * width;
    return static_cast<std::int64_t>(raw << shift) >> shift;
}

} // namespace

Value::Value(std::uint32_t type) noexcept : m_type(type) {}

Value::Value(std::uint32_t type, const void* data, std::uint64_t length) : m_type(type)
{
    SetData(data, length);
}

Value::Value(const Value& other)
{
    CopyFrom(other);
}

Value::Value(Value&& other) noexcept
    : m_type(other.m_type), m_secondWord(other.m_secondWord), m_size(other.m_size),
      m_heap(std::move(other.m_heap))
{
    std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
    other.Clear();
}

Value& Value::operator=(const Value& other)
{
    if (this != &other)
        CopyFrom(other);
    return *this;
}

Value& Value::operator=(Value&& other) noexcept
{
    if (this != &other)
    {
        m_type = other.m_type;
        m_secondWord = other.m_secondWord;
        m_size = other.m_size;
        m_heap = std::move(other.m_heap);
        std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
        other.Clear();
    }
    return *this;
}

// Copies into fresh storage before anything of this object changes, so a
// failed allocation leaves it as it was.
void Value::CopyFrom(const Value& other)
{
    std::unique_ptr<std::uint8_t[]> heap;
    if (other.m_size > kInlineSize)
    {
        heap = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(other.m_size));
        std::memcpy(heap.get(), other.m_heap.get(), static_cast<std::size_t>(other.m_size));
    }
    m_type = other.m_type;
    m_secondWord = other.m_secondWord;
    m_size = other.m_size;
    m_heap = std::move(heap);
    std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
}

bool operator==(const Value& a, const Value& b) noexcept
{
    if (a.m_type != b.m_type || a.m_secondWord != b.m_secondWord || a.m_size != b.m_size)
        return false;
    return a.m_size == 0 || std::memcmp(a.GetData(), b.GetData(), static_cast<std::size_t>(a.m_size)) == 0;
}

void Value::SetType(std::uint32_t type) noexcept
{
    m_type = type;
    Clear();
}

void Value::Clear() noexcept
{
    m_secondWord = 0;
    m_size = 0;
    std::memset(m_inline, 0, sizeof(m_inline));
    m_heap.reset();
}

void Value::SetData(const void* data, std::uint64_t length)
{
    if (data == nullptr)
        length = 0;
    if (length < SizeOfType(m_type))
        throw ModuleError(Universal::kError_InvalidSize);

    // Build the new storage first: `data` may point into this value's own bytes.
    std::unique_ptr<std::uint8_t[]> heap;
    std::uint8_t inlineBytes[kInlineSize] = {};
    if (length > kInlineSize)
    {
        heap = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(length));
        std::memcpy(heap.get(), data, static_cast<std::size_t>(length));
    }
    else if (length != 0)
    {
        std::memcpy(inlineBytes, data, static_cast<std::size_t>(length));
    }
    m_heap = std::move(heap);
    std::memcpy(m_inline, inlineBytes, sizeof(m_inline));
    m_size = length;
}

void Value::CheckType(std::uint32_t type) const
{
    if (m_type != type)
        ThrowWrongType();
}

std::uint64_t Value::SizeOfType(std::uint32_t type) noexcept
{
    switch (type)
    {
    case 0:
    case 20:
        return 0;
    case 1:
    case 2:
    case 12:
        return 1;
    case 3:
    case 4:
        return 2;
    case 50:
        return 3;
    case 5:
    case 6:
    case 9:
    case 11:
    case 13:
    case 55:
        return 4;
    case 51:
        return 6;
    case 7:
    case 8:
    case 10:
    case 14:
    case 30:
    case 31:
    case 32:
    case 34:
    case 35:
    case 36:
    case 56:
    case 70:
    case 71:
    case 72:
        return 8;
    case 52:
    case 53:
        return 12;
    case 33:
    case 37:
    case 38:
    case 39:
    case 40:
    case 57:
    case 58:
    case 73:
        return 16;
    case 54:
        return 24;
    case 21:
    case 41:
    case 59:
        return 32;
    case 22:
        return 80;
    case 23:
        return 256;
    default:
        Universal::LogWarning(L"Unknown KPX value type %u", static_cast<unsigned>(type));
        return 0;
    }
}

// The numeric types are at most 8 bytes wide. SetData guarantees at least the
// type's size; a value that never got data reads its zeroed inline store, so
// no read leaves the object's storage.
std::uint64_t Value::ReadRaw(unsigned width) const noexcept
{
    const std::uint8_t* bytes = GetData();
    std::uint64_t raw = 0;
    for (unsigned i = 0; i < width; ++i)
        raw |= std::uint64_t{bytes[i]} << (8U * i);
    return raw;
}

void Value::GetInt16(std::int16_t& value) const
{
    switch (m_type)
    {
    case kType_Int8:
        value = static_cast<std::int16_t>(SignExtend(ReadRaw(1), 1));
        return;
    case kType_Int16:
        value = static_cast<std::int16_t>(SignExtend(ReadRaw(2), 2));
        return;
    default:
        ThrowWrongType();
    }
}

void Value::GetUInt16(std::uint16_t& value) const
{
    switch (m_type)
    {
    case kType_UInt8:
        value = static_cast<std::uint16_t>(ReadRaw(1));
        return;
    case kType_UInt16:
        value = static_cast<std::uint16_t>(ReadRaw(2));
        return;
    default:
        ThrowWrongType();
    }
}

void Value::GetInt32(std::int32_t& value) const
{
    switch (m_type)
    {
    case kType_Int8:
        value = static_cast<std::int32_t>(SignExtend(ReadRaw(1), 1));
        return;
    case kType_Int16:
        value = static_cast<std::int32_t>(SignExtend(ReadRaw(2), 2));
        return;
    case kType_Int32:
        value = static_cast<std::int32_t>(SignExtend(ReadRaw(4), 4));
        return;
    default:
        ThrowWrongType();
    }
}

void Value::GetUInt32(std::uint32_t& value) const
{
    switch (m_type)
    {
    case kType_UInt8:
        value = static_cast<std::uint32_t>(ReadRaw(1));
        return;
    case kType_UInt16:
        value = static_cast<std::uint32_t>(ReadRaw(2));
        return;
    case kType_UInt32:
        value = static_cast<std::uint32_t>(ReadRaw(4));
        return;
    default:
        ThrowWrongType();
    }
}

void Value::GetInt64(std::int64_t& value) const
{
    switch (m_type)
    {
    case kType_Int8:
        value = SignExtend(ReadRaw(1), 1);
        return;
    case kType_Int16:
        value = SignExtend(ReadRaw(2), 2);
        return;
    case kType_Int32:
        value = SignExtend(ReadRaw(4), 4);
        return;
    case kType_Int64:
        value = static_cast<std::int64_t>(ReadRaw(8));
        return;
    default:
        ThrowWrongType();
    }
}

void Value::GetUInt64(std::uint64_t& value) const
{
    switch (m_type)
    {
    case kType_UInt8:
        value = ReadRaw(1);
        return;
    case kType_UInt16:
        value = ReadRaw(2);
        return;
    case kType_UInt32:
        value = ReadRaw(4);
        return;
    case kType_UInt64:
        value = ReadRaw(8);
        return;
    default:
        ThrowWrongType();
    }
}

void Value::GetDouble(double& value) const
{
    switch (m_type)
    {
    case kType_Float:
        value = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(ReadRaw(4))));
        return;
    case kType_Double:
        value = std::bit_cast<double>(ReadRaw(8));
        return;
    default:
        ThrowWrongType();
    }
}

} // namespace Q7::KPX
