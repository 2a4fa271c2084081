// The KPX camera's image transfer on channels 4.1 and 4.2 against the
// simulated camera, over loopback TCP and the virtual USB bus: captures and
// requested images byte for byte with their progress and the camera's status
// (id 21), pausing and stopping, back-pressure of the two pool buffers, every
// fault of the camera's sender, a link lost mid-image, the transfer switches'
// bounded waits, refused sub-channels, and what the receiver may do. Each
// case also runs with the camera spreading its transfers over both
// sub-channels, and the adversarial orders of that (a DataEnd beside the
// last block, a rewrite beside the DataEnd), a transfer that goes quiet, and
// claims above the buffer limit have cases of their own.

#include "Camera/KPXCamera.h"
#include "DeviceControlE2eSupport.h"
#include "E2eDataPath.h"
#include "E2eTransport.h"
#include "LogCapture.h"
#include "RaisedError.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimImageTransferHandler.h"
#include "SubChannelOrder.h"
#include "TestAllocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

namespace
{

using namespace E2e;
using Q7::KPX::Camera;
using Q7::KPX::CameraTimings;
using Q7::KPX::TransferStatus;
using Q7::Sim::ImageTransferCounters;
using Q7::Sim::ImageTransferFault;
using Q7::Sim::ImageTransferFaultKind;
using Q7::Sim::SimImage;
using TestSupport::RaisedBy;
using TestSupport::TestAllocator;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSubChannelNotOpen = 0x15E0019;
constexpr std::uint32_t kNoTransferStatus = 0x6500CA;
constexpr std::uint32_t kOwnThread = 0x650066;

// Images larger than this are kept by their tail only.
constexpr std::size_t kCopiedWhole = 16 * 1024 * 1024;
constexpr std::size_t kTail = 64 * 1024;

// An image as the receiver got it: its bytes copied (of a large image only
// the last kTail).
struct Received
{
    std::uint32_t imageId = 0;
    std::string fileName;
    std::uint32_t size = 0;
    Bytes bytes;
};

// The images the camera's receive callback got; optionally keeps the packages
// (and with them their pool buffers) until the test releases them.
// Thread-safe.
class ImageRecorder
{
public:
    Camera::ImageReceiveCallback Callback()
    {
        return [this](Q7::KPX::ImageReceivePackage& package)
        {
            const std::uint8_t* const data = package.buffer.GetData();
            Received received{package.imageId, package.fileName, package.size,
                              package.size <= kCopiedWhole
                                  ? Bytes(data, data + package.size)
                                  : Bytes(data + package.size - kTail, data + package.size)};
            std::function<void(Q7::KPX::ImageReceivePackage&)> inside;
            {
                std::lock_guard lock(m_mutex);
                m_received.push_back(std::move(received));
                if (m_hold)
                    m_held.push_back(package);
                inside = m_inside;
            }
            m_changed.notify_all();
            if (inside)
                inside(package);
        };
    }

    void Hold(bool hold)
    {
        std::lock_guard lock(m_mutex);
        m_hold = hold;
    }
    // Releases the oldest held package (its buffer goes back to the pool).
    void ReleaseOne()
    {
        std::lock_guard lock(m_mutex);
        m_held.erase(m_held.begin());
    }
    std::vector<Q7::KPX::ImageReceivePackage> TakeHeld()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_held, {});
    }
    // Also called inside the callback, after recording.
    void Inside(std::function<void(Q7::KPX::ImageReceivePackage&)> inside)
    {
        std::lock_guard lock(m_mutex);
        m_inside = std::move(inside);
    }

    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = 20s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
    }
    std::vector<Received> Images() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    mutable std::mutex m_mutex; // guards the fields below
    std::condition_variable m_changed;
    std::vector<Received> m_received;
    bool m_hold = false;
    std::vector<Q7::KPX::ImageReceivePackage> m_held;
    std::function<void(Q7::KPX::ImageReceivePackage&)> m_inside;
};

// The camera's notifications: each id 21's status copied (it is valid during
// the call only), and the link losses. Thread-safe.
class NotifyRecorder
{
public:
    Camera::NotifyFunction Sink()
    {
        return [this](Camera::EnumNotify id, const Camera::NotifyPayload& payload)
        {
            std::lock_guard lock(m_mutex);
            if (id == Camera::kNotify_TransferStatusChange)
                m_statuses.push_back(*static_cast<const TransferStatus*>(payload.get()));
            else if (id == Camera::kNotify_DeviceDisconnected)
                ++m_disconnects;
            m_changed.notify_all();
        };
    }

    bool WaitForStatus(const std::function<bool(const TransferStatus&)>& predicate,
                       std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(
            lock, timeout, [&] { return std::any_of(m_statuses.begin(), m_statuses.end(), predicate); });
    }
    // Waits until the latest status notified satisfies `predicate`.
    bool WaitForLatestStatus(const std::function<bool(const TransferStatus&)>& predicate,
                             std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout,
                                  [&] { return !m_statuses.empty() && predicate(m_statuses.back()); });
    }
    bool WaitForDisconnect(std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_disconnects > 0; });
    }
    int Disconnects()
    {
        std::lock_guard lock(m_mutex);
        return m_disconnects;
    }

private:
    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_changed;
    std::vector<TransferStatus> m_statuses;
    int m_disconnects = 0;
};

// The progress tasks reported: each notification's position, total and
// completion. Thread-safe.
class ProgressRecorder
{
public:
    struct Entry
    {
        std::uint32_t id = 0;
        std::uint64_t position = 0;
        std::uint64_t total = 0;
        bool completed = false;
        bool running = false;
        std::wstring name;
        std::wstring description;
    };

