// SHA-256 against the FIPS 180-4 example vectors and the block boundaries of
// the message completion, plus the text forms used for the client identity.
#include "Q7PlatformSha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Q7::Platform::Sha256Digest;
using Q7::Platform::Sha256DigestBytes;
using Q7::Platform::Sha256EmptyDigest;
using Q7::Platform::Sha256ToHexText;

std::string HexOf(const void* data, std::uint64_t length)
{
    Sha256DigestBytes digest{};
    Sha256Digest(digest, data, length);
    return Sha256ToHexText(digest);
}

struct Vector
{
    const char* name;
    std::string message;
    const char* digest;
};

// The FIPS 180-4 examples, and lengths around 56 and 64 bytes, which exercise
// the completion that spills into a second block (an off-by-one there changes
// only these digests).
TEST(Sha256Vectors, KnownDigests)
{
    const Vector vectors[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
         "opqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"one million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"55 a", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {"56 a", std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {"63 a", std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {"64 a", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {"65 a", std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
        {"119 a", std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {"120 a", std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
        {"raw bytes with zero", std::string("\x00\x01\xff", 3),
         "26a66b061e8f48f39927c312f25293959729eee95978e2892d49d3512a5cc092"},
    };
    for (const Vector& vector : vectors)
    {
        EXPECT_EQ(HexOf(vector.message.data(), vector.message.size()), vector.digest) << vector.name;
    }
    // A null pointer with a non-zero length must never be dereferenced.
    EXPECT_EQ(HexOf(nullptr, 17), vectors[0].digest);
}

TEST(Sha256Empty, ConstantEqualsDigestOfLengthZero)
{
    Sha256DigestBytes constant{};
    Sha256EmptyDigest(constant);
    Sha256DigestBytes computed{};
    const char byte = 'x';
    Sha256Digest(computed, &byte, 0);
    EXPECT_EQ(constant, computed);
    EXPECT_EQ(constant[0], 0xe3);
    EXPECT_EQ(constant[31], 0x55);
}

// The text forms digest the bytes as given: a UTF-8 text is not re-encoded.
TEST(Sha256Text, DigestsTheBytesAsGiven)
{
    Sha256DigestBytes fromPointer{};
    Sha256Digest(fromPointer, "K\xc3\xa4se");
    EXPECT_EQ(Sha256ToHexText(fromPointer),
              "f9eeb52c9bc41ee560ba93468b92317220be4939954e8b50591b8b71accc53ae");

    Sha256DigestBytes fromString{};
    Sha256Digest(fromString, std::string("K\xc3\xa4se"));
    EXPECT_EQ(fromString, fromPointer);
}

TEST(Sha256Text, StringFormKeepsEmbeddedZeroBytes)
{
    const std::string bytes("\x00\x01\xff", 3);
    Sha256DigestBytes digest{};
    Sha256Digest(digest, bytes);
    EXPECT_EQ(Sha256ToHexText(digest), "26a66b061e8f48f39927c312f25293959729eee95978e2892d49d3512a5cc092");
}

// "No authentication text" must be presented as 32 zero bytes, not as the
// digest of the empty message.
TEST(Sha256Text, NullOrEmptyTextGivesZeroBytes)
{
    const Sha256DigestBytes zeros{};
    Sha256DigestBytes digest;
    digest.fill(0xAA);
    Sha256Digest(digest, static_cast<const char*>(nullptr));
    EXPECT_EQ(digest, zeros);

    digest.fill(0xAA);
    Sha256Digest(digest, "");
    EXPECT_EQ(digest, zeros);

    digest.fill(0xAA);
    Sha256Digest(digest, std::string());
    EXPECT_EQ(digest, zeros);
}

TEST(Sha256Hex, LowerCaseWithLeadingZeros)
{
    Sha256DigestBytes digest{};
    digest[0] = 0x0a;
    digest[1] = 0xF0;
    digest[31] = 0x01;
    const std::string text = Sha256ToHexText(digest);
    ASSERT_EQ(text.size(), 64U);
    EXPECT_EQ(text.substr(0, 4), "0af0");
    EXPECT_EQ(text.substr(60), "0001");
}

} // namespace
