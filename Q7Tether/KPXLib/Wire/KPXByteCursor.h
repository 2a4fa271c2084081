// Bounds-checked little-endian reading and writing of protocol bytes.
//
// Every KPX codec reads and writes the wire through these two cursors, never by
// casting a struct over a buffer. A cursor never touches a byte outside its
// span: an access that does not fit sets a sticky overflow flag, reads give 0
// and writes are dropped, and the position stays where it was. A codec checks
// the flag once, after its last access. Counts and offsets are taken as 64-bit
// values and compared against what is left, so a length read from the wire can
// never wrap.
//
// Both cursors are plain values over borrowed memory: reentrant, not
// thread-safe, and they never block or raise.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

namespace Q7::KPX
{

namespace Detail
{

/// The position, bounds and overflow flag that both cursors share, over a span
/// of `Byte` (const for reading).
template <typename Byte>
class ByteCursor
{
public:
    /// Moves to an absolute offset within the span (bytes stepped over are left
    /// as they are); overflow and no move when it lies beyond the end.
    void Seek(std::uint64_t offset) noexcept
    {
        if (offset > m_bytes.size())
        {
            m_overflow = true;
            return;
        }
        m_position = static_cast<std::size_t>(offset);
    }

    /// True once any access did not fit. Never cleared.
    [[nodiscard]] constexpr bool Overflow() const noexcept { return m_overflow; }
    /// Offset of the next byte to read or write.
    [[nodiscard]] constexpr std::size_t Position() const noexcept { return m_position; }
    /// Number of bytes left behind the position.
    [[nodiscard]] constexpr std::size_t Remaining() const noexcept { return m_bytes.size() - m_position; }

protected:
    explicit constexpr ByteCursor(std::span<Byte> bytes) noexcept : m_bytes(bytes) {}

    // True when `count` bytes are left; otherwise sets the overflow flag.
    bool Fits(std::uint64_t count) noexcept
    {
        if (count > Remaining())
        {
            m_overflow = true;
            return false;
        }
        return true;
    }

    std::span<Byte> m_bytes;
    std::size_t m_position = 0;
    bool m_overflow = false;
};

} // namespace Detail

/// Reads little-endian values from a span of bytes.
class ByteReader : public Detail::ByteCursor<const std::uint8_t>
{
public:
    explicit constexpr ByteReader(std::span<const std::uint8_t> bytes) noexcept : ByteCursor(bytes) {}

    /// Reads one byte; 0 and overflow when none is left.
    std::uint8_t ReadU8() noexcept { return static_cast<std::uint8_t>(ReadLittleEndian(1)); }
    /// Reads a little-endian u16; 0 and overflow when fewer than 2 bytes are left.
    std::uint16_t ReadU16() noexcept { return static_cast<std::uint16_t>(ReadLittleEndian(2)); }
    /// Reads a little-endian u32; 0 and overflow when fewer than 4 bytes are left.
    std::uint32_t ReadU32() noexcept { return static_cast<std::uint32_t>(ReadLittleEndian(4)); }
    /// Reads a little-endian u64; 0 and overflow when fewer than 8 bytes are left.
    std::uint64_t ReadU64() noexcept { return ReadLittleEndian(8); }

    /// Copies `destination.size()` bytes out. When they are not all there the
    /// destination is zero-filled, overflow is set and nothing is consumed.
    void ReadBytes(std::span<std::uint8_t> destination) noexcept
    {
        if (!Fits(destination.size()))
        {
            std::memset(destination.data(), 0, destination.size());
            return;
        }
        if (!destination.empty())
            std::memcpy(destination.data(), m_bytes.data() + m_position, destination.size());
        m_position += destination.size();
    }

    /// Returns a view of the next `count` bytes and consumes them; an empty view
    /// and overflow when fewer are left.
    std::span<const std::uint8_t> ReadSpan(std::uint64_t count) noexcept
    {
        if (!Fits(count))
            return {};
        const auto view = m_bytes.subspan(m_position, static_cast<std::size_t>(count));
        m_position += static_cast<std::size_t>(count);
        return view;
    }

    /// Steps over `count` bytes; overflow (and no move) when fewer are left.
    void Skip(std::uint64_t count) noexcept
    {
        if (Fits(count))
            m_position += static_cast<std::size_t>(count);
    }

private:
    std::uint64_t ReadLittleEndian(unsigned width) noexcept
    {
        if (!Fits(width))
            return 0;
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value |= std::uint64_t{m_bytes[m_position + i]} << (8U * i);
        m_position += width;
        return value;
    }
};

/// Writes little-endian values into a span of bytes.
class ByteWriter : public Detail::ByteCursor<std::uint8_t>
{
public:
    explicit constexpr ByteWriter(std::span<std::uint8_t> bytes) noexcept : ByteCursor(bytes) {}