    Camera::ProgressFunction Callback()
    {
        return [this](const Q7::Universal::ProgressTask& task)
        {
            const Q7::Universal::ProgressInfo info = task.GetInfo();
            std::lock_guard lock(m_mutex);
            m_entries.push_back({task.GetId(), task.GetPosition(), task.GetTotal(), task.IsCompleted(),
                                 task.IsRunning(), info.name.c_str(), info.description.c_str()});
            m_changed.notify_all();
        };
    }

    bool WaitForCompleted(std::size_t count, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout,
                                  [&]
                                  {
                                      return static_cast<std::size_t>(
                                                 std::count_if(m_entries.begin(), m_entries.end(),
                                                               [](const Entry& entry)
                                                               { return entry.completed; })) >= count;
                                  });
    }
    std::vector<Entry> Entries() const
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

private:
    mutable std::mutex m_mutex; // guards m_entries
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};

// The camera's block size.
constexpr std::uint32_t kBlock = 1024 * 1024;

CameraTimings ShortTimings()
{
    CameraTimings timings;
    // Short enough for the stalled-image cases, long enough that a slow
    // (sanitized) run does not take a busy moment for a stall.
    timings.imageTransfer.messageReadTimeoutMs = 2000;
    return timings;
}

// A simulated camera whose shutter release captures, and a KPX camera object
// for it with its image callbacks set.
struct TransferRig
{
    explicit TransferRig(DataPath over, CameraTimings timings = ShortTimings(),
                         std::shared_ptr<TestAllocator> testAllocator = std::make_shared<TestAllocator>(),
                         Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default())
        : transport(over), allocator(std::move(testAllocator)), cameraTimings(timings)
    {
        sim = std::make_unique<Q7::Sim::Camera>(std::move(description));
        sim->SetLogSink({});
        if (over.spread)
            sim->ImageTransfer().SpreadOverBothSubChannels(kSpreadSeed);
        sim->SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        model->SetShutterReleaseHook([store = sim->SharedImages()] { store->Capture(); });
        sim->Images().AddGenerated(5);
        sim->Start("127.0.0.1", 0);
        camera = MakeCamera();
    }

    ~TransferRig()
    {
        camera.reset();
        sim->Stop();
    }

    std::unique_ptr<Camera> MakeCamera()
    {
        std::unique_ptr<Camera> made;
        if (transport == E2eTransport::Tcp)
            made = std::make_unique<Camera>(TcpMoniker(*sim), cameraTimings);
        else
            made = std::make_unique<Camera>(std::make_unique<E2eUsbDevice>(*sim), cameraTimings);
        made->SetNotifyCallback(notes.Sink());
        made->SetErrorCallback(errors.Callback());
        made->SetClientIdentity(nullptr);
        EXPECT_EQ(made->Initialize(transport == E2eTransport::Tcp), 0u);
        EXPECT_EQ(made->InitializeAgents(allocator), 0u);
        EXPECT_TRUE(made->HasImageTransfer());
        made->SetImageReceiveCallback(images.Callback());
        made->SetImageTransferProgressCallback(progress.Callback());
        return made;
    }

    void Start()
    {
        ASSERT_NO_THROW(camera->StartTransfer());
        ASSERT_TRUE(camera->IsImageReceivingEnabled());
        ASSERT_TRUE(notes.WaitForStatus([](const TransferStatus& status) { return status.enabled == 1; }));
    }

    // A capture of one image of `size` bytes with the next free id.
    SimImage Capture(std::uint32_t size = 20000)
    {
        SimImage image = Q7::Sim::ImageStore::MakeImage(nextId++);
        image.info.imageSize = size;
        sim->Images().Capture({image});
        return image;
    }

    Q7::Sim::ImageTransferControl& Sender() { return sim->ImageTransfer(); }
    bool WaitForSender(const std::function<bool(const ImageTransferCounters&)>& predicate)
    {
        return Sender().WaitUntil(predicate, 20s);
    }

    // Until the latest notified status and the pending count both say 0. The
    // camera's statuses (4.1) and its images (4.2) race each other: a status
    // sent before the last image was acknowledged may arrive after it and
    // count that image again until the camera's next status; every change of
    // the count is notified, so the wait ends once the two agree on 0 (and
    // times out when an image stays counted here).
    bool WaitForNothingPending()
    {
        return notes.WaitForLatestStatus(
            [&](const TransferStatus& status)
            { return status.pendingCount == 0 && camera->GetPendingImageCount() == 0; });
    }

    // The data id of the image's last transfer (its DataEndAck may still be
    // on its way to the camera when the image is delivered).
    std::optional<std::uint32_t> LastDataId(std::uint32_t imageId) const
    {
        std::optional<std::uint32_t> found;
        for (const Q7::Sim::SentImage& sent : sim->ImageTransfer().Sent())
        {
            if (sent.imageId == imageId)
                found = sent.dataId;
        }
        return found;
    }

    // The received image is `image`, byte for byte, with its transfer's id and name.
    void ExpectImage(const Received& received, const SimImage& image) const
    {
        EXPECT_EQ(received.fileName, Q7::Sim::ImageTransferName(image.id));
        EXPECT_EQ(std::optional(received.imageId), LastDataId(image.id));
        EXPECT_EQ(received.size, image.info.imageSize);
        EXPECT_TRUE(received.bytes == image.FileBytes()) << "image " << image.id << " differs";
    }

