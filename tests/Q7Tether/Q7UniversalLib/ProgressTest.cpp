// Progress tasks and providers.

#include "LogCapture.h"
#include "Q7UniversalProgress.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace std::chrono_literals;
using Q7::Universal::ProgressCallback;
using Q7::Universal::ProgressInfo;
using Q7::Universal::ProgressProvider;
using Q7::Universal::ProgressTask;
using TestSupport::LogCapture;

namespace
{

// A provider whose owner records every notification's position.
class Recorder
{
public:
    explicit Recorder(ProgressProvider& provider)
    {
        provider.SetProgressCallback(ProgressCallback(this, &Recorder::OnProgress));
    }
    void OnProgress(const ProgressTask& task)
    {
        positions.push_back(task.GetPosition());
        infos.push_back(task.GetInfo());
        if (throwNext)
            throw std::runtime_error("owner failed");
    }

    std::vector<uint64_t> positions;
    std::vector<ProgressInfo> infos;
    bool throwNext = false;
};

} // namespace

TEST(ProgressTaskTest, IdsAreUniqueAndIncreasing)
{
    ProgressTask first(1, nullptr);
    ProgressTask second(1, nullptr);
    EXPECT_GE(first.GetId(), 1u);
    EXPECT_EQ(second.GetId(), first.GetId() + 1);
}

TEST(ProgressTaskTest, PositionIsClampedToTotal)
{
    ProgressTask task(1, nullptr);
    task.SetPosition(10);
    EXPECT_EQ(task.GetPosition(), 0u) << "total 0";
    task.SetTotal(100);
    task.SetPosition(150);
    EXPECT_EQ(task.GetPosition(), 100u);
    task.SetTotal(40);
    EXPECT_EQ(task.GetPosition(), 40u);
    task.Start(1000, 2000);
    EXPECT_EQ(task.GetTotal(), 1000u);
    EXPECT_EQ(task.GetPosition(), 1000u);
}

TEST(ProgressTaskTest, PercentOfTotal)
{
    ProgressTask task(1, nullptr);
    EXPECT_EQ(task.GetPercent(), 0.0);
    task.SetTotal(3);
    task.SetPosition(1);
    EXPECT_NEAR(task.GetPercent(), 33.3333333, 1e-6);
}

TEST(ProgressTaskTest, StepZeroNotifiesEveryUpdate)
{
    ProgressProvider provider;
    Recorder recorder(provider);
    ProgressTask task(1, &provider);
    task.Start(100, 0);
    task.UpdatePosition(5, 0);
    task.UpdatePosition(5, 0);
    EXPECT_EQ(recorder.positions, (std::vector<uint64_t>{0, 5, 5}));
}

// With step 1000: 0, 500, 999 are too small, 1000 notifies, 1500 not, 2000 does,
// and a move back by at least the step notifies too.
TEST(ProgressTaskTest, StepNotifiesOnlyOnLargeEnoughMoves)
{
    ProgressProvider provider;
    Recorder recorder(provider);
    ProgressTask task(1, &provider);
    task.Start(10000, 0);
    for (uint64_t position : {0u, 500u, 999u, 1000u, 1500u, 2000u, 1500u, 1000u})
        task.UpdatePosition(position, 1000);
    EXPECT_EQ(recorder.positions, (std::vector<uint64_t>{0, 1000, 2000, 1000}));
}

TEST(ProgressTaskTest, StopCompletedAndNotCompleted)
{
    ProgressProvider provider;
    Recorder recorder(provider);
    ProgressTask task(1, &provider);
    task.Start(100, 10);
    task.Stop(true);
    EXPECT_EQ(task.GetPosition(), 100u);
    EXPECT_TRUE(task.IsCompleted());
    EXPECT_FALSE(task.IsAborted());
    EXPECT_FALSE(task.IsRunning());

    task.Start(100, 10);
    EXPECT_FALSE(task.IsCompleted()) << "Start clears completed";
    task.Stop(false);
    EXPECT_EQ(task.GetPosition(), 10u);
    EXPECT_FALSE(task.IsCompleted());
    EXPECT_TRUE(task.IsAborted());

    const size_t notifications = recorder.positions.size();
    task.Stop(true);
    EXPECT_EQ(recorder.positions.size(), notifications) << "a stopped task is left alone";
    EXPECT_FALSE(task.IsCompleted());
}

TEST(ProgressTaskTest, CancelRespectsCancelable)
{
    ProgressTask task(1, nullptr);
    task.Start(10, 0);
    task.SetCancelable(false);
    task.Cancel();
    EXPECT_FALSE(task.IsAborted());
    task.SetCancelable(true);
    task.Cancel();
    EXPECT_TRUE(task.IsAborted());
    task.Start();
    EXPECT_FALSE(task.IsAborted()) << "Start clears aborted";
}

