// The KPX camera object's channels 3.0 and 255.0 against the simulated
// camera: the stored images' list (also split into many messages), captures,
// ratings and deletions pushed by the camera, replies byte for byte, the
// subscription to previews of captures, development messages both ways, a
// camera without those channels, and requests from a notify sink and from two
// threads at once.

#include "Camera/KPXCamera.h"
#include "DeviceControlE2eSupport.h"
#include "E2eTransport.h"
#include "ImageEnumerationE2eSupport.h"
#include "LogCapture.h"
#include "RaisedError.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimImageEnumerationHandler.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <tuple>

namespace
{

using namespace E2e;
using Q7::KPX::Camera;
using Q7::KPX::CameraTimings;
using TestSupport::RaisedBy;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kChannelNotSupported = 0x15E0018;

// The development messages a receiver got. Thread-safe.
class DevelopmentRecorder
{
public:
    struct Message
    {
        unsigned char type = 0;
        bool nullData = false;
        Bytes payload;
    };

    Camera::DevelopmentReceiver Receiver()
    {
        return Camera::DevelopmentReceiver(this, &DevelopmentRecorder::OnMessage);
    }

    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_messages.size() >= count; });
    }

    std::vector<Message> Messages()
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

private:
    void OnMessage(unsigned char type, const void* data, unsigned int size)
    {
        Message message{type, data == nullptr, {}};
        if (data != nullptr)
            message.payload.assign(static_cast<const std::uint8_t*>(data),
                                   static_cast<const std::uint8_t*>(data) + size);
        {
            std::lock_guard lock(m_mutex);
            m_messages.push_back(std::move(message));
        }
        m_changed.notify_all();
    }

    std::mutex m_mutex; // guards m_messages
    std::condition_variable m_changed;
    std::vector<Message> m_messages;
};

// A simulated camera with stored images and a KPX camera object for it, its
// image enumeration started.
struct ImageRig
{
    explicit ImageRig(E2eTransport over, std::size_t fragmentSize = 64 * 1024, CameraTimings timings = {},
                      Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default())
        : transport(over)
    {
        sim = std::make_unique<Q7::Sim::Camera>(std::move(description));
        sim->SetLogSink({});
        sim->SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        model->SetShutterReleaseHook([store = sim->SharedImages()] { store->Capture(); });
        sim->ImageEnumeration().SetFragmentSize(fragmentSize);
        sim->Images().AddGenerated(25);
        sim->Start("127.0.0.1", 0);
        if (transport == E2eTransport::Tcp)
            camera = std::make_unique<Camera>(TcpMoniker(*sim), timings, locks.Root().c_str());
        else
            camera =
                std::make_unique<Camera>(std::make_unique<E2eUsbDevice>(*sim), timings, locks.Root().c_str());
        camera->SetNotifyCallback(records.Sink());
        camera->SetErrorCallback(errors.Callback());
        camera->SetClientIdentity(nullptr);
        EXPECT_EQ(camera->Initialize(transport == E2eTransport::Tcp), 0u);
        EXPECT_EQ(camera->InitializeAgents(nullptr), 0u);
    }

    ~ImageRig()
    {
        camera.reset();
        sim->Stop();
    }

    // Starts image enumeration and waits for the list it asks for.
    void Start()
    {
        camera->StartImageEnumeration();
        ASSERT_TRUE(camera->IsImageEnumerationRunning());
        ASSERT_TRUE(records.WaitFor(Camera::kNotify_ImageListChanged, 1));
    }

    std::vector<Ie::ImageListItem> HostList()
    {
        std::vector<Ie::ImageListItem> list;
        camera->RequestImageList([&](const Ie::ImageList& held) { list.assign(held.begin(), held.end()); });
        return list;
    }

    void ExpectNoViolations() const
    {
        const Q7::Sim::Observations observed = sim->Snapshot();
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
    }

