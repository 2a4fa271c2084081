#include "Q7PlatformSha256.h"

#include <algorithm>
#include <cstring>

namespace Q7::Platform
{
namespace
{

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr Sha256DigestBytes kEmptyMessageDigest = {
    0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
    0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};

constexpr std::uint32_t RotateRight(std::uint32_t x, unsigned n)
{
    return (x >> n) | (x << (32U - n));
}

std::uint32_t LoadBigEndian32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Running state of one digest: the eight hash words, a partial block and the
// total message length in bytes.
class Sha256State
{
public:
    Sha256State() { std::memcpy(m_hash, kInitialHash, sizeof(m_hash)); }

    void Update(const std::uint8_t* data, std::uint64_t length)
    {
        m_totalLength += length;
        if (m_blockFill != 0)
        {
            const std::uint64_t take = std::min<std::uint64_t>(length, 64U - m_blockFill);
            std::memcpy(m_block + m_blockFill, data, static_cast<std::size_t>(take));
            m_blockFill += static_cast<unsigned>(take);
            data += take;
            length -= take;
            if (m_blockFill < 64)
                return;
            Compress(m_block);
            m_blockFill = 0;
        }
        while (length >= 64)
        {
            Compress(data);
            data += 64;
            length -= 64;
        }
        if (length != 0)
        {
            std::memcpy(m_block, data, static_cast<std::size_t>(length));
            m_blockFill = static_cast<unsigned>(length);
        }
    }

    // Standard message completion: a 1 bit, zeros up to 56 mod 64, then the
    // message length in bits as a big-endian u64.
    void Finish(Sha256DigestBytes& output)
    {
        const std::uint64_t bitLength = m_totalLength * 8U;
        m_block[m_blockFill++] = 0x80;
        if (m_blockFill > 56)
        {
            std::memset(m_block + m_blockFill, 0, 64U - m_blockFill);
            Compress(m_block);
            m_blockFill = 0;
        }
        std::memset(m_block + m_blockFill, 0, 56U - m_blockFill);
        for (unsigned i = 0; i < 8; ++i)
            m_block[56 + i] = static_cast<std::uint8_t>(bitLength >> (56U - 8U * i));
        Compress(m_block);
        for (unsigned i = 0; i < 8; ++i)
        {
            output[4 * i + 0] = static_cast<std::uint8_t>(m_hash[i] >> 24);
            output[4 * i + 1] = static_cast<std::uint8_t>(m_hash[i] >> 16);
            output[4 * i + 2] = static_cast<std::uint8_t>(m_hash[i] >> 8);
            output[4 * i + 3] = static_cast<std::uint8_t>(m_hash[i]);
        }
    }

private:
    void Compress(const std::uint8_t* block)
    {
        std::uint32_t w[64];
        for (unsigned t = 0; t < 16; ++t)
            w[t] = LoadBigEndian32(block + 4 * t);
        for (unsigned t = 16; t < 64; ++t)
        {
            const std::uint32_t s0 =
                RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }

        std::uint32_t a = m_hash[0], b = m_hash[1], c = m_hash[2], d = m_hash[3];
        std::uint32_t e = m_hash[4], f = m_hash[5], g = m_hash[6], h = m_hash[7];
        for (unsigned t = 0; t < 64; ++t)
        {
            const std::uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
            const std::uint32_t choose = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + sum1 + choose + kRoundConstants[t] + w[t];
            const std::uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = sum0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        m_hash[0] += a;
        m_hash[1] += b;
        m_hash[2] += c;
        m_hash[3] += d;
        m_hash[4] += e;
        m_hash[5] += f;
        m_hash[6] += g;
        m_hash[7] += h;
    }

    std::uint32_t m_hash[8];
    std::uint8_t m_block[64] = {};
    unsigned m_blockFill = 0;
    std::uint64_t m_totalLength = 0;
};

} // namespace

void Sha256Digest(Sha256DigestBytes& output, const void* data, std::uint64_t length)
{
    if (data == nullptr || length == 0)
    {
        output = kEmptyMessageDigest;
        return;
    }
    Sha256State state;
    state.Update(static_cast<const std::uint8_t*>(data), length);
    state.Finish(output);
}

void Sha256Digest(Sha256DigestBytes& output, std::string_view text)
{
    if (text.empty())
    {
        output.fill(0);
        return;
    }
    Sha256Digest(output, text.data(), text.size());
}

void Sha256Digest(Sha256DigestBytes& output, const char* text)
{
    if (text == nullptr)
    {
        output.fill(0);
        return;
    }
    Sha256Digest(output, std::string_view(text));
}

void Sha256EmptyDigest(Sha256DigestBytes& output)
{
    output = kEmptyMessageDigest;
}

std::string Sha256ToHexText(const Sha256DigestBytes& digest)
{
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest)
    {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    }
    return text;
}

} // namespace Q7::Platform