// The aborted flag is written by Cancel on one thread and read by the transfer
// on another: it must be seen, and without a data race.
TEST(ProgressTaskTest, CancelFromAnotherThreadIsSeen)
{
    ProgressProvider provider;
    ProgressTask task(7, &provider);
    task.Start(1000000, 0);
    std::promise<void> running;
    auto transfer = std::async(std::launch::async,
                               [&]
                               {
                                   running.set_value();
                                   uint64_t position = 0;
                                   while (!task.IsAborted())
                                       task.UpdatePosition(++position % 1000000, 100000);
                                   return true;
                               });
    ASSERT_EQ(running.get_future().wait_for(5s), std::future_status::ready);
    provider.CancelTask(7, task.GetId());
    ASSERT_EQ(transfer.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(transfer.get());
}

TEST(ProgressTaskTest, InfoSnapshotCopiesEverything)
{
    ProgressTask task(3, nullptr);
    task.SetName(L"Image transfer");
    task.SetDescription(L"IMG_0001.raw");
    task.Start(200, 50);
    task.Cancel();
    task.Stop(false);
    const ProgressInfo info = task.GetInfo();
    EXPECT_EQ(info.type, 3u);
    EXPECT_EQ(info.id, task.GetId());
    EXPECT_STREQ(info.name.c_str(), L"Image transfer");
    EXPECT_STREQ(info.description.c_str(), L"IMG_0001.raw");
    EXPECT_STREQ(info.details.c_str(), L"");
    EXPECT_EQ(info.position, 50u);
    EXPECT_EQ(info.total, 200u);
    EXPECT_FALSE(info.completed);
    EXPECT_TRUE(info.aborted);
    EXPECT_EQ(info.elapsedMs, task.GetElapsedMs());
    ProgressInfo assigned;
    assigned = info;
    EXPECT_TRUE(assigned.aborted);
    EXPECT_STREQ(assigned.name.c_str(), L"Image transfer");
}

TEST(ProgressTaskTest, ElapsedTimeAccumulatesOnlyWhileRunning)
{
    ProgressTask task(1, nullptr);
    EXPECT_EQ(task.GetElapsedMs(), 0u);
    task.Start(10, 0);
    Q7::Platform::EventCondition_Posix never;
    Q7::Platform::WaitForObject(&never, 30); // let measurable time pass
    task.Stop(true);
    const uint32_t elapsed = task.GetElapsedMs();
    EXPECT_GE(elapsed, 25u);
    EXPECT_LT(elapsed, 5000u);
    Q7::Platform::WaitForObject(&never, 20);
    EXPECT_EQ(task.GetElapsedMs(), elapsed) << "a stopped task's time stands still";
}

// A task destroyed while running tells its provider it stopped without completing,
// and is no longer listed.
TEST(ProgressTaskTest, DestructorStopsAndDetaches)
{
    ProgressProvider provider;
    Recorder recorder(provider);
    uint32_t id = 0;
    {
        ProgressTask task(5, &provider);
        id = task.GetId();
        task.Start(10, 0);
    }
    ASSERT_EQ(recorder.infos.size(), 2u);
    EXPECT_TRUE(recorder.infos.back().aborted);
    EXPECT_NO_FATAL_FAILURE(provider.CancelTask(5, id)); // nothing listed any more
}

TEST(ProgressProviderTest, SameTypeAndIdIsListedOnce)
{
    ProgressProvider provider;
    ProgressProvider other;
    ProgressTask task(2, &provider);
    provider.AddTask(&task); // a second AddTask is ignored
    provider.RemoveTask(&task);
    task.Start(10, 0);
    provider.CancelTask(2, task.GetId());
    EXPECT_FALSE(task.IsAborted()) << "one RemoveTask took the only entry";
    task.SetProvider(&other);
    other.CancelTask(2, task.GetId() + 1);
    EXPECT_FALSE(task.IsAborted()) << "another id must not match";
    other.CancelTask(3, task.GetId());
    EXPECT_FALSE(task.IsAborted()) << "another type must not match";
    other.CancelTask(2, task.GetId());
    EXPECT_TRUE(task.IsAborted());
}

TEST(ProgressProviderTest, HolderFirstThenFunctionAndEmptyClears)
{
    ProgressProvider provider;
    std::vector<int> order;
    struct Owner
    {
        std::vector<int>* order;
        void OnProgress(const ProgressTask&) { order->push_back(1); }
    } owner{&order};
    provider.SetProgressCallback(ProgressCallback(&owner, &Owner::OnProgress));
    provider.SetProgressCallback([&](const ProgressTask&) { order.push_back(2); });
    ProgressTask task(1, &provider);
    task.Start(1, 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    provider.SetProgressCallback(ProgressCallback());
    provider.SetProgressCallback(std::function<void(const ProgressTask&)>());
    task.Stop(true);
    EXPECT_EQ(order.size(), 2u);
}

// An exception from a progress callback must not reach the transfer's thread.
TEST(ProgressProviderTest, ThrowingCallbackIsLoggedAndAbsorbed)
{
    LogCapture log;
    ProgressProvider provider;
    Recorder recorder(provider);
    int functionCalls = 0;
    provider.SetProgressCallback([&](const ProgressTask&) { ++functionCalls; });
    ProgressTask task(1, &provider);
    recorder.throwNext = true;
    EXPECT_NO_THROW(task.Start(10, 0));
    EXPECT_EQ(functionCalls, 0);
    EXPECT_EQ(
        log.Count(L"Error: Ignoring exception thrown from progress callback. - (101#203) General error: An "
                  L"unexpected exception occurred.\n",
                  Q7::Universal::kLogMsgType_Error),
        1u);
    recorder.throwNext = false;
    task.Stop(true);
    EXPECT_EQ(functionCalls, 1);
}