    const E2eTransport transport;
    std::shared_ptr<Q7::Sim::DeviceControlModel> model =
        std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
    std::unique_ptr<Q7::Sim::Camera> sim;
    RecordRecorder records;
    ErrorRecorder errors;
    const TestSupport::TempFolder locks; // the initialisation mutex's, never the machine's
    std::unique_ptr<Camera> camera;
};

// Runs over both transports, with the camera's replies whole or cut into many
// small messages.
class ImageCameraE2e : public ::testing::TestWithParam<std::tuple<E2eTransport, std::size_t>>
{
protected:
    E2eTransport Transport() const { return std::get<0>(GetParam()); }
    std::size_t FragmentSize() const { return std::get<1>(GetParam()); }

    TestSupport::LogCapture logs;
};

// Catches: a list that loses or repeats items across messages, a name not cut
// to 13 characters, a push notified more or less than once (a capture of
// several images as one record), and a list not updated by the pushes.
TEST_P(ImageCameraE2e, ListCapturesRatingsAndDeletionsReachTheList)
{
    ImageRig rig(Transport(), FragmentSize());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    EXPECT_EQ(rig.HostList(), ExpectedItems(rig.sim->Images().Images()));

    // A shutter release on 2.0 captures one image.
    rig.camera->StartDeviceControl();
    rig.camera->ShutterRelease();
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_ImageAdded, 1));
    EXPECT_EQ(rig.records.Records<Ie::ImageListItem>(Camera::kNotify_ImageAdded)[0].imageId, 26u);
    // One capture of three images: three notifications, in order.
    const auto captured = rig.sim->Images().Capture(3);
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_ImageAdded, 4));
    const auto added = rig.records.Records<Ie::ImageListItem>(Camera::kNotify_ImageAdded, 1);
    ASSERT_EQ(added.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(added[i], ExpectedItem(captured[i]));

    ASSERT_TRUE(rig.camera->RateImage(7, 4));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_ImageChanged, 1));
    EXPECT_EQ(rig.records.Records<Ie::ImageListItem>(Camera::kNotify_ImageChanged)[0].attribute, 4u);
    EXPECT_EQ(rig.sim->Images().Find(7)->info.rating, 4u);

    ASSERT_TRUE(rig.camera->DeleteImage(9));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_ImageRemoved, 1));
    EXPECT_EQ(rig.records.Records<Ie::ImageListItem>(Camera::kNotify_ImageRemoved)[0].imageId, 9u);
    EXPECT_FALSE(rig.sim->Images().Find(9).has_value());

    EXPECT_EQ(rig.HostList(), ExpectedItems(rig.sim->Images().Images()));
    EXPECT_EQ(rig.records.Count(Camera::kNotify_ImageAdded), 4u);
    EXPECT_EQ(rig.records.Count(Camera::kNotify_ImageChanged), 1u);
    EXPECT_EQ(rig.records.Count(Camera::kNotify_ImageRemoved), 1u);
    EXPECT_EQ(rig.records.Count(Camera::kNotify_ImageListChanged), 1u);
    rig.ExpectNoViolations();
}