    void ExpectNoViolations() const
    {
        const Q7::Sim::Observations observed = sim->Snapshot();
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
        for (const std::string& problem : SubChannelOrderProblems(observed, 4, SIZE_MAX))
            ADD_FAILURE() << problem;
    }

    // Whether the camera has 4.1 and 4.2 open on a connection.
    bool CameraHasSubChannelsOpen() const
    {
        for (const std::uint64_t connection : sim->Connections())
        {
            for (const Q7::Sim::ChannelId id : sim->OpenChannels(connection))
            {
                if (id.channel == 4)
                    return true;
            }
        }
        return false;
    }

    const E2eTransport transport;
    std::shared_ptr<TestAllocator> allocator;
    const CameraTimings cameraTimings;
    std::shared_ptr<Q7::Sim::DeviceControlModel> model =
        std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
    std::unique_ptr<Q7::Sim::Camera> sim;
    NotifyRecorder notes;
    ErrorRecorder errors;
    ImageRecorder images;
    ProgressRecorder progress;
    std::unique_ptr<Camera> camera;
    std::uint32_t nextId = 100;
};

class ImageTransferE2e : public ::testing::TestWithParam<DataPath>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches: an image that does not arrive whole and in order, a wrong id or
// name, progress that does not start, advance and complete, and a status
// (id 21) that does not carry the camera's values.
TEST_P(ImageTransferE2e, AShutterReleaseBringsTheImageWithItsProgressAndStatus)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.camera->SetHostStorageSize(64);
    ASSERT_TRUE(rig.notes.WaitForStatus([](const TransferStatus& status)
                                        { return status.enabled == 1 && status.storageSize == 64; }));
    EXPECT_EQ(rig.camera->GetHostStorageSize(), 64u);

    rig.camera->StartDeviceControl();
    rig.camera->ShutterRelease();
    ASSERT_TRUE(rig.images.WaitFor(1));
    const std::vector<Received> received = rig.images.Images();
    ASSERT_EQ(received.size(), 1u);
    const SimImage captured = rig.sim->Images().Images().back();
    rig.ExpectImage(received[0], captured);

    // A larger image moves in several blocks: progress runs to completion.
    const SimImage large = rig.Capture(5 * 1024 * 1024 + 17);
    ASSERT_TRUE(rig.images.WaitFor(2));
    rig.ExpectImage(rig.images.Images()[1], large);
    ASSERT_TRUE(rig.progress.WaitForCompleted(2));
    const auto entries = rig.progress.Entries();
    std::vector<ProgressRecorder::Entry> last;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(last),
                 [&](const ProgressRecorder::Entry& entry) { return entry.id == entries.back().id; });
    ASSERT_GE(last.size(), 3u);
    EXPECT_TRUE(std::any_of(last.begin(), last.end(), [](const auto& entry) { return entry.running; }));
    EXPECT_EQ(last.front().name, L"Image transfer");
    EXPECT_EQ(last.front().description, L"SIM_0100.JPG");
    EXPECT_TRUE(std::is_sorted(last.begin(), last.end(),
                               [](const auto& a, const auto& b) { return a.position < b.position; }));
    EXPECT_TRUE(last.back().completed);
    EXPECT_EQ(last.back().position, last.back().total);

    // Both delivered: nothing pending here or on the camera.
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c)
                                  { return c.imagesCompleted == 2 && c.pending == 0; }));
    EXPECT_TRUE(rig.WaitForNothingPending());
    rig.ExpectNoViolations();
}

// Catches: RequestImage that does not wait for the camera's answer, or that
// answers true for an image the camera does not have.
TEST_P(ImageTransferE2e, RequestImageIsTrueForAStoredImageWhichThenArrives)
{
    TransferRig rig(GetParam());
    EXPECT_FALSE(rig.camera->RequestImage(3)); // the agent's threads do not run yet
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    EXPECT_TRUE(rig.camera->RequestImage(3));
    ASSERT_TRUE(rig.images.WaitFor(1));
    rig.ExpectImage(rig.images.Images()[0], *rig.sim->Images().Find(3));
    EXPECT_FALSE(rig.camera->RequestImage(999));
    EXPECT_EQ(rig.Sender().Counters().imageRequests, 2u);
    EXPECT_EQ(rig.images.Images().size(), 1u);
    rig.ExpectNoViolations();
}

// Catches: a pause that lets images through, a start that does not fetch what
// the camera held meanwhile, and a stop of a paused transfer that leaves the
// agent's threads (and sub-channels) behind.
TEST_P(ImageTransferE2e, PauseHoldsImagesOnTheCameraAndStopEndsTheThreads)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    ASSERT_NO_THROW(rig.camera->PauseTransfer());
    EXPECT_FALSE(rig.camera->IsImageReceivingEnabled());
    const SimImage held = rig.Capture();
    ASSERT_TRUE(rig.notes.WaitForStatus([](const TransferStatus& status)
                                        { return status.enabled == 0 && status.pendingCount == 1; }));
    EXPECT_EQ(rig.camera->GetPendingImageCount(), 1u);
    EXPECT_EQ(rig.Sender().Counters().imagesBegun, 0u);
    EXPECT_TRUE(rig.images.Images().empty());

    ASSERT_NO_FATAL_FAILURE(rig.Start());
    ASSERT_TRUE(rig.images.WaitFor(1));
    rig.ExpectImage(rig.images.Images()[0], held);

    // Paused, the threads still run; stopped, they end and both sub-channels close.
    ASSERT_NO_THROW(rig.camera->PauseTransfer());
    EXPECT_TRUE(rig.CameraHasSubChannelsOpen());
    ASSERT_NO_THROW(rig.camera->StopTransfer());
    EXPECT_TRUE(logs.WaitFor(L"KPX camera Ignoring request to StopTransfer() - already paused/stopped."));
    EXPECT_FALSE(rig.CameraHasSubChannelsOpen());
    EXPECT_FALSE(rig.camera->IsImageReceivingEnabled());
    // A stopped transfer starts again.
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    const SimImage after = rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(2));
    rig.ExpectImage(rig.images.Images()[1], after);
    rig.ExpectNoViolations();
}

