// Bounds-checked little-endian readers and writers over byte spans.
//
// Every byte the simulated camera takes from or puts on the wire goes through
// these cursors. A read or write past the end sets a sticky overflow flag and
// yields zero (or writes nothing), so a parser checks Ok() once at the end
// instead of trusting any length that a host sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace Q7::Sim
{

// Reads little-endian values from a byte span. Reentrant (one object per thread).
class ByteReader
{
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    // True while no read went past the end.
    bool Ok() const { return !m_overflow; }
    std::size_t Position() const { return m_pos; }
    std::size_t Remaining() const { return m_overflow ? 0 : m_bytes.size() - m_pos; }

    std::uint8_t U8() { return static_cast<std::uint8_t>(Load(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Load(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Load(4)); }

    // Returns the next n bytes (empty and overflow when fewer remain).
    std::span<const std::uint8_t> Bytes(std::size_t n)
    {
        if (!Has(n))
        {
            return {};
        }
        auto out = m_bytes.subspan(m_pos, n);
        m_pos += n;
        return out;
    }

    // Moves forward n bytes (overflow when fewer remain).
    void Skip(std::size_t n)
    {
        if (Has(n))
        {
            m_pos += n;
        }
    }

    // Moves to an absolute position inside the span (overflow when beyond it).
    void Seek(std::size_t pos)
    {
        if (m_overflow || pos > m_bytes.size())
        {
            m_overflow = true;
            return;
        }
        m_pos = pos;
    }

private:
    bool Has(std::size_t n)
    {
        if (m_overflow || static_cast<std::uint64_t>(m_pos) + n > m_bytes.size())
        {
            m_overflow = true;
            return false;
        }
        return true;
    }

    std::uint64_t Load(std::size_t n)
    {
        if (!Has(n))
        {
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
        {
            v |= static_cast<std::uint64_t>(m_bytes[m_pos + i]) << (8 * i);
        }
        m_pos += n;
        return v;
    }

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_overflow = false;
};

// Writes little-endian values into a caller-owned byte span. Reentrant.
class ByteWriter
{
public:
    explicit ByteWriter(std::span<std::uint8_t> bytes) : m_bytes(bytes) {}

    // True while no write went past the end.
    bool Ok() const { return !m_overflow; }
    std::size_t Position() const { return m_pos; }

    void U8(std::uint8_t v) { Store(v, 1); }
    void U16(std::uint16_t v) { Store(v, 2); }
    void U32(std::uint32_t v) { Store(v, 4); }

    // Copies the bytes (overflow, and nothing written, when they do not fit).
    void Bytes(std::span<const std::uint8_t> src)
    {
        if (!Has(src.size()))
        {
            return;
        }
        if (!src.empty())
        {
            std::memcpy(m_bytes.data() + m_pos, src.data(), src.size());
        }
        m_pos += src.size();
    }

    // Writes a text into a fixed field of `width` bytes: at most `width` bytes
    // of the text, the rest of the field zero.
    void FixedText(std::string_view text, std::size_t width)
    {
        if (!Has(width))
        {
            return;
        }
        for (std::size_t i = 0; i < width; ++i)
        {
            m_bytes[m_pos + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
        }
        m_pos += width;
    }

    // Writes n zero bytes.
    void Zeros(std::size_t n)
    {
        if (!Has(n))
        {
            return;
        }
        for (std::size_t i = 0; i < n; ++i)
        {
            m_bytes[m_pos + i] = 0;
        }
        m_pos += n;
    }

    // Moves to an absolute position inside the span.
    void Seek(std::size_t pos)
    {
        if (m_overflow || pos > m_bytes.size())
        {
            m_overflow = true;
            return;
        }
        m_pos = pos;
    }

private:
    bool Has(std::size_t n)
    {
        if (m_overflow || static_cast<std::uint64_t>(m_pos) + n > m_bytes.size())
        {
            m_overflow = true;
            return false;
        }
        return true;
    }

    void Store(std::uint64_t v, std::size_t n)
    {
        if (!Has(n))
        {
            return;
        }
        for (std::size_t i = 0; i < n; ++i)
        {
            m_bytes[m_pos + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
        m_pos += n;
    }

    std::span<std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_overflow = false;
};

} // namespace Q7::Sim