// Catches: a reply assembled wrongly from its fragments: basic information,
// metadata, RGB24 and JPEG previews and tiles must arrive byte for byte, with
// the fields of their headers; the capabilities must be kept.
TEST_P(ImageCameraE2e, RepliesArriveByteForByte)
{
    ImageRig rig(Transport(), FragmentSize());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    const Q7::Sim::SimImage image = *rig.sim->Images().Find(5);

    const auto capabilities = rig.camera->GetImageEnumCapabilities();
    ASSERT_TRUE(capabilities.has_value());
    EXPECT_TRUE(capabilities->status.complete);
    EXPECT_EQ(capabilities->reply.maxTileWidth, 1024u);
    EXPECT_EQ(capabilities->reply.value52 & Q7::Sim::kIeCapabilityPreviewSubscription, 1u);
    EXPECT_EQ(capabilities->reply.header.messageType, Ie::kImageEnumMessage_CapabilitiesReply);
    EXPECT_EQ(capabilities->reply.value32, 1u);

    ASSERT_TRUE(rig.camera->RequestBasicImageInfo(5));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_BasicImageInfoReady, 1));
    const auto info = rig.records.Records<Ie::BasicImageInfo>(Camera::kNotify_BasicImageInfoReady)[0];
    EXPECT_TRUE(info.status.complete);
    EXPECT_EQ(info.status.carried, 5u);
    EXPECT_EQ(BodyBytes(info), image.BasicInfoBytes());

    ASSERT_TRUE(rig.camera->RequestMetadata(5));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_MetadataReady, 1));
    const auto metadata = rig.records.Records<Ie::MetadataItems>(Camera::kNotify_MetadataReady)[0];
    EXPECT_TRUE(metadata.status.complete);
    ASSERT_EQ(metadata.items.size(), 2u);
    EXPECT_EQ(metadata.items[0].data, image.metadata.at(0x4746));
    EXPECT_EQ(metadata.items[1].data, image.metadata.at(0x9000));

    struct Buffer
    {
        bool tile;
        std::uint32_t format;
    };
    const Buffer buffers[] = {{false, Ie::kWireFormat_Rgb24},
                              {false, Ie::kWireFormat_Jpeg},
                              {true, Ie::kWireFormat_Rgb24},
                              {true, Ie::kWireFormat_Jpeg}};
    for (const Buffer& buffer : buffers)
    {
        SCOPED_TRACE(std::to_string(buffer.tile) + " " + std::to_string(buffer.format));
        const Camera::EnumNotify id = buffer.tile ? Camera::kNotify_TileReady : Camera::kNotify_PreviewReady;
        const std::size_t before = rig.records.Count(id);
        if (buffer.tile)
            ASSERT_TRUE(rig.camera->RequestTile(TileOf(5, buffer.format, 16, 8, 30, 20, 0.5F)));
        else
            ASSERT_TRUE(rig.camera->RequestPreview(PreviewOf(5, buffer.format)));
        ASSERT_TRUE(rig.records.WaitFor(id, before + 1));
        const auto record = rig.records.Records<Ie::ImageBuffer>(id, before)[0];
        EXPECT_TRUE(record.status.complete);
        EXPECT_EQ(record.status.carried, 5u);
        EXPECT_EQ(record.imageFormat, buffer.format);
        if (buffer.tile)
        {
            EXPECT_EQ(record.data, image.TileBytes(buffer.format, 16, 8, 30, 20));
            EXPECT_EQ(record.bufferKind, Ie::kBufferKind_Tile);
            EXPECT_EQ(std::make_tuple(record.tileX, record.tileY, record.tileWidth, record.tileHeight),
                      std::make_tuple(16u, 8u, 30u, 20u));
            EXPECT_EQ(record.scale, 0.5F);
        }
        else
        {
            EXPECT_EQ(record.data, image.PreviewBytes(buffer.format));
            EXPECT_EQ(record.bufferKind, Ie::kBufferKind_Preview);
            EXPECT_EQ(std::make_tuple(record.bufferWidth, record.bufferHeight),
                      std::make_tuple(image.pictureWidth, image.pictureHeight));
        }
        EXPECT_EQ(record.total36, record.data.size());
    }
    rig.ExpectNoViolations();
}