// Catches: a third image acknowledged while the application holds both pool
// buffers, a pool that allocates per image, and buffers held past Close that
// are lost or freed twice.
TEST_P(ImageTransferE2e, BackPressureHoldsTheThirdImageUntilABufferIsReleased)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.images.Hold(true);
    const SimImage first = rig.Capture();
    const SimImage second = rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(2));
    const SimImage third = rig.Capture();
    // The control thread waits for a buffer: the third begun, not acknowledged.
    ASSERT_TRUE(logs.WaitFor(L"KPX ch4 no buffer currently available. Waiting."));
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.imagesBegun == 3; }));
    EXPECT_EQ(rig.Sender().Counters().imagesCompleted, 2u);
    EXPECT_EQ(rig.images.Images().size(), 2u);
    EXPECT_EQ(rig.Sender().Counters().bytesSent, first.info.imageSize + second.info.imageSize);

    rig.images.ReleaseOne();
    ASSERT_TRUE(rig.images.WaitFor(3));
    rig.ExpectImage(rig.images.Images()[2], third);

    // Fifty images of one size: the two pool buffers are allocated once each.
    rig.images.Hold(false);
    rig.images.TakeHeld();
    for (int i = 0; i < 50; ++i)
        rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(53, 60s));
    EXPECT_LE(rig.allocator->Sizes().size(), 2u);

    // A package kept past Close (and the camera's end) frees its buffer when released.
    rig.images.Hold(true);
    const SimImage kept = rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(54));
    rig.camera->Close();
    rig.camera.reset();
    std::vector<Q7::KPX::ImageReceivePackage> held = rig.images.TakeHeld();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(Bytes(held[0].buffer.GetData(), held[0].buffer.GetData() + held[0].size), kept.FileBytes());
    EXPECT_LT(rig.allocator->Frees(), rig.allocator->Sizes().size());
    held.clear();
    EXPECT_TRUE(rig.allocator->WaitForAllFreed());
    rig.ExpectNoViolations();
}

// Catches: an empty image handed to the receiver, or kept as pending for ever
// once dropped.
TEST_P(ImageTransferE2e, AnEmptyImageIsDroppedAndNotLeftPending)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.Capture(0);
    ASSERT_TRUE(logs.WaitFor(L"KPX ch4 trying to deliver an empty image."));
    const SimImage next = rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(1));
    rig.ExpectImage(rig.images.Images()[0], next);
    // Were the dropped image still counted here, every status would say 1.
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c)
                                  { return c.imagesCompleted == 2 && c.pending == 0; }));
    EXPECT_TRUE(rig.WaitForNothingPending());
    EXPECT_EQ(rig.images.Images().size(), 1u);
}

// Catches: a transfer that ends while the receiver holds the delivery thread
// losing its progress: its task starting only after its image was delivered,
// or never completing.
TEST_P(ImageTransferE2e, ATransferEndingWhileTheReceiverIsBusyStartsItsProgressBeforeItsImage)
{
    // Before the rig, which ends the delivery thread before they go.
    int deliveries = 0; // the delivery thread's
    std::promise<bool> heldUntilTheSecondEnded;
    std::promise<std::vector<ProgressRecorder::Entry>> atTheSecond;
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.images.Inside(
        [&](Q7::KPX::ImageReceivePackage&)
        {
            if (++deliveries == 1)
                heldUntilTheSecondEnded.set_value(
                    rig.WaitForSender([](const ImageTransferCounters& c) { return c.imagesCompleted == 2; }));
            else if (deliveries == 2)
                atTheSecond.set_value(rig.progress.Entries());
        });
    rig.Capture();
    rig.Capture();
    auto held = heldUntilTheSecondEnded.get_future();
    auto second = atTheSecond.get_future();
    ASSERT_EQ(second.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(held.get());
    std::set<std::uint32_t> started;
    for (const ProgressRecorder::Entry& entry : second.get())
    {
        if (entry.running || entry.completed)
            started.insert(entry.id);
    }
    EXPECT_EQ(started.size(), 2u) << "an image arrived before its transfer's progress started";
    EXPECT_TRUE(rig.progress.WaitForCompleted(2));
}

// Catches: a lost camera or a camera that never answers holding a transfer
// switch (and with it the channel's slot and Close) for ever; and a switch
// that reports success without the camera's status.
TEST_P(ImageTransferE2e, ASwitchWaitEndsWith0x6500CAWhenNoStatusComes)
{
    CameraTimings timings = ShortTimings();
    timings.transferSwitchWaitMs = 300;
    {
        TransferRig rig(GetParam(), timings);
        rig.Sender().AddFault({.kind = ImageTransferFaultKind::SilentEnable, .enable = 1});
        EXPECT_EQ(RaisedBy([&] { rig.camera->StartTransfer(); }).code, kNoTransferStatus);
    }
    {
        // A lost link ends the wait at once, long before its bound.
        TransferRig rig(GetParam());
        rig.Sender().AddFault({.kind = ImageTransferFaultKind::SilentEnable, .enable = 1});
        auto started = std::async(std::launch::async,
                                  [&] { return RaisedBy([&] { rig.camera->StartTransfer(); }).code; });
        ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.enabled; }));
        rig.sim->DropAllConnections(Q7::Sim::DropMode::Reset);
        ASSERT_EQ(started.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(started.get(), kNoTransferStatus);
        // StopTransfer still stops the threads (the lost camera's status does
        // not come, when the threads still ran).
        const std::uint32_t stopped = RaisedBy([&] { rig.camera->StopTransfer(); }).code;
        EXPECT_TRUE(stopped == 0 || stopped == kNoTransferStatus) << stopped;
        EXPECT_FALSE(rig.camera->IsImageReceivingEnabled());
    }
    {
        // Close ends it as well.
        TransferRig rig(GetParam());
        rig.Sender().AddFault({.kind = ImageTransferFaultKind::SilentEnable, .enable = 1});
        auto started = std::async(std::launch::async,
                                  [&] { return RaisedBy([&] { rig.camera->StartTransfer(); }).code; });
        ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.enabled; }));
        rig.camera->Close();
        ASSERT_EQ(started.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(started.get(), kNoTransferStatus);
    }
}

