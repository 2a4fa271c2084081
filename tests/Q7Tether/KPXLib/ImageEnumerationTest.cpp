// Channel 3.0's requests byte by byte, and what the reply assembly does with
// replies that the simulated camera never sends (a whole list with mask 4,
// pushes of several items, CommonErrors naming each request type, replies
// that end short of what they claim, replies nobody asked for).

#include "Agents/ImageEnumeration/KPXImageEnumerationAssembly.h"
#include "Agents/ImageEnumeration/KPXImageEnumerationMessages.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"
#include "RaisedError.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::ImageEnumeration;
using Bytes = std::vector<std::uint8_t>;

constexpr ProtocolVersion kVersion{1, 0};

std::uint64_t FieldAt(const Bytes& bytes, std::size_t offset, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value |= std::uint64_t{bytes.at(offset + i)} << (8 * i);
    return value;
}

struct Field
{
    std::size_t offset;
    std::size_t width;
    std::uint64_t value;
};

struct RequestCase
{
    const char* name;
    std::function<Bytes()> make;
    std::uint8_t type;
    std::size_t size;
    std::vector<Field> fields; // every other byte behind the common header is 0
};

ImageBufferRequestInfo EveryField()
{
    ImageBufferRequestInfo info;
    info.imageId = 11;
    info.field2 = 22;
    info.field3 = 33;
    info.field4 = 44;
    info.field5 = 55;
    info.field6 = 66;
    info.field7 = 77;
    info.field8 = 0.25F;
    info.field9 = 4;
    info.field10 = 100;
    return info;
}