// Catches: a subscription answer that does not reach the subscription
// callback (or leaks without one), and previews of captures that do not
// follow while subscribed or still come once unsubscribed.
TEST_P(ImageCameraE2e, SubscriptionAnswerReachesItsCallbackAndPreviewsOfCapturesFollow)
{
    ImageRig rig(Transport(), FragmentSize());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    // Without a callback the answer is dropped (and freed). The basic
    // information asked behind it is notified after it.
    ASSERT_TRUE(rig.camera->SetSubscriptions(0, 0, 0));
    ASSERT_TRUE(rig.camera->RequestBasicImageInfo(1));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_BasicImageInfoReady, 1));

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Ie::SetSubscriptionStruct> answers;
    rig.camera->SetSubscriptionNotificationCallback(
        [&](Camera::SubscriptionNotifications kind, const Camera::SubscriptionPayload& payload)
        {
            EXPECT_EQ(kind, Camera::kSubscriptionNotification_SubscriptionState);
            ASSERT_EQ(payload.index(), 1u);
            std::lock_guard lock(mutex);
            answers.push_back(*std::get<1>(payload));
            changed.notify_all();
        });
    const auto waitForAnswers = [&](std::size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return answers.size() >= count; });
    };

    ASSERT_TRUE(rig.camera->SetSubscriptions(1, 2, 0)); // RGB24 previews
    ASSERT_TRUE(waitForAnswers(1));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(answers[0].reply.flags, 1u);
        EXPECT_EQ(answers[0].reply.option, 2u);
        EXPECT_TRUE(answers[0].status.complete);
    }
    const auto captured = rig.sim->Images().Capture(2);
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_PreviewReady, 2));
    const auto previews = rig.records.Records<Ie::ImageBuffer>(Camera::kNotify_PreviewReady);
    EXPECT_EQ(previews[0].data, captured[0].PreviewBytes(Q7::Sim::kImageFormatRgb24));
    EXPECT_EQ(previews[1].data, captured[1].PreviewBytes(Q7::Sim::kImageFormatRgb24));

    ASSERT_TRUE(rig.camera->SetSubscriptions(0, 0, 0));
    ASSERT_TRUE(waitForAnswers(2));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(answers[1].reply.flags, 0u);
    }
    // Pushes and previews go out within Capture: none follows this one.
    rig.sim->Images().Capture();
    EXPECT_EQ(rig.sim->ImageEnumeration().Counters().subscriptionPreviews, 2u);
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_ImageAdded, 3));
    EXPECT_EQ(rig.records.Count(Camera::kNotify_PreviewReady), 2u);
    rig.camera->SetSubscriptionNotificationCallback({});
    rig.ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Fragments, ImageCameraE2e,
                         ::testing::Combine(AllTransports(),
                                            ::testing::Values(std::size_t{64 * 1024}, std::size_t{120})),
                         [](const ::testing::TestParamInfo<std::tuple<E2eTransport, std::size_t>>& p)
                         {
                             return TransportName({std::get<0>(p.param), p.index}) +
                                    (std::get<1>(p.param) < 1024 ? "_SmallFragments" : "_WholeReplies");
                         });

