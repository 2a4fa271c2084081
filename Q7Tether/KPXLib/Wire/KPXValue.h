// The KPX value: a property value as it travels in the protocol and sits in the
// property cache. A value type code and the value's raw little-endian bytes;
// values of up to 8 bytes are kept inline and never touch the heap.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace Q7::KPX
{

/// A typed protocol value. A plain value object: copies and moves are deep and
/// each object's bytes live in its own storage. Not thread-safe; owned by one
/// structure at a time and guarded by its owner's lock (reentrant).
class Value
{
public:
    /// Number of bytes kept inline.
    static constexpr std::uint64_t kInlineSize = 8;

    /// An empty value of type 0.
    Value() noexcept = default;

    /// An empty value (size 0) of `type`.
    explicit Value(std::uint32_t type) noexcept;

    /// A value of `type` holding a copy of `length` bytes (as SetData).
    /// Raises ModuleError 0x650005 when `length` is below SizeOfType(type).
    Value(std::uint32_t type, const void* data, std::uint64_t length);

    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value() = default;

    /// Equal when type, second word and size are equal and, for a non-zero
    /// size, the bytes are.
    friend bool operator==(const Value& a, const Value& b) noexcept;

    /// Sets the type and then clears the value.
    void SetType(std::uint32_t type) noexcept;

    /// Second word 0, size 0, the bytes freed; the type stays.
    void Clear() noexcept;

    /// Stores a copy of `length` bytes (a null `data` counts as length 0). The
    /// length must be at least SizeOfType of the current type; longer data is
    /// kept whole. Raises ModuleError 0x650005 (plain, no text) when it is
    /// shorter, leaving the value unchanged; std::bad_alloc when the bytes
    /// cannot be allocated, also leaving it unchanged.
    void SetData(const void* data, std::uint64_t length);

    /// SetData over a span.
    void SetData(std::span<const std::uint8_t> bytes) { SetData(bytes.data(), bytes.size()); }

    /// Raises ModuleError 0x650002 (plain) unless the value's type is `type`.
    void CheckType(std::uint32_t type) const;

    /// The byte size of a value type code: 0 for the variable-length codes 0
    /// and 20; for an unknown code logs the warning "Unknown KPX value type %u"
    /// and gives 0 (such a value accepts data of any length). Thread-safe.
    static std::uint64_t SizeOfType(std::uint32_t type) noexcept;

    [[nodiscard]] std::uint32_t GetType() const noexcept { return m_type; }
    [[nodiscard]] std::uint64_t GetSize() const noexcept { return m_size; }
    /// The value's bytes: GetSize() of them. Never null; for an empty value it
    /// points at zeroed inline storage.
    [[nodiscard]] const std::uint8_t* GetData() const noexcept
    {
        return m_size > kInlineSize ? m_heap.get() : m_inline;
    }
    /// The bytes as a span.
    [[nodiscard]] std::span<const std::uint8_t> GetBytes() const noexcept
    {
        return {GetData(), static_cast<std::size_t>(m_size)};
    }

    /// The second word: 0 after construction and Clear, copied and compared
    /// with the rest. Its lowest byte is the property cache's flag byte.
    [[nodiscard]] std::uint32_t GetSecondWord() const noexcept { return m_secondWord; }
    void SetSecondWord(std::uint32_t word) noexcept { m_secondWord = word; }

    // Typed reads with widening. Each raises ModuleError 0x650002 (plain) for a
    // type code it does not accept and reads the first bytes of the data as
    // the accepted type's width.

    /// Codes 1 (i8, sign-extended) and 3 (i16).
    void GetInt16(std::int16_t& value) const;
    /// Codes 2 (u8, zero-extended) and 4 (u16).
    void GetUInt16(std::uint16_t& value) const;
    /// Codes 1, 3 (sign-extended) and 5 (i32).
    void GetInt32(std::int32_t& value) const;
    /// Codes 2, 4 (zero-extended) and 6 (u32).
    void GetUInt32(std::uint32_t& value) const;
    /// Codes 1, 3, 5 (sign-extended) and 7 (i64).
    void GetInt64(std::int64_t& value) const;
    /// Codes 2, 4, 6 (zero-extended) and 8 (u64).
    void GetUInt64(std::uint64_t& value) const;
    /// Codes 9 (f32, converted) and 10 (f64).
    void GetDouble(double& value) const;

    /// The same reads, returning the value.
    [[nodiscard]] std::int64_t GetInt64() const
    {
        std::int64_t value = 0;
        GetInt64(value);
        return value;
    }
    [[nodiscard]] std::uint64_t GetUInt64() const
    {
        std::uint64_t value = 0;
        GetUInt64(value);
        return value;
    }
    [[nodiscard]] double GetDouble() const
    {
        double value = 0;
        GetDouble(value);
        return value;
    }

private:
    // Reads the first `width` bytes (at most 8) as a little-endian number.
    std::uint64_t ReadRaw(unsigned width) const noexcept;
    void CopyFrom(const Value& other);

    std::uint32_t m_type = 0;
    std::uint32_t m_secondWord = 0;
    std::uint64_t m_size = 0;
    // The bytes when m_size <= 8, zero beyond m_size.
    std::uint8_t m_inline[kInlineSize] = {};
    // The bytes when m_size > 8: exactly m_size of them; null otherwise.
    std::unique_ptr<std::uint8_t[]> m_heap;
};

} // namespace Q7::KPX