const std::vector<std::uint32_t> kTwelveIds{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const std::vector<std::uint32_t> kThreeIds{0x4746, 0x9000, 5};

const RequestCase kRequests[] = {
    {"GetImageList", [] { return MakeGetImageListMessage(kVersion); }, 0x01, 20, {{16, 4, 10}}},
    {"BasicImageInfo",
     [] { return MakeBasicImageInfoMessage(kVersion, 0x01020304); },
     0x02,
     20,
     {{16, 4, 0x01020304}}},
    {"GetMetadataOfTwelveIdsCarriesTheFirstTen",
     [] { return MakeGetMetadataMessage(kVersion, 9, kTwelveIds); },
     0x03,
     64,
     {{16, 4, 9},
      {24, 4, 1},
      {28, 4, 2},
      {32, 4, 3},
      {36, 4, 4},
      {40, 4, 5},
      {44, 4, 6},
      {48, 4, 7},
      {52, 4, 8},
      {56, 4, 9},
      {60, 4, 10}}},
    {"GetMetadataOfThreeIds",
     [] { return MakeGetMetadataMessage(kVersion, 9, kThreeIds); },
     0x03,
     64,
     {{16, 4, 9}, {24, 4, 0x4746}, {28, 4, 0x9000}, {32, 4, 5}}},
    {"PreviewCarriesNoTileField",
     [] { return MakeGetImageBufferMessage(kVersion, EveryField(), kBufferKind_Preview, 1234); },
     0x04,
     80,
     {{16, 4, 11}, {20, 4, 1}, {48, 4, 0x3F800000}, {64, 4, 4}}},
    {"TileCarriesEveryField",
     [] { return MakeGetImageBufferMessage(kVersion, EveryField(), kBufferKind_Tile, 0x0102030405060708); },
     0x04,
     80,
     {{16, 4, 11},
      {20, 4, 2},
      {24, 4, 66},
      {28, 4, 77},
      {32, 4, 22},
      {36, 4, 33},
      {40, 4, 44},
      {44, 4, 55},
      {48, 4, std::bit_cast<std::uint32_t>(0.25F)},
      {56, 8, 0x0102030405060708},
      {64, 4, 4},
      {68, 4, 100}}},
    {"RateImage",
     [] { return MakeEditImageMetadataMessage(kVersion, 8, kEdit_Rate, 3); },
     0x05,
     28,
     {{16, 4, 8}, {20, 4, 1}, {24, 4, 3}}},
    {"DeleteImage",
     [] { return MakeEditImageMetadataMessage(kVersion, 8, kEdit_Delete, 0); },
     0x05,
     28,
     {{16, 4, 8}, {20, 4, 2}}},
    {"GetCapabilities", [] { return MakeGetCapabilitiesMessage(kVersion); }, 0x06, 16, {}},
    {"SetSubscription",
     [] { return MakeSetSubscriptionMessage(kVersion, 1, 2, 0x7F); },
     0x07,
     28,
     {{16, 4, 1}, {20, 4, 2}, {24, 1, 0x7F}}},
};

class ImageEnumerationRequestTest : public ::testing::TestWithParam<RequestCase>
{
};

// Catches: a request field at the wrong offset or width, a tile-only field
// leaking into a preview, ids beyond the tenth written, a wrong size or header.
TEST_P(ImageEnumerationRequestTest, CarriesItsFieldsWhereTheyBelong)
{
    const RequestCase& request = GetParam();
    const Bytes bytes = request.make();
    ASSERT_EQ(bytes.size(), request.size);
    EXPECT_EQ(FieldAt(bytes, 0, 4), 0x44332211u);
    EXPECT_EQ(bytes[4], 0x67);
    EXPECT_EQ(bytes[5], request.type);
    EXPECT_EQ(FieldAt(bytes, 6, 2), request.size);
    EXPECT_EQ(FieldAt(bytes, 8, 4), request.size);
    EXPECT_EQ(FieldAt(bytes, 12, 4), 0u);
    Bytes expected(bytes.size(), 0);
    std::memcpy(expected.data(), bytes.data(), 16);
    for (const Field& field : request.fields)
    {
        for (std::size_t i = 0; i < field.width; ++i)
            expected[field.offset + i] = static_cast<std::uint8_t>(field.value >> (8 * i));
    }
    EXPECT_EQ(bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(Requests, ImageEnumerationRequestTest, ::testing::ValuesIn(kRequests),
                         [](const ::testing::TestParamInfo<RequestCase>& p)
                         { return std::string(p.param.name); });

// Catches: a buffer kind other than 1 or 2 built into a request, and a request
// built for a version below 1.0.
TEST(ImageEnumerationRequestRefusalTest, BadKindBuildsNothingAndOldVersionsRaise)
{
    EXPECT_TRUE(MakeGetImageBufferMessage(kVersion, EveryField(), 3, 0).empty());
    EXPECT_TRUE(MakeGetImageBufferMessage(kVersion, EveryField(), 0, 0).empty());
    EXPECT_EQ(TestSupport::RaisedBy([] { MakeGetImageListMessage(ProtocolVersion{0, 9}); }).code, 0x15E001Du);
}

// ---------------------------------------------------------------------------
// Reply assembly.

// What the assembly asked of its agent.
class RecordingOwner final : public ReplyAssembly::Owner
{
public:
    struct Post
    {
        ImageEnumNotify kind;
        std::shared_ptr<const void> record;
    };

    void PostRecord(ImageEnumNotify kind, RecordPtr record) override
    {
        posts.push_back({kind, std::move(record)});
    }
    void ReleaseGate(std::uint8_t replyType) override
    {
        released.push_back(replyType);
        awaited.erase(replyType);
    }
    bool IsAwaited(std::uint8_t replyType) override { return awaited.count(replyType) != 0; }
    bool SendGetMetadata(std::uint32_t imageId, std::span<const std::uint32_t> itemIds) override
    {
        sent.emplace_back(imageId, std::vector<std::uint32_t>(itemIds.begin(), itemIds.end()));
        return true;
    }

    std::vector<Post> posts;
    std::vector<std::uint8_t> released;
    std::set<std::uint8_t> awaited{kImageEnumMessage_BasicImageInfoReply,
                                   kImageEnumMessage_ImageBufferReply}; // requests on their way
    std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> sent;
};

Bytes ReplyMessage(std::uint8_t type, std::size_t headerSize, std::uint32_t flags, std::uint32_t word32,
                   const Bytes& body)
{
    Bytes message(headerSize, 0);
    const auto put = [&](std::size_t at, std::uint64_t value, std::size_t width)
    {
        for (std::size_t i = 0; i < width; ++i)
            message[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(0, 0x44332211, 4);
    message[4] = 0x67;
    message[5] = type;
    put(6, headerSize, 2);
    put(8, headerSize + body.size(), 4);
    put(16, flags, 4);
    put(20, kImageEnumStatus_Success, 4);
    if (headerSize >= 36)
        put(32, word32, 4);
    if (type == kImageEnumMessage_MetadataReply)
        put(36, 20, 4);
    message.insert(message.end(), body.begin(), body.end());
    return message;
}

Bytes Item(std::uint32_t id, const char* name)
{
    Bytes item(24, 0);
    item[0] = static_cast<std::uint8_t>(id);
    std::memcpy(item.data() + 9, name, std::min<std::size_t>(std::strlen(name), 14));
    return item;
}

// Feeds whole messages to the assembly; each must be taken whole.
void Feed(ReplyAssembly& assembly, const Bytes& message)
{
    const CommonMessageHeader header = *DecodeMessageHeader(message);
    BufferMessageSource source(std::span<const std::uint8_t>(message).subspan(16));
    ASSERT_TRUE(assembly.AssembleMessage(header, source));
    EXPECT_EQ(source.Remaining(), 0u);
}

std::vector<std::uint32_t> HostIds(ReplyAssembly& assembly)
{
    std::vector<std::uint32_t> ids;
    assembly.WaitForImageList(0,
                              [&](const ImageList& list)
                              {
                                  for (const ImageListItem& item : list)
                                      ids.push_back(item.imageId);
                              });
    return ids;
}

// Catches: a push of several items notified as one (or as its last item
// only), a whole list with mask 4 that appends its items, a name longer than
// 13 characters kept whole, and a removal of an unknown id that removes another.
TEST(ImageListAssemblyTest, PushesAreNotifiedItemByItemAndMask4AppendsNothing)
{
    RecordingOwner owner;
    ReplyAssembly assembly(owner);
    Bytes three = Item(1, "IMG_0001.TIF");
    for (const auto& more : {Item(2, "A_NAME_OF_FOURTEEN"), Item(3, "C")})
        three.insert(three.end(), more.begin(), more.end());
    Feed(assembly, ReplyMessage(kImageEnumMessage_ImageListReply, 56, 3, kListChange_WholeList, {}));
    Feed(assembly, ReplyMessage(kImageEnumMessage_ImageListReply, 56, 3, kListChange_Added, three));
    Feed(assembly, ReplyMessage(kImageEnumMessage_ImageListReply, 56, 3, kListChange_Removed, Item(9, "X")));
    EXPECT_EQ(HostIds(assembly), (std::vector<std::uint32_t>{1, 2, 3}));
    Feed(assembly, ReplyMessage(kImageEnumMessage_ImageListReply, 56, 3, kListChange_WholeListEmpty, three));
    EXPECT_TRUE(HostIds(assembly).empty());

    std::vector<std::uint32_t> kinds;
    std::vector<std::uint32_t> ids;
    for (const auto& post : owner.posts)
    {
        kinds.push_back(post.kind);
        ids.push_back(post.record ? static_cast<const ImageListItem*>(post.record.get())->imageId : 0);
    }
    EXPECT_EQ(kinds, (std::vector<std::uint32_t>{3, 1, 1, 1, 2, 3}));
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{0, 1, 2, 3, 9, 0}));
    const auto* second = static_cast<const ImageListItem*>(owner.posts[2].record.get());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(second->name.data())), "A_NAME_OF_FOU");
}

struct CameraErrorCase
{
    std::uint8_t namedType;
    std::optional<ImageEnumNotify> posted; // the status record's kind
    std::optional<std::uint8_t> released;  // the gate opened
};

class CameraErrorTest : public ::testing::TestWithParam<CameraErrorCase>
{
};

// Catches: a CommonError that finishes nothing because its type byte names
// the request (1 to 7) and not the reply, and a refused request whose gate
// stays shut.
TEST_P(CameraErrorTest, FinishesTheRequestItNames)
{
    const CameraErrorCase& error = GetParam();
    RecordingOwner owner;
    ReplyAssembly assembly(owner);
    assembly.FinishWithCameraError(error.namedType, kImageEnumStatus_IsBusy);
    if (error.posted)
    {
        ASSERT_EQ(owner.posts.size(), 1u);
        EXPECT_EQ(owner.posts[0].kind, *error.posted);
        EXPECT_NE(owner.posts[0].record, nullptr);
    }
    else
    {
        EXPECT_TRUE(owner.posts.empty());
    }
    if (error.released)
        EXPECT_EQ(owner.released, std::vector<std::uint8_t>{*error.released});
    else
        EXPECT_TRUE(owner.released.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Types, CameraErrorTest,
    ::testing::Values(CameraErrorCase{0x01, std::nullopt, std::nullopt},
                      CameraErrorCase{0x02, kImageEnumNotify_BasicImageInfoReady, 0x82},
                      CameraErrorCase{0x82, kImageEnumNotify_BasicImageInfoReady, 0x82},
                      CameraErrorCase{0x03, kImageEnumNotify_MetadataReady, std::nullopt},
                      CameraErrorCase{0x04, kImageEnumNotify_PreviewReady, 0x84},
                      CameraErrorCase{0x05, std::nullopt, std::nullopt},
                      CameraErrorCase{0x06, kImageEnumNotify_CapabilitiesReady, std::nullopt},
                      CameraErrorCase{0x07, kImageEnumNotify_SubscriptionChanged, std::nullopt},
                      CameraErrorCase{0x85, std::nullopt, std::nullopt}),
    [](const ::testing::TestParamInfo<CameraErrorCase>& p)
    { return "Type" + std::to_string(p.param.namedType); });

Bytes MetadataItem(std::uint32_t id, std::size_t size)
{
    Bytes item(20 + size, 0xEE);
    for (std::size_t i = 0; i < 20; ++i)
        item[i] = 0;
    item[0] = static_cast<std::uint8_t>(id);
    item[1] = static_cast<std::uint8_t>(id >> 8);
    item[8] = static_cast<std::uint8_t>(size);
    return item;
}

// Catches: a refusal of a request nobody made (no request on its way) that
// posts a record and opens the gate, letting a second request out while one
// is outstanding.
TEST(CameraErrorTest, ARefusalOfNoRequestOnItsWayPostsNothing)
{
    for (const std::uint8_t type : {std::uint8_t{0x02}, std::uint8_t{0x04}})
    {
        RecordingOwner owner;
        owner.awaited.clear();
        ReplyAssembly assembly(owner);
        assembly.FinishWithCameraError(type, kImageEnumStatus_IsBusy);
        EXPECT_TRUE(owner.posts.empty()) << unsigned{type};
        EXPECT_TRUE(owner.released.empty()) << unsigned{type};
    }
}

// A reply message of type 0x84 with a chunk header claiming `claim` bytes and
// `data` behind it; the first-chunk offset at 24.
Bytes ImageBufferMessage(std::uint32_t flags, std::uint32_t claim, const Bytes& data,
                         std::uint32_t offset = 0, std::uint32_t format = kWireFormat_Unspecified)
{
    Bytes body(56, 0);
    const auto put = [&](std::size_t at, std::uint32_t value)
    {
        for (std::size_t i = 0; i < 4; ++i)
            body[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(0, kBufferKind_Preview);
    put(8, claim);
    put(36, format);
    body.insert(body.end(), data.begin(), data.end());
    Bytes message = ReplyMessage(kImageEnumMessage_ImageBufferReply, 64, flags, 0, body);
    for (std::size_t i = 0; i < 4; ++i)
        message[24 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    return message;
}

Bytes BasicInfoMessage(std::size_t bodySize)
{
    return ReplyMessage(kImageEnumMessage_BasicImageInfoReply, 32, 3, 0, Bytes(bodySize, 0x11));
}

// The status block of the only record posted.
AssembleStatus OnlyStatus(const RecordingOwner& owner)
{
    EXPECT_EQ(owner.posts.size(), 1u);
    if (owner.posts.empty())
        return {};
    switch (owner.posts[0].kind)
    {
    case kImageEnumNotify_PreviewReady:
    case kImageEnumNotify_TileReady:
        return static_cast<const ImageBuffer*>(owner.posts[0].record.get())->status;
    case kImageEnumNotify_MetadataReady:
        return static_cast<const MetadataItems*>(owner.posts[0].record.get())->status;
    case kImageEnumNotify_BasicImageInfoReady:
        return static_cast<const BasicImageInfo*>(owner.posts[0].record.get())->status;
    default:
        ADD_FAILURE() << "kind " << owner.posts[0].kind;
        return {};
    }
}

struct ShortReplyCase
{
    const char* name;
    std::vector<Bytes> messages;
    std::uint32_t assemblyError; // 0: complete
};

class ShortReplyTest : public ::testing::TestWithParam<ShortReplyCase>
{
};

// Fault: a reply that carried less data than it claimed was posted complete,
// successful and zero-filled. It now ends with assembly error 32; one that
// carries all it claims (in one message or several) is complete.
TEST_P(ShortReplyTest, EndsWithAnAssemblyErrorUnlessItsDataIsWhole)
{
    const ShortReplyCase& c = GetParam();
    RecordingOwner owner;
    ReplyAssembly assembly(owner);
    ASSERT_TRUE(assembly.RequestMetadata(5, {0x4746}));
    for (const Bytes& message : c.messages)
        ASSERT_NO_FATAL_FAILURE(Feed(assembly, message));
    const AssembleStatus status = OnlyStatus(owner);
    EXPECT_EQ(status.assemblyError, c.assemblyError);
    EXPECT_EQ(status.complete, c.assemblyError == 0);
}

Bytes Part(const Bytes& bytes, std::size_t from, std::size_t to)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

const Bytes kData(1000, 0x5A);

INSTANTIATE_TEST_SUITE_P(
    Replies, ShortReplyTest,
    ::testing::Values(
        ShortReplyCase{"PreviewWhole", {ImageBufferMessage(3, 1000, kData)}, 0},
        ShortReplyCase{"PreviewShort", {ImageBufferMessage(3, 1000, Part(kData, 0, 120))}, 32},
        ShortReplyCase{"PreviewInTwo",
                       {ImageBufferMessage(1, 1000, Part(kData, 0, 600)),
                        ImageBufferMessage(2, 1000, Part(kData, 600, 1000), 600)},
                       0},
        ShortReplyCase{
            "PreviewStopsAfterTheFirstOfTwo",
            {ImageBufferMessage(1, 1000, Part(kData, 0, 600)), ImageBufferMessage(2, 1000, Bytes{}, 600)},
            32},
        ShortReplyCase{"PreviewRestartsAtZero",
                       {ImageBufferMessage(1, 1000, Part(kData, 0, 600)),
                        ImageBufferMessage(2, 1000, Part(kData, 0, 300), 0)},
                       32},
        ShortReplyCase{"JpegPreviewIsTheRestOfItsMessages",
                       {ImageBufferMessage(1, 0, Part(kData, 0, 400), 0, kWireFormat_Jpeg),
                        ImageBufferMessage(2, 0, Part(kData, 400, 1000), 400, kWireFormat_Jpeg)},
                       0},
        ShortReplyCase{"MetadataItemWhole",
                       {ReplyMessage(kImageEnumMessage_MetadataReply, 40, 3, 0, MetadataItem(0x4746, 200))},
                       0},
        ShortReplyCase{"MetadataItemShort",
                       {ReplyMessage(kImageEnumMessage_MetadataReply, 40, 3, 0,
                                     Part(MetadataItem(0x4746, 200), 0, 120))},
                       32},
        ShortReplyCase{"BasicInfoWhole", {BasicInfoMessage(76)}, 0},
        ShortReplyCase{"BasicInfoShort", {BasicInfoMessage(40)}, 32}),
    [](const ::testing::TestParamInfo<ShortReplyCase>& p) { return std::string(p.param.name); });

// Fault: the size a reply claims was allocated and zeroed before any data
// came (four 120-byte messages claiming 256 MiB each took 1 GiB). The data now
// grows as it arrives: a claim of 200 MiB with 120 bytes holds ~120 bytes.
TEST(ReplyAssemblyMemoryTest, AClaimIsNotAllocatedUpFront)
{
    RecordingOwner owner;
    ReplyAssembly assembly(owner);
    Feed(assembly, ImageBufferMessage(3, 200 * 1024 * 1024, Part(kData, 0, 120)));
    ASSERT_EQ(owner.posts.size(), 1u);
    const auto* buffer = static_cast<const ImageBuffer*>(owner.posts[0].record.get());
    EXPECT_EQ(buffer->data.size(), 120u);
    EXPECT_LE(buffer->data.capacity(), 4096u);
    EXPECT_EQ(buffer->status.assemblyError, kAssemblyError_Body);
}

// Fault: replies nobody asked for were taken as the answer (records posted,
// the gate opened so that a second request went out while one was
// outstanding). Now only the reply to a request on its way makes a record
// and opens its gate; a pushed preview counts while the camera reports the
// preview subscription on; a reply that begins anew answers the same request.
TEST(ReplyAssemblyGateTest, OnlyTheReplyToARequestOnItsWayOpensItsGate)
{
    const Bytes preview = ImageBufferMessage(3, 100, Part(kData, 0, 100));
    {
        SCOPED_TRACE("nothing asked");
        RecordingOwner owner;
        owner.awaited.clear();
        ReplyAssembly assembly(owner);
        Feed(assembly, BasicInfoMessage(76));
        Feed(assembly, preview);
        EXPECT_TRUE(owner.posts.empty());
        EXPECT_TRUE(owner.released.empty());
    }
    {
        SCOPED_TRACE("asked");
        RecordingOwner owner;
        ReplyAssembly assembly(owner);
        Feed(assembly, BasicInfoMessage(76));
        Feed(assembly, preview);
        EXPECT_EQ(owner.posts.size(), 2u);
        EXPECT_EQ(owner.released, (std::vector<std::uint8_t>{0x82, 0x84}));
        // A second answer to the same requests is nobody's.
        Feed(assembly, BasicInfoMessage(76));
        Feed(assembly, preview);
        EXPECT_EQ(owner.posts.size(), 2u);
        EXPECT_EQ(owner.released.size(), 2u);
    }
    {
        SCOPED_TRACE("previews pushed while subscribed");
        RecordingOwner owner;
        owner.awaited.clear();
        ReplyAssembly assembly(owner);
        Bytes subscribed = ReplyMessage(kImageEnumMessage_SetSubscriptionReply, 40, 3, 1, {});
        Feed(assembly, subscribed);
        Feed(assembly, preview);
        ASSERT_EQ(owner.posts.size(), 2u);
        EXPECT_EQ(owner.posts[1].kind, kImageEnumNotify_PreviewReady);
        EXPECT_TRUE(owner.released.empty());
        // Off again, or the channel closed: pushed previews are nobody's.
        assembly.ResetRequests();
        Feed(assembly, preview);
        EXPECT_EQ(owner.posts.size(), 2u);
    }
    {
        SCOPED_TRACE("a reply that begins anew");
        RecordingOwner owner;
        ReplyAssembly assembly(owner);
        Feed(assembly, ImageBufferMessage(1, 100, Part(kData, 0, 50)));
        Feed(assembly, preview);
        ASSERT_EQ(owner.posts.size(), 2u);
        EXPECT_EQ(static_cast<const ImageBuffer*>(owner.posts[0].record.get())->status.assemblyError,
                  kAssemblyError_Replaced);
        EXPECT_TRUE(static_cast<const ImageBuffer*>(owner.posts[1].record.get())->status.complete);
        EXPECT_EQ(owner.released, std::vector<std::uint8_t>{0x84});
    }
}

// Fault: a list reply that failed, or stalled after its first fragment,
// reached the application as a complete, shorter list. The list is still
// handed over, and WaitForImageList tells whether it is complete.
TEST(ImageListAssemblyTest, AListThatFailsOrStallsIsHandedOverAsIncomplete)
{
    RecordingOwner owner;
    ReplyAssembly assembly(owner);
    const auto wait = [&](std::vector<std::uint32_t>& ids)
    {
        ids.clear();
        return assembly.WaitForImageList(0,
                                         [&](const ImageList& list)
                                         {
                                             for (const ImageListItem& item : list)
                                                 ids.push_back(item.imageId);
                                         });
    };
    std::vector<std::uint32_t> ids;
    EXPECT_FALSE(wait(ids)) << "no list yet";
    Feed(assembly,
         ReplyMessage(kImageEnumMessage_ImageListReply, 56, 1, kListChange_WholeList, Item(1, "A")));
    EXPECT_FALSE(wait(ids)) << "stalled after its first fragment";
    EXPECT_EQ(ids, std::vector<std::uint32_t>{1});
    Feed(assembly,
         ReplyMessage(kImageEnumMessage_ImageListReply, 56, 2, kListChange_WholeList, Item(2, "B")));
    EXPECT_TRUE(wait(ids));
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2}));
    // A push keeps it complete; a refused list does not.
    Feed(assembly, ReplyMessage(kImageEnumMessage_ImageListReply, 56, 3, kListChange_Added, Item(3, "C")));
    EXPECT_TRUE(wait(ids));
    assembly.FinishWithCameraError(0x01, kImageEnumStatus_IsBusy);
    EXPECT_FALSE(wait(ids));
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3}));
    // A whole list whose reply fails (its second message is cut short).
    Feed(assembly,
         ReplyMessage(kImageEnumMessage_ImageListReply, 56, 1, kListChange_WholeList, Item(4, "D")));
    Bytes cut = ReplyMessage(kImageEnumMessage_ImageListReply, 56, 2, kListChange_WholeList, Bytes(10, 0));
    const CommonMessageHeader header = *DecodeMessageHeader(cut);
    BufferMessageSource source(std::span<const std::uint8_t>(cut).subspan(16));
    EXPECT_FALSE(assembly.AssembleMessage(header, source));
    EXPECT_FALSE(wait(ids));
    EXPECT_EQ(ids, std::vector<std::uint32_t>{4});
}