class ImageCameraTransportE2e : public ::testing::TestWithParam<E2eTransport>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches: a development agent that does not carry messages both ways, an
// empty payload that does not arrive as null and 0, a received message over
// the limit that is not refused (or kills the channel for good), and an
// identity setter that refuses a camera with the channel.
TEST_P(ImageCameraTransportE2e, DevelopmentMessagesGoBothWays)
{
    CameraTimings timings;
    timings.developmentMessageLimit = 1000;
    ImageRig rig(GetParam(), 64 * 1024, timings);
    ASSERT_TRUE(rig.camera->HasDevelopment());
    rig.camera->SetDevelopmentClientIdentity("development");
    DevelopmentRecorder received;
    rig.camera->SetDevelopmentReceiver(received.Receiver());
    rig.camera->StartDevelopment();

    Bytes payload(700);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7);
    rig.camera->SendDevelopmentMessage(0x10, payload.data(), static_cast<std::uint32_t>(payload.size()));
    rig.camera->SendDevelopmentMessage(0x22, nullptr, 0);
    ASSERT_TRUE(received.WaitFor(2));
    auto messages = received.Messages();
    EXPECT_EQ(messages[0].type, 0x10);
    EXPECT_EQ(messages[0].payload, payload);
    EXPECT_EQ(messages[1].type, 0x22);
    EXPECT_TRUE(messages[1].nullData);
    EXPECT_TRUE(messages[1].payload.empty());

    // A message over the limit comes back: it is refused and the channel is
    // opened again, and the next one arrives.
    const Bytes large(1500, 0x5A);
    rig.camera->SendDevelopmentMessage(0x30, large.data(), static_cast<std::uint32_t>(large.size()));
    ASSERT_TRUE(rig.errors.WaitForCount(1));
    EXPECT_EQ(rig.errors.Entries()[0].code, 0x6500CDu);
    EXPECT_EQ(rig.errors.Entries()[0].context, L"KPX ch255 message too large.");
    ASSERT_TRUE(rig.sim->WaitUntil(
        [](const Q7::Sim::Observations& o)
        {
            return std::count_if(o.packets.begin(), o.packets.end(),
                                 [](const auto& packet)
                                 {
                                     return packet.fromHost &&
                                            packet.header.Channel() == Q7::Sim::ChannelId{255, 0} &&
                                            packet.header.type ==
                                                static_cast<std::uint8_t>(Q7::Sim::PacketType::OpenRequest);
                                 }) >= 3; // the start's probe, the first open, the reopen
        },
        10s));
    rig.camera->SendDevelopmentMessage(0x11, payload.data(), 3);
    ASSERT_TRUE(received.WaitFor(3));
    messages = received.Messages();
    EXPECT_EQ(messages[2].type, 0x11);
    EXPECT_EQ(messages[2].payload, Bytes(payload.begin(), payload.begin() + 3));
    EXPECT_EQ(RaisedBy([&] { rig.camera->SendDevelopmentMessage(0x12, nullptr, 4); }).code, 0x650001u);

    rig.camera->StopDevelopment();
    rig.camera->SendDevelopmentMessage(0x13, payload.data(), 3); // ignored while stopped
    rig.ExpectNoViolations();
}

// Catches: Stop that leaves the agent unable to start again, and a restart
// that does not bring the list and the capabilities again.
TEST_P(ImageCameraTransportE2e, ImageEnumerationStartsAgainAfterStop)
{
    ImageRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.camera->StopImageEnumeration();
    EXPECT_FALSE(rig.camera->IsImageEnumerationRunning());
    EXPECT_FALSE(rig.camera->RequestBasicImageInfo(1));
    rig.sim->Images().Remove(1);
    // Stop delivered or dropped every record of the first run.
    const std::size_t lists = rig.records.Count(Camera::kNotify_ImageListChanged);
    rig.camera->StartImageEnumeration();
    ASSERT_TRUE(rig.camera->IsImageEnumerationRunning());
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_ImageListChanged, lists + 1));
    EXPECT_EQ(rig.HostList(), ExpectedItems(rig.sim->Images().Images()))
        << rig.sim->ImageEnumeration().Counters().Requests(Q7::Sim::kIeGetImageList) << " list requests, "
        << lists << " lists before the restart";
    ASSERT_TRUE(rig.camera->RequestBasicImageInfo(2));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_BasicImageInfoReady, 1));
    rig.ExpectNoViolations();
}

// Catches: requests to a camera without channels 3.0 and 255.0 that do not
// raise "Kpx Channel not supported!" or that send anything.
TEST_P(ImageCameraTransportE2e, ACameraWithoutTheChannelsRefusesTheirRequests)
{
    Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
    std::erase_if(
        description.channels,
        [](const Q7::Sim::ChannelConfig& channel) {
            return channel.id == Q7::Sim::ChannelId{3, 0} || channel.id == Q7::Sim::ChannelId{255, 0};
        });
    ImageRig rig(GetParam(), 64 * 1024, {}, description);
    EXPECT_FALSE(rig.camera->HasImageEnumeration());
    EXPECT_FALSE(rig.camera->HasDevelopment());
    const TestSupport::Raised notSupported{kChannelNotSupported, L"Kpx Channel not supported!"};
    EXPECT_EQ(RaisedBy([&] { rig.camera->RequestImageList([](const Ie::ImageList&) {}); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->RequestBasicImageInfo(1); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->RequestMetadata(1); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->RequestPreview(PreviewOf(1, 2)); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->RequestTile(TileOf(1, 2, 0, 0, 1, 1, 0.5F)); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->RequestCapabilities(); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->RateImage(1, 1); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->DeleteImage(1); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->SetSubscriptions(1, 1, 0); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->SendDevelopmentMessage(1, nullptr, 0); }), notSupported);
    EXPECT_EQ(RaisedBy([&] { rig.camera->SetDevelopmentClientIdentity("x"); }), notSupported);
    rig.camera->StartImageEnumeration();
    rig.camera->StartDevelopment();
    EXPECT_FALSE(rig.camera->IsImageEnumerationRunning());
    EXPECT_FALSE(rig.camera->GetImageEnumCapabilities().has_value());
    const auto observed = rig.sim->Snapshot();
    EXPECT_EQ(observed.data.count(Q7::Sim::ChannelId{3, 0}), 0u);
    EXPECT_EQ(observed.data.count(Q7::Sim::ChannelId{255, 0}), 0u);
}

