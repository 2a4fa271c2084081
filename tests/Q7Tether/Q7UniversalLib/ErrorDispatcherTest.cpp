// Error dispatch to the owner's callbacks.

#include "LogCapture.h"
#include "Q7UniversalErrorDispatcher.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using Q7::Universal::ErrorCallback;
using Q7::Universal::ErrorDispatcher;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalError;
using TestSupport::LogCapture;

namespace
{

// An owner in the style of the KPX camera: its member is the error callback.
class Owner
{
public:
    void OnError(const UniversalError& error)
    {
        m_codes.push_back(error.GetCode());
        m_order.push_back(L"holder");
        if (m_throw)
            throw std::runtime_error("owner failed");
    }
    ErrorCallback Callback() { return ErrorCallback(this, &Owner::OnError); }

    std::vector<uint32_t> m_codes;
    std::vector<std::wstring> m_order;
    bool m_throw = false;
};

} // namespace

TEST(ErrorDispatcherTest, WithoutCallbackTheErrorIsDroppedSilently)
{
    LogCapture log;
    ErrorDispatcher dispatcher;
    dispatcher.DispatchError(ModuleError(Q7::Universal::kError_InvalidState));
    EXPECT_TRUE(log.Captured().empty());
}

TEST(ErrorDispatcherTest, HolderFirstThenFunction)
{
    Owner owner;
    ErrorDispatcher dispatcher;
    dispatcher.SetErrorCallback(owner.Callback());
    dispatcher.SetErrorCallback(
        [&](const UniversalError& error)
        {
            owner.m_order.push_back(L"function");
            owner.m_codes.push_back(error.GetCode() + 1000);
        });
    dispatcher.DispatchError(ModuleError(Q7::Universal::kError_InvalidState));
    EXPECT_EQ(owner.m_order, (std::vector<std::wstring>{L"holder", L"function"}));
    EXPECT_EQ(owner.m_codes, (std::vector<uint32_t>{0x66, 0x66 + 1000}));
}

// An exception from a callback must not reach the dispatching thread; it is
// logged once, the function is skipped for that error, and the next error is
// delivered normally.
TEST(ErrorDispatcherTest, ThrowingCallbackIsLoggedOnceAndNextErrorDelivered)
{
    LogCapture log;
    Owner owner;
    int functionCalls = 0;
    ErrorDispatcher dispatcher;
    dispatcher.SetErrorCallback(owner.Callback());
    dispatcher.SetErrorCallback([&](const UniversalError&) { ++functionCalls; });
    owner.m_throw = true;
    EXPECT_NO_THROW(dispatcher.DispatchError(ModuleError(Q7::Universal::kError_InvalidState)));
    EXPECT_EQ(functionCalls, 0);
    const auto lines = log.Captured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].type, Q7::Universal::kLogMsgType_Error);
    EXPECT_NE(lines[0].line.find(
                  L"| Error: Ignoring exception thrown from error callback. - (101#203) General error: "
                  L"An unexpected exception occurred.\n"),
              std::wstring::npos)
        << std::wstring(lines[0].line);

    owner.m_throw = false;
    dispatcher.DispatchError(ModuleError(Q7::Universal::kError_NotOpen));
    EXPECT_EQ(owner.m_codes.back(), 0x6Bu);
    EXPECT_EQ(functionCalls, 1);
    EXPECT_EQ(log.Captured().size(), 1u);
}

TEST(ErrorDispatcherTest, ThrowingFunctionIsAbsorbedToo)
{
    LogCapture log;
    ErrorDispatcher dispatcher;
    dispatcher.SetErrorCallback([](const UniversalError&) { throw 42; });
    EXPECT_NO_THROW(dispatcher.DispatchError(ModuleError(Q7::Universal::kError_InvalidState)));
    EXPECT_EQ(log.Count(L"Ignoring exception thrown from error callback."), 1u);
}

TEST(ErrorDispatcherTest, EmptyCallbacksClear)
{
    Owner owner;
    int functionCalls = 0;
    ErrorDispatcher dispatcher;
    dispatcher.SetErrorCallback(owner.Callback());
    dispatcher.SetErrorCallback([&](const UniversalError&) { ++functionCalls; });
    dispatcher.SetErrorCallback(ErrorCallback());
    dispatcher.SetErrorCallback(std::function<void(const UniversalError&)>());
    dispatcher.DispatchError(ModuleError(Q7::Universal::kError_InvalidState));
    EXPECT_TRUE(owner.m_codes.empty());
    EXPECT_EQ(functionCalls, 0);
}

// DispatchError must reach an overriding OnError through its virtual slot.
TEST(ErrorDispatcherTest, DispatchGoesThroughTheVirtualSlots)
{
    struct Counting : ErrorDispatcher
    {
        int errors = 0;
        void OnError(const UniversalError& error) override
        {
            ++errors;
            ErrorDispatcher::OnError(error);
        }
    } dispatcher;
    ErrorDispatcher& base = dispatcher;
    base.DispatchError(ModuleError(Q7::Universal::kError_InvalidState));
    EXPECT_EQ(dispatcher.errors, 1);
}

// After SetErrorCallback returns, the old callback must never be called again:
// the setter waits for a dispatch that is running.
TEST(ErrorDispatcherTest, SetterWaitsForRunningDispatch)
{
    ErrorDispatcher dispatcher;
    std::promise<void> entered;
    std::promise<void> leave;
    auto leaveFuture = leave.get_future().share();
    std::atomic<int> oldCalls{0};
    std::atomic<int> newCalls{0};
    dispatcher.SetErrorCallback(
        [&](const UniversalError&)
        {
            if (oldCalls++ == 0)
            {
                entered.set_value();
                leaveFuture.wait();
            }
        });
    auto dispatch = std::async(std::launch::async,
                               [&] { dispatcher.DispatchError(ModuleError(Q7::Universal::kError_NotOpen)); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    auto replace = std::async(std::launch::async, [&]
                              { dispatcher.SetErrorCallback([&](const UniversalError&) { ++newCalls; }); });
    EXPECT_EQ(replace.wait_for(50ms), std::future_status::timeout) << "must wait for the running dispatch";
    leave.set_value();
    ASSERT_EQ(replace.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(dispatch.wait_for(5s), std::future_status::ready);
    dispatcher.DispatchError(ModuleError(Q7::Universal::kError_NotOpen));
    EXPECT_EQ(oldCalls, 1);
    EXPECT_EQ(newCalls, 1);
}

// Errors of several threads are delivered one at a time.
TEST(ErrorDispatcherTest, ConcurrentDispatchesAreSerialised)
{
    ErrorDispatcher dispatcher;
    int inside = 0; // guarded by the dispatcher's own serialisation
    int delivered = 0;
    bool overlap = false;
    dispatcher.SetErrorCallback(
        [&](const UniversalError&)
        {
            if (++inside != 1)
                overlap = true;
            ++delivered;
            --inside;
        });
    std::vector<std::future<void>> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.push_back(std::async(std::launch::async,
                                     [&]
                                     {
                                         for (int i = 0; i < 500; ++i)
                                             dispatcher.DispatchError(
                                                 ModuleError(Q7::Universal::kError_InvalidState));
                                     }));
    }
    for (auto& thread : threads)
        ASSERT_EQ(thread.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(overlap);
    EXPECT_EQ(delivered, 2000);
}