// Catches: ids left pending that are not asked for again, a reply that
// removes none asked for again for ever, and a camera error that leaves the
// request pending (RequestMetadata false for good).
TEST(MetadataAssemblyTest, AsksAgainForWhatIsLeftUntilAReplyRemovesNone)
{
    RecordingOwner owner;
    ReplyAssembly assembly(owner);
    const std::vector<std::uint32_t> ids{0x4746, 0x9000, 0x4746, 0x9000};
    ASSERT_TRUE(assembly.RequestMetadata(5, ids));
    EXPECT_FALSE(assembly.RequestMetadata(5, ids));
    Bytes body = MetadataItem(0x4746, 3);
    const Bytes second = MetadataItem(0x9000, 2);
    body.insert(body.end(), second.begin(), second.end());
    Feed(assembly, ReplyMessage(kImageEnumMessage_MetadataReply, 40, 3, 0, body));
    Feed(assembly, ReplyMessage(kImageEnumMessage_MetadataReply, 40, 3, 0, MetadataItem(0x1234, 1)));
    ASSERT_EQ(owner.sent.size(), 2u);
    EXPECT_EQ(owner.sent[0].second, ids);
    EXPECT_EQ(owner.sent[1].second, (std::vector<std::uint32_t>{0x4746, 0x9000}));
    EXPECT_TRUE(assembly.RequestMetadata(6, ids)); // the second reply removed none: the request ended

    assembly.FinishWithCameraError(0x03, kImageEnumStatus_FatalError);
    EXPECT_TRUE(assembly.RequestMetadata(7, ids));
    assembly.ResetRequests();
    EXPECT_TRUE(assembly.RequestMetadata(8, ids));
}

} // namespace