    /// Writes one byte; dropped with overflow when no room is left.
    void WriteU8(std::uint8_t value) noexcept { WriteLittleEndian(value, 1); }
    /// Writes a little-endian u16; dropped with overflow when it does not fit.
    void WriteU16(std::uint16_t value) noexcept { WriteLittleEndian(value, 2); }
    /// Writes a little-endian u32; dropped with overflow when it does not fit.
    void WriteU32(std::uint32_t value) noexcept { WriteLittleEndian(value, 4); }
    /// Writes a little-endian u64; dropped with overflow when it does not fit.
    void WriteU64(std::uint64_t value) noexcept { WriteLittleEndian(value, 8); }

    /// Copies `source` in; nothing is written (and overflow is set) when it
    /// does not fit whole.
    void WriteBytes(std::span<const std::uint8_t> source) noexcept
    {
        if (!Fits(source.size()))
            return;
        if (!source.empty())
            std::memcpy(m_bytes.data() + m_position, source.data(), source.size());
        m_position += source.size();
    }

    /// Writes `count` zero bytes; nothing (and overflow) when they do not fit.
    void WriteZeros(std::uint64_t count) noexcept
    {
        if (!Fits(count) || count == 0)
            return;
        std::memset(m_bytes.data() + m_position, 0, static_cast<std::size_t>(count));
        m_position += static_cast<std::size_t>(count);
    }

private:
    void WriteLittleEndian(std::uint64_t value, unsigned width) noexcept
    {
        if (!Fits(width))
            return;
        for (unsigned i = 0; i < width; ++i)
            m_bytes[m_position + i] = static_cast<std::uint8_t>(value >> (8U * i));
        m_position += width;
    }
};

/// `N` bytes of a record that carry no field: written as zeros and stepped
/// over when read. Named in a field list as a value, `io(enable, Padding<3>{})`.
template <std::size_t N>
struct Padding
{
    static constexpr std::size_t kSize = N;
};

/// Walks a record's field list and writes each field in order: unsigned and
/// signed integers of 1, 2, 4 or 8 bytes (little-endian), enumerations as their
/// underlying integer, `float` as its IEEE-754 bits (a little-endian u32), byte
/// arrays as they are, arrays of other fields element by element, padding as
/// zeros, and nested records through their own field list. A record lists its fields once,
///
///     template <class Io> constexpr void Fields(Io& io) { io(header, dataId, reserved20); }
///
/// and WriteFields and ReadFields walk that one list, so encoder and decoder
/// cannot drift apart; FieldListSize counts it (a `constexpr` list can be
/// counted at compile time). Field lists touch nothing but the named members.
class FieldWriter
{
public:
    explicit constexpr FieldWriter(ByteWriter& writer) noexcept : m_writer(writer) {}

    template <typename... Field>
    void operator()(const Field&... fields) noexcept
    {
        (Put(fields), ...);
    }

private:
    template <typename Field>
    void Put(const Field& field) noexcept;

    ByteWriter& m_writer;
};

namespace Detail
{
template <typename T>
inline constexpr bool kIsPadding = false;
template <std::size_t N>
inline constexpr bool kIsPadding<Padding<N>> = true;

// A field a reader can fill: a modifiable member, or padding (a value).
template <typename Field>
inline constexpr bool kIsReadableField = kIsPadding<std::remove_cvref_t<Field>> ||
                                         (std::is_lvalue_reference_v<Field> &&
                                          !std::is_const_v<std::remove_reference_t<Field>>);
} // namespace Detail

/// Walks a record's field list and reads each field in order (see
/// FieldWriter). Fields that do not fit read 0 and set the reader's overflow.
class FieldReader
{
public:
    explicit constexpr FieldReader(ByteReader& reader) noexcept : m_reader(reader) {}

    template <typename... Field>
    void operator()(Field&&... fields) noexcept
    {
        static_assert((Detail::kIsReadableField<Field> && ...), "a field list names members (or padding)");
        (Take(fields), ...);
    }

private:
    template <typename Field>
    void Take(Field& field) noexcept;

    ByteReader& m_reader;
};

/// Walks a record's field list and adds up the bytes it takes on the wire (see
/// FieldWriter). Usable at compile time when the list is `constexpr`.
class FieldCounter
{
public:
    template <typename... Field>
    constexpr void operator()(const Field&... fields) noexcept
    {
        (Count(fields), ...);
    }

    /// The bytes counted so far.
    [[nodiscard]] constexpr std::size_t Size() const noexcept { return m_size; }

private:
    template <typename Field>
    constexpr void Count(const Field& field) noexcept;