// Catches: a start that waits for a status that cannot come when a
// sub-channel is refused, instead of raising 0x15E0019 at once.
TEST_P(ImageTransferE2e, ARefusedSubChannelMakesStartRaise0x15E0019)
{
    for (const Q7::Sim::ChannelId refused : {Q7::Sim::ChannelId{4, 1}, Q7::Sim::ChannelId{4, 2}})
    {
        SCOPED_TRACE(refused.ToString());
        TransferRig rig(GetParam());
        rig.sim->Faults().AddOpenFault({.channel = refused,
                                        .count = Q7::Sim::kAlways,
                                        .action = Q7::Sim::OpenAction::ErrorReply,
                                        .errorCode = Q7::Sim::kErrorUnsupportedChannel});
        const auto start = std::chrono::steady_clock::now();
        const TestSupport::Raised raised = RaisedBy([&] { rig.camera->StartTransfer(); });
        EXPECT_EQ(raised.code, kSubChannelNotOpen);
        EXPECT_EQ(raised.context, L"KPX ch4 One of the ImageTransfer sub-channels could not open!");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_FALSE(rig.camera->IsImageReceivingEnabled());
        rig.sim->Faults().Clear();
        ASSERT_NO_FATAL_FAILURE(rig.Start());
    }
}

// Catches: a link lost in the middle of a block that delivers a partial
// image, is not reported (or more than once), or hangs the camera's stop, and
// a drop inside an image's only block that never happens; the image stays on
// the camera and arrives whole with the next connection.
TEST_P(ImageTransferE2e, ALinkLostMidBlockDeliversNothingAndTheImageComesLater)
{
    struct Case
    {
        std::uint32_t imageSize;
        std::uint64_t dropAfter;
    };
    for (const Case c : {Case{3 * 1024 * 1024, 1024 * 1024}, Case{64 * 1024, 100}})
    {
        SCOPED_TRACE(c.imageSize);
        TransferRig rig(GetParam());
        ASSERT_NO_FATAL_FAILURE(rig.Start());
        rig.Sender().AddFault({.kind = ImageTransferFaultKind::DropMidBlock, .afterBytes = c.dropAfter});
        const SimImage image = rig.Capture(c.imageSize);
        ASSERT_TRUE(rig.notes.WaitForDisconnect());
        ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& n) { return n.interrupted == 1; }));
        const std::uint32_t stopped = RaisedBy([&] { rig.camera->StopTransfer(); }).code;
        EXPECT_TRUE(stopped == 0 || stopped == kNoTransferStatus) << stopped;
        rig.camera->Close();
        EXPECT_EQ(rig.notes.Disconnects(), 1);
        EXPECT_TRUE(rig.images.Images().empty());

        rig.camera.reset();
        rig.camera = rig.MakeCamera();
        ASSERT_NO_FATAL_FAILURE(rig.Start());
        ASSERT_TRUE(rig.images.WaitFor(1));
        rig.ExpectImage(rig.images.Images()[0], image);
    }
}

// Catches: a receiver that cannot ask the camera for its status or images,
// a stop from inside the receiver that deadlocks (it is refused), and
// requests from another thread at the same time that disturb deliveries.
TEST_P(ImageTransferE2e, TheReceiverMayQueryTheCameraButNotStopIt)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    std::atomic<int> requests{0};
    std::atomic<std::uint32_t> stopRaised{0};
    // The camera object itself: a receiver still running while the camera
    // closes finds the agent gone (empty answers), not a dangling camera.
    Camera* const camera = rig.camera.get();
    rig.images.Inside(
        [&, camera](Q7::KPX::ImageReceivePackage&)
        {
            (void)camera->GetTransferStatus();
            if (camera->RequestImage(1))
                ++requests;
            if (stopRaised == 0)
                stopRaised = RaisedBy([&] { camera->StopTransfer(); }).code;
        });
    // Each query sends the camera a GetStatus: a bounded number of them.
    std::thread other(
        [&]
        {
            for (int i = 0; i < 200; ++i)
            {
                (void)rig.camera->GetPendingImageCount();
                (void)rig.camera->IsImageReceivingEnabled();
            }
        });
    rig.Capture();
    const bool arrived = rig.images.WaitFor(4); // the capture and three requested images
    rig.images.Inside({});
    other.join();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(stopRaised.load(), kOwnThread);
    EXPECT_GE(requests.load(), 3);
    EXPECT_TRUE(rig.camera->IsImageReceivingEnabled());
    for (const Received& received : rig.images.Images())
        EXPECT_FALSE(received.bytes.empty());
}