// Catches: a deadlock or a lost record when the notify sink makes requests of
// the camera (on the agent's notify thread), when two threads make requests
// at once, and when the agent stops while the sink runs.
TEST_P(ImageCameraTransportE2e, RequestsFromTheNotifySinkAndFromTwoThreadsAtOnce)
{
    ImageRig rig(GetParam());
    // Each image added is asked for its basic information from the sink.
    std::atomic<int> asked{0};
    rig.camera->SetNotifyCallback(
        [&](Camera::EnumNotify id, const Camera::NotifyPayload& payload)
        {
            rig.records.Add(id, payload);
            if (id == Camera::kNotify_ImageAdded)
            {
                const auto* item = static_cast<const Ie::ImageListItem*>(payload.get());
                EXPECT_TRUE(rig.camera->RequestBasicImageInfo(item->imageId));
                rig.camera->RequestImageList([](const Ie::ImageList&) {});
                ++asked;
            }
        });
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.sim->Images().Capture(4);

    constexpr int kPerThread = 10;
    auto tiles =
        std::async(std::launch::async,
                   [&]
                   {
                       for (int i = 0; i < kPerThread; ++i)
                           EXPECT_TRUE(rig.camera->RequestTile(TileOf(
                               3, Ie::kWireFormat_Rgb24, static_cast<std::uint32_t>(i), 0, 4, 4, 0.5F)));
                   });
    for (int i = 0; i < kPerThread; ++i)
        EXPECT_TRUE(rig.camera->RequestBasicImageInfo(static_cast<std::uint32_t>(10 + i)));
    ASSERT_EQ(tiles.wait_for(10s), std::future_status::ready);
    tiles.get();

    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_TileReady, kPerThread));
    ASSERT_TRUE(rig.records.WaitFor(Camera::kNotify_BasicImageInfoReady, kPerThread + 4));
    EXPECT_EQ(asked.load(), 4);
    for (const auto& info : rig.records.Records<Ie::BasicImageInfo>(Camera::kNotify_BasicImageInfoReady))
        EXPECT_TRUE(info.status.complete);

    // Stopping while the sink is busy asking the camera does not deadlock.
    std::promise<void> inSink;
    std::atomic<bool> first{true};
    rig.camera->SetNotifyCallback(
        [&](Camera::EnumNotify id, const Camera::NotifyPayload&)
        {
            if (id == Camera::kNotify_ImageAdded && first.exchange(false))
            {
                inSink.set_value();
                for (int i = 0; i < 50; ++i)
                    rig.camera->RequestBasicImageInfo(1);
            }
        });
    rig.sim->Images().Capture();
    ASSERT_EQ(inSink.get_future().wait_for(10s), std::future_status::ready);
    auto stopped = std::async(std::launch::async, [&] { rig.camera->StopImageEnumeration(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(rig.camera->IsImageEnumerationRunning());
    rig.camera->Close();
}

INSTANTIATE_TEST_SUITE_P(Transports, ImageCameraTransportE2e, AllTransports(), TransportName);

} // namespace