    std::size_t m_size = 0;
};

/// A record with one field list (see FieldWriter).
template <typename T>
concept FieldRecord = requires(T& record, FieldWriter& writer, FieldReader& reader, FieldCounter& counter)
{
    record.Fields(writer);
    record.Fields(reader);
    record.Fields(counter);
};

/// The bytes a record's field list takes on the wire.
template <FieldRecord Record>
constexpr std::size_t FieldListSize() noexcept
{
    Record record{};
    FieldCounter counter;
    record.Fields(counter);
    return counter.Size();
}

/// Writes a record's fields in list order.
template <FieldRecord Record>
void WriteFields(const Record& record, ByteWriter& writer) noexcept
{
    FieldWriter io(writer);
    // The field list is one non-const member template for both directions; a
    // writer only reads the members it is handed.
    const_cast<Record&>(record).Fields(io);
}

/// Reads a record's fields in list order.
template <FieldRecord Record>
void ReadFields(Record& record, ByteReader& reader) noexcept
{
    FieldReader io(reader);
    record.Fields(io);
}

/// Reads a record from the start of `bytes` (bytes beyond it are left alone);
/// empty when they are fewer than the record takes.
template <FieldRecord Record>
std::optional<Record> ReadRecord(std::span<const std::uint8_t> bytes) noexcept
{
    ByteReader reader(bytes);
    Record record;
    ReadFields(record, reader);
    if (reader.Overflow())
        return std::nullopt;
    return record;
}

namespace Detail
{
template <typename T>
inline constexpr bool kIsByteArray = false;
template <std::size_t N>
inline constexpr bool kIsByteArray<std::array<std::uint8_t, N>> = true;

// An array of fields other than bytes: its elements one after the other.
template <typename T>
inline constexpr bool kIsFieldArray = false;
template <typename T, std::size_t N>
inline constexpr bool kIsFieldArray<std::array<T, N>> = !std::is_same_v<T, std::uint8_t>;

template <typename T>
concept WireInteger = std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                      (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
} // namespace Detail

template <typename Field>
void FieldWriter::Put(const Field& field) noexcept
{
    if constexpr (std::is_enum_v<Field>)
        Put(static_cast<std::underlying_type_t<Field>>(field));
    else if constexpr (Detail::WireInteger<Field>)
    {
        using Unsigned = std::make_unsigned_t<Field>;
        const auto value = static_cast<Unsigned>(field);
        if constexpr (sizeof(Field) == 1)
            m_writer.WriteU8(value);
        else if constexpr (sizeof(Field) == 2)
            m_writer.WriteU16(value);
        else if constexpr (sizeof(Field) == 4)
            m_writer.WriteU32(value);
        else
            m_writer.WriteU64(value);
    }
    else if constexpr (std::is_same_v<Field, float>)
        m_writer.WriteU32(std::bit_cast<std::uint32_t>(field));
    else if constexpr (Detail::kIsByteArray<Field>)
        m_writer.WriteBytes(field);
    else if constexpr (Detail::kIsFieldArray<Field>)
    {
        for (const auto& element : field)
            Put(element);
    }
    else if constexpr (Detail::kIsPadding<Field>)
        m_writer.WriteZeros(Field::kSize);
    else
    {
        static_assert(FieldRecord<Field>,
                      "a field is an integer, an enumeration, a float, an array, padding or a record");
        const_cast<Field&>(field).Fields(*this);
    }
}

template <typename Field>
void FieldReader::Take(Field& field) noexcept
{
    if constexpr (std::is_enum_v<Field>)
    {
        std::underlying_type_t<Field> value{};
        Take(value);
        field = static_cast<Field>(value);
    }
    else if constexpr (Detail::WireInteger<Field>)
    {
        if constexpr (sizeof(Field) == 1)
            field = static_cast<Field>(m_reader.ReadU8());
        else if constexpr (sizeof(Field) == 2)
            field = static_cast<Field>(m_reader.ReadU16());
        else if constexpr (sizeof(Field) == 4)
            field = static_cast<Field>(m_reader.ReadU32());
        else
            field = static_cast<Field>(m_reader.ReadU64());
    }
    else if constexpr (std::is_same_v<Field, float>)
        field = std::bit_cast<float>(m_reader.ReadU32());
    else if constexpr (Detail::kIsByteArray<Field>)
        m_reader.ReadBytes(field);
    else if constexpr (Detail::kIsFieldArray<Field>)
    {
        for (auto& element : field)
            Take(element);
    }
    else if constexpr (Detail::kIsPadding<Field>)
        m_reader.Skip(Field::kSize);
    else
    {
        static_assert(FieldRecord<Field>,
                      "a field is an integer, an enumeration, a float, an array, padding or a record");
        field.Fields(*this);
    }
}

template <typename Field>
constexpr void FieldCounter::Count(const Field& field) noexcept
{
    if constexpr (std::is_enum_v<Field> || Detail::WireInteger<Field> || std::is_same_v<Field, float>)
        m_size += sizeof(Field);
    else if constexpr (Detail::kIsByteArray<Field>)
        m_size += field.size();
    else if constexpr (Detail::kIsFieldArray<Field>)
    {
        for (const auto& element : field)
            Count(element);
    }
    else if constexpr (Detail::kIsPadding<Field>)
        m_size += Field::kSize;
    else
    {
        static_assert(FieldRecord<Field>,
                      "a field is an integer, an enumeration, a float, an array, padding or a record");
        const_cast<Field&>(field).Fields(*this);
    }
}

} // namespace Q7::KPX