// Catches: a Close from inside the receiver that waits for the thread it
// runs on (a hang) or frees the agent under it (a crash under asan).
TEST_P(ImageTransferE2e, TheReceiverMayCloseTheCamera)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    std::promise<void> closed;
    std::atomic<bool> once{false};
    Camera* const camera = rig.camera.get();
    rig.images.Inside(
        [&, camera](Q7::KPX::ImageReceivePackage&)
        {
            if (once.exchange(true))
                return;
            camera->Close();
            closed.set_value();
        });
    rig.Capture();
    ASSERT_EQ(closed.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_FALSE(rig.camera->HasImageTransfer());
    // The kept agent is stopped and freed with the camera, on this thread.
    rig.camera.reset();
    EXPECT_TRUE(rig.allocator->WaitForAllFreed());
}

// Fault: the camera sends the last block on 4.2 and the DataEnd on 4.1, the
// DataEnd while the block is still on its way; the host judged the end
// before the block's bytes were in and refused a good image (DataError
// 0x2000006). Now the image arrives whole and the camera sees it
// acknowledged.
TEST_P(ImageTransferE2e, ADataEndBesideTheLastBlockWaitsForItAndTheImageArrives)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.Sender().AddFault({.kind = ImageTransferFaultKind::EndBesideLastBlock});
    const SimImage image = rig.Capture(2 * kBlock + 321);
    ASSERT_TRUE(rig.images.WaitFor(1));
    rig.ExpectImage(rig.images.Images()[0], image);
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.imagesCompleted == 1; }));
    EXPECT_TRUE(rig.Sender().Counters().hostDataErrors.empty());
    rig.ExpectNoViolations();
}

// Fault: the camera seeks back and rewrites its first block on 4.2 while the
// DataEnd comes on 4.1; the image was handed over with the rewrite half
// done, and its bytes then changed under the receiver. Now the receiver gets
// the rewritten image whole, and its bytes never change after the hand-over.
// (Should the DataEnd be read before the seek, the host ends the image as it
// stands and refuses the late seek: the original image, also whole.)
TEST_P(ImageTransferE2e, ARewriteBesideTheEndIsNeverHandedOverHalfDone)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.images.Hold(true);
    rig.Sender().AddFault({.kind = ImageTransferFaultKind::RewriteBesideEnd});
    const SimImage image = rig.Capture(2 * kBlock + 77);
    ASSERT_TRUE(rig.images.WaitFor(1));
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c)
                                  { return c.imagesCompleted + c.abortedByHost == 1; }));
    const Bytes original = image.FileBytes();
    const Bytes rewritten = Q7::Sim::RewrittenImage(original, kBlock);
    const Received received = rig.images.Images()[0];
    EXPECT_TRUE(received.bytes == rewritten || received.bytes == original)
        << "handed over with a rewrite half done";
    std::vector<Q7::KPX::ImageReceivePackage> held = rig.images.TakeHeld();
    ASSERT_EQ(held.size(), 1u);
    const std::uint8_t* const data = held[0].buffer.GetData();
    EXPECT_TRUE(Bytes(data, data + held[0].size) == received.bytes) << "the bytes changed after the hand-over";
    rig.ExpectNoViolations();
}

// Fault: a camera that acknowledged the begin, sent part of an image and went
// quiet with the connection up held a pool buffer and a running progress
// task for ever. After the inactivity limit the transfer is aborted, the
// error reported (0x6500CF), the buffer back in the pool, and the next image
// arrives.
TEST_P(ImageTransferE2e, AQuietTransferIsAbortedAfterItsLimitAndTheNextImageArrives)
{
    CameraTimings timings = ShortTimings();
    timings.imageTransfer.transfer.inactivityMs = 500;
    TransferRig rig(GetParam(), timings);
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.Sender().AddFault({.kind = ImageTransferFaultKind::QuietMidImage, .afterBytes = kBlock});
    rig.Capture(3 * kBlock);
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.abortedByHost == 1; }));
    EXPECT_TRUE(rig.errors.WaitFor(0x6500CF, L"KPX ch4 data transfer (id=1) got no message for 500 ms. Aborting transfer."));
    const SimImage next = rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(1));
    rig.ExpectImage(rig.images.Images()[0], next);
    EXPECT_TRUE(rig.Sender().Counters().hostDataErrors.empty());
    rig.ExpectNoViolations();
}

// Fault: a DataBegin claiming 0xAA800000 bytes made the pool allocate 4 GiB
// (kept for the camera's life, or retried for ever when it failed). Claims
// above the buffer limit (1 GiB by default, lower when the application sets
// it) are refused with a DataAbort before anything is allocated, the error
// is reported (0x6500CD), and the next image arrives.
TEST_P(ImageTransferE2e, AClaimAboveTheBufferLimitIsRefusedReportedAndTheNextImageArrives)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.Sender().AddFault({.kind = ImageTransferFaultKind::HugeMaxDataSize, .maxDataSize = 0xAA800000});
    rig.Capture();
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.abortedByHost == 1; }));
    EXPECT_TRUE(rig.allocator->Sizes().empty()) << "a buffer was allocated for the claim";
    ASSERT_TRUE(rig.errors.WaitForCount(1));
    EXPECT_EQ(rig.errors.Entries()[0].code, 0x6500CDu);

    // A limit of 8 MiB refuses an image of 9 MiB and takes one of 8 MiB.
    rig.camera->SetReceiveBufferLimits(8 * kBlock, 8 * kBlock);
    rig.Capture(9 * kBlock);
    ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.abortedByHost == 2; }));
    const SimImage fits = rig.Capture(8 * kBlock);
    ASSERT_TRUE(rig.images.WaitFor(1));
    rig.ExpectImage(rig.images.Images()[0], fits);
    for (const std::uint32_t size : rig.allocator->Sizes())
        EXPECT_LE(size, 8 * kBlock);
    EXPECT_EQ(rig.errors.Entries().size(), 2u);
    rig.ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Transports, ImageTransferE2e, AllDataPaths(), DataPathParamName);

// ---------------------------------------------------------------------------
// The camera sender's faults: each ends in the answer of the host's receive
// machine, nothing of the faulty transfer is delivered, and the next image
// arrives intact. A fault that closes the sub-channels leaves its image on
// the camera, which sends it again after the reopen.

struct FaultCase
{
    const char* name;
    ImageTransferFault fault;
    std::optional<std::uint32_t> hostError; // the host's DataError, if any
    bool abortedByHost;                     // else by the camera, or the channels closed
    bool resent;                            // the faulty image arrives later, whole
};

const FaultCase kFaultCases[] = {
    {"DataAbortMidImage",
     {.kind = ImageTransferFaultKind::AbortMidImage, .afterBytes = kBlock},
     std::nullopt,
     false,
     false},
    {"StallMidImage",
     {.kind = ImageTransferFaultKind::StallMidImage, .afterBytes = kBlock},
     std::nullopt,
     false,
     true},
    {"DataEndOneByteShort", {.kind = ImageTransferFaultKind::ShortDataEnd}, 0x2000006, true, false},
    {"MaxDataSize2To32", {.kind = ImageTransferFaultKind::HugeMaxDataSize}, std::nullopt, true, false},
    {"BlockBeyondMaxSize",
     {.kind = ImageTransferFaultKind::BlockBeyondMaxSize, .afterBytes = kBlock},
     0x2000004,
     true,
     false},
    {"BlockBeyondItsMessage",
     {.kind = ImageTransferFaultKind::BlockBeyondMessage, .afterBytes = kBlock},
     std::nullopt,
     false,
     true},
    {"SecondDataBeginSameId",
     {.kind = ImageTransferFaultKind::SecondBeginSameId, .afterBytes = kBlock},
     0x2000002,
     true,
     false},
    {"DataErrorMidImage",
     {.kind = ImageTransferFaultKind::DataErrorMidImage, .afterBytes = kBlock},
     std::nullopt,
     true,
     false},
};

class ImageTransferFaultE2e : public ::testing::TestWithParam<std::tuple<DataPath, FaultCase>>
{
protected:
    TestSupport::LogCapture logs;
};

TEST_P(ImageTransferFaultE2e, TheFaultIsAnsweredAndTheNextImageArrivesIntact)
{
    const auto& [transport, c] = GetParam();
    TransferRig rig(transport);
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.Sender().AddFault(c.fault);
    const SimImage faulty = rig.Capture(3 * kBlock + 123);
    ASSERT_TRUE(rig.WaitForSender(
        [&](const ImageTransferCounters& counters)
        {
            return c.resent ? counters.interrupted == 1
                            : (c.abortedByHost ? counters.abortedByHost : counters.abortedByCamera) == 1;
        }));
    const SimImage next = rig.Capture();
    ASSERT_TRUE(rig.images.WaitFor(c.resent ? 2 : 1));
    const std::vector<Received> received = rig.images.Images();
    ASSERT_EQ(received.size(), c.resent ? 2u : 1u);
    if (c.resent)
        rig.ExpectImage(received[0], faulty);
    rig.ExpectImage(received.back(), next);

    const ImageTransferCounters counters = rig.Sender().Counters();
    if (c.hostError)
        EXPECT_EQ(counters.hostDataErrors, std::vector<std::uint32_t>{*c.hostError});
    else
        EXPECT_TRUE(counters.hostDataErrors.empty());
    EXPECT_EQ(counters.faultsApplied, 1u);
    rig.ExpectNoViolations();
}

// Faults that need the host's control thread held in the pool: blocks
// before the DataBeginAck, and a DataAbort followed by a larger DataBegin
// while the buffer for the first is being allocated.
TEST_P(ImageTransferE2e, FaultsBeforeTheAcknowledgementAreAnsweredAndNextImagesArrive)
{
    {
        TransferRig rig(GetParam());
        ASSERT_NO_FATAL_FAILURE(rig.Start());
        rig.allocator->Pause(true);
        rig.Sender().AddFault({.kind = ImageTransferFaultKind::BlocksBeforeAck});
        rig.Capture(2 * kBlock);
        // The blocks may be refused before the control thread reaches the
        // pool: only the answer is waited for.
        ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.abortedByHost == 1; }));
        EXPECT_EQ(rig.Sender().Counters().hostDataErrors.front(), 0x2000002u);
        rig.allocator->Pause(false);
        const SimImage next = rig.Capture();
        ASSERT_TRUE(rig.images.WaitFor(1));
        rig.ExpectImage(rig.images.Images()[0], next);
        rig.ExpectNoViolations();
    }
    {
        TransferRig rig(GetParam());
        ASSERT_NO_FATAL_FAILURE(rig.Start());
        rig.allocator->Pause(true);
        constexpr std::uint64_t kLarger = 0x7000000; // its buffer exceeds the first one's 100 MiB
        constexpr std::uint64_t kSeekTo = 0x6500000;
        rig.Sender().AddFault({.kind = ImageTransferFaultKind::AbortThenLargerBegin,
                               .largerMaxSize = kLarger,
                               .seekTo = kSeekTo,
                               .hold = true});
        const SimImage image = rig.Capture(8192);
        // The control thread asks the pool for the first transfer's buffer;
        // then the camera aborts it and begins the larger one.
        ASSERT_TRUE(rig.allocator->WaitForWaitingAllocation());
        ASSERT_TRUE(rig.WaitForSender([](const ImageTransferCounters& c) { return c.faultsHeld == 1; }));
        rig.Sender().ReleaseHeldFault();
        ASSERT_TRUE(logs.WaitFor(L"KPX ch4 data begin msg (id=2, maxSize=117440512"));
        rig.allocator->Pause(false);
        ASSERT_TRUE(rig.images.WaitFor(1));
        const Received received = rig.images.Images()[0];
        EXPECT_EQ(received.imageId, 2u);
        ASSERT_EQ(received.size, kSeekTo + image.info.imageSize);
        const Bytes file = image.FileBytes();
        EXPECT_TRUE(Bytes(received.bytes.end() - static_cast<std::ptrdiff_t>(file.size()),
                          received.bytes.end()) == file);
        EXPECT_EQ(rig.allocator->Sizes().front(), 100u * 1024 * 1024);
        EXPECT_EQ(rig.allocator->Sizes().size(), 2u);
        EXPECT_GE(rig.allocator->Sizes()[1], kLarger + kLarger / 2);
        rig.ExpectNoViolations();
    }
}

// A DataSeek back and a resend rewrites the buffer's start; a second
// DataBegin of another id is refused while the image goes on.
TEST_P(ImageTransferE2e, SeeksAndForeignBeginsLeaveTheImageIntact)
{
    TransferRig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.Sender().AddFault({.kind = ImageTransferFaultKind::SeekBackAndResend, .afterBytes = 2 * kBlock});
    rig.Sender().AddFault({.kind = ImageTransferFaultKind::SecondBeginOtherId, .afterBytes = kBlock});
    const SimImage first = rig.Capture(3 * kBlock + 5);
    const SimImage second = rig.Capture(3 * kBlock + 7);
    ASSERT_TRUE(rig.images.WaitFor(2));
    rig.ExpectImage(rig.images.Images()[0], first);
    rig.ExpectImage(rig.images.Images()[1], second);
    EXPECT_EQ(rig.Sender().Counters().hostDataErrors, std::vector<std::uint32_t>{0x2000002});
    EXPECT_EQ(rig.Sender().Counters().bytesSent, first.info.imageSize + 2 * kBlock + second.info.imageSize);
    rig.ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Faults, ImageTransferFaultE2e,
                         ::testing::Combine(AllDataPaths(), ::testing::ValuesIn(kFaultCases)),
                         [](const ::testing::TestParamInfo<std::tuple<DataPath, FaultCase>>& param)
                         { return DataPathName(std::get<0>(param.param)) + "_" + std::get<1>(param.param).name; });

// The camera-level image receivers: both are called, the function object
// first, with the same arguments; one that throws keeps the other from
// nothing and is logged.
TEST(ImageTransferCameraTest, DeliverImageCallsBothReceiversAndSurvivesAThrow)
{
    TestSupport::LogCapture logs;
    Q7::KPX::Transport::DeviceMoniker moniker;
    moniker.type = Q7::KPX::Transport::kMonikerType_Tcp;
    moniker.tcp.address = 0x7F000001;
    moniker.tcp.port = 1;
    Camera camera(moniker);

    struct Object
    {
        void Receive(std::uint32_t imageId, const char* name, const std::uint8_t* data, std::uint32_t size,
                     const Q7::KPX::BufferPtr& buffer)
        {
            calls.push_back("object " + std::to_string(imageId) + " " + name + " " + std::to_string(size) +
                            " " + std::to_string(data == buffer.GetData()));
            throw std::runtime_error("receiver failed");
        }
        std::vector<std::string> calls;
    } object;
    std::vector<std::string> calls;
    camera.SetImageReceiver(Camera::ImageReceiver(&object, &Object::Receive));
    camera.SetImageReceiver(
        [&](std::uint32_t imageId, const char* name, const std::uint8_t* data, std::uint32_t size,
            const Q7::KPX::BufferPtr& buffer)
        {
            calls.push_back("function " + std::to_string(imageId) + " " + name + " " + std::to_string(size) +
                            " " + std::to_string(data == buffer.GetData()));
        });

    Q7::KPX::BufferPool pool(std::make_shared<Q7::KPX::Allocator>(), 1, 0x400000, L"test ");
    Q7::KPX::BufferPtr buffer = pool.GetBuffer(16, nullptr);
    camera.DeliverImage(9, "A.JPG", buffer.GetData(), 16, buffer);
    EXPECT_EQ(object.calls, std::vector<std::string>{"object 9 A.JPG 16 1"});
    EXPECT_EQ(calls, std::vector<std::string>{"function 9 A.JPG 16 1"});
    EXPECT_EQ(logs.Count(L"KPX camera image receiver"), 1u);

    camera.SetImageReceiver(Camera::ImageReceiver());
    camera.SetImageReceiver(Camera::ImageReceiverFunction());
    camera.DeliverImage(10, "B.JPG", buffer.GetData(), 16, buffer);
    EXPECT_EQ(object.calls.size(), 1u);
    EXPECT_EQ(calls.size(), 1u);
}

} // namespace
