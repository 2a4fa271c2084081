#include "SdkLog.h"
#include "LastError.h"
#include "SdkLogCapture.h"

#include "Q7UniversalLogMsg.h"

#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Q7::Tavrin;
using namespace Q7::TavrinC;
using TestSupport::SdkLogCapture;
using TestSupport::SdkLogLine;

namespace
{

// Every test leaves the process-wide log as it found it: silent, not verbose.
class SdkLogTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        Q7::TavrinC::EnablePG13(false);
        ClearSdkLoggingHandler();
    }
};

struct HandledLine
{
    std::string text;
    LogMessageLevel level;

    bool operator==(const HandledLine&) const = default;
};

// Catches an echo that is not byte for byte the documented line, a success
// that is echoed, a null text that crashes or is stored as "null", a re-report
// that changes the record, and a record shared between threads.
TEST_F(SdkLogTest, RecordsAndEchoesFailuresOnly)
{
    struct Case
    {
        ErrorCode code;
        const char* message;
        const char* source;
        const char* stored;
        std::vector<SdkLogLine> echo;
    };
    const std::vector<Case> cases = {
        {CameraNotOpen,
         "The camera is not open",
         "Sdk::GetInstance",
         "The camera is not open",
         {{2, "Sdk::GetInstance                : ErrorCode=-10 \"The camera is not open\"\n"}}},
        {PropertyNotOnCamera,
         "",
         "Q7::TavrinC::CloseCamera",
         "",
         {{2, "Q7::TavrinC::CloseCamera        : ErrorCode=-24 \"\"\n"}}},
        {GeneralError,
         "x",
         "Q7::TavrinC::DisableAllNotificationsUnsafe",
         "x",
         {{2, "Q7::TavrinC::DisableAllNotificationsUnsafe: ErrorCode=-1 \"x\"\n"}}},
        {PropertyDisabled,
         nullptr,
         nullptr,
         "",
         {{2, "?                               : ErrorCode=-200 \"null\"\n"}}},
        {Success, "SDK is already open", "Q7::TavrinC::OpenSdk", "SDK is already open", {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.stored);
        SdkLogCapture capture;
        EXPECT_EQ(SetLastErrorInfo(c.code, c.message, c.source), c.code);
        EXPECT_EQ(capture.Lines(), c.echo);
        EXPECT_EQ(GetErrorCode(), c.code);
        EXPECT_STREQ(GetErrorMessage(), c.stored);
    }

    SetLastErrorInfo(SdkNotOpen, "SDK not open (closing)", "Sdk::GetInstance");
    SdkLogCapture capture;
    EXPECT_EQ(ReportCurrentError("Q7::TavrinC::CloseSdk"), SdkNotOpen);
    EXPECT_STREQ(GetErrorMessage(), "SDK not open (closing)");
    EXPECT_EQ(capture.Lines(),
              (std::vector<SdkLogLine>{
                  {2, "Q7::TavrinC::CloseSdk           : ErrorCode=-3 \"SDK not open (closing)\"\n"}}));

    std::string otherThread;
    std::thread(
        [&]
        {
            otherThread = std::to_string(GetErrorCode()) + " \"" + GetErrorMessage() + "\"";
            SetLastErrorInfo(CameraNotFound, "No such camera", "SdkLogTest");
        })
        .join();
    EXPECT_EQ(otherThread, "0 \"\"");
    EXPECT_EQ(GetErrorCode(), SdkNotOpen);
}

// Catches a copy beyond the buffer (a negative size taken as a huge bound), a
// missing terminator, and a code not handed out.
TEST_F(SdkLogTest, GetLastErrorCopiesWithinTheBuffer)
{
    SetLastErrorInfo(PropertyDisabled, "Property is disabled", "SdkLogTest");
    const std::vector<std::pair<int, std::string>> cases = {
        {8, "Propert"},  {1, ""},          {21, "Property is disabled"},
        {0, "########"}, {-1, "########"}, {-100, "########"},
    };
    for (const auto& [size, expected] : cases)
    {
        SCOPED_TRACE(size);
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        buffer[8] = '\0';
        ErrorCode code = Success;
        EXPECT_EQ(GetLastError(code, buffer, size), PropertyDisabled);
        EXPECT_EQ(code, PropertyDisabled);
        EXPECT_EQ(std::string(buffer), expected);
    }
    ErrorCode code = Success;
    EXPECT_EQ(GetLastError(code, nullptr, 8), PropertyDisabled);
    EXPECT_EQ(code, PropertyDisabled);
}

// Catches a wrong level map, tracing that leaks out of verbose mode, a dropped
// level that still reaches the handler, and a long line that overflows or
// loses its terminator.
TEST_F(SdkLogTest, HandlerReceivesMappedLevelsAndCutLines)
{
    struct Case
    {
        int level;
        bool verbose;
        std::string text;
        std::vector<HandledLine> expected;
    };
    const std::string longText(5000, 'x');
    const std::vector<Case> cases = {
        {1, false, "a", {{"a", LogMessageLevel::Error}}},
        {2, false, "b", {{"b", LogMessageLevel::Warning}}},
        {3, false, "c", {{"c", LogMessageLevel::Info}}},
        {4, false, "d", {{"d", LogMessageLevel::Info}}},
        {5, false, "e", {{"e", LogMessageLevel::Debug}}},
        {6, false, "f", {}},
        {6, true, "g", {{"g", LogMessageLevel::Debug}}},
        {7, true, "h", {{"h", LogMessageLevel::Debug}}},
        {0, false, "i", {}},
        {-1, true, "j", {}},
        {1, false, longText, {{std::string(4095, 'x'), LogMessageLevel::Error}}},
    };
    std::vector<HandledLine> lines;
    SetSdkLoggingHandler([&](const char* line, LogMessageLevel level) { lines.push_back({line, level}); });
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << "level " << c.level << (c.verbose ? " verbose" : ""));
        Q7::TavrinC::EnablePG13(c.verbose);
        lines.clear();
        SdkLog(c.level, "%s", c.text.c_str());
        EXPECT_EQ(lines, c.expected);
    }
}

void ThrowingPrinter(int, const char*, va_list)
{
    throw std::runtime_error("printer failed");
}

// Catches a clear that leaves an earlier printer installed, a printer that
// does not replace the handler's dispatch, and an application's exception
// escaping into a library thread or a destructor through the log.
TEST_F(SdkLogTest, PrinterAndHandlerReplaceEachOther)
{
    std::vector<HandledLine> handled;
    SdkLogCapture capture;
    SetSdkLoggingHandler([&](const char* line, LogMessageLevel level) { handled.push_back({line, level}); });
    SdkLog(2, "to the handler\n");
    ClearSdkLoggingHandler();
    SdkLog(1, "to nobody\n");
    SetMessagePrinter(&SdkLogCapture::Print);
    SdkLog(1, "to the printer\n");
    EXPECT_EQ(handled, (std::vector<HandledLine>{{"to the handler\n", LogMessageLevel::Warning}}));
    EXPECT_EQ(capture.Lines(), (std::vector<SdkLogLine>{{1, "to the printer\n"}}));

    SetMessagePrinter(&ThrowingPrinter);
    EXPECT_NO_THROW(SetLastErrorInfo(GeneralError, "lost", "SdkLogTest"));
    SetSdkLoggingHandler([](const char*, LogMessageLevel) { throw 7; });
    EXPECT_NO_THROW(SdkLog(1, "lost\n"));
}

// Catches the utility log reaching the SDK log outside verbose mode, a route
// registered twice or left behind, a type routed at the wrong level or without
// its prefix, and text not converted to UTF-8.
TEST_F(SdkLogTest, UtilityLogIsRoutedOnlyWhileVerbose)
{
    SdkLogCapture capture;
    const auto routed = [&]
    {
        std::vector<SdkLogLine> found;
        for (const SdkLogLine& line : capture.Lines())
        {
            const auto at = line.text.find("| Warning: routed");
            if (at != std::string::npos)
            {
                found.push_back({line.level, line.text.substr(at)});
            }
        }
        return found;
    };
    Q7::Universal::LogWarning(L"routed %d", 1);
    Q7::TavrinC::EnablePG13(true);
    Q7::Tavrin::EnablePG13(true);
    Q7::Universal::LogWarning(L"routed %d", 2);
    Q7::TavrinC::EnablePG13(false);
    Q7::Universal::LogWarning(L"routed %d", 3);
    EXPECT_EQ(routed(), (std::vector<SdkLogLine>{{2, "| Warning: routed 2\n"}}));
    EXPECT_EQ(capture.Count("\n\tEnabling Rated PG-13 log content - Parental Discretion Iz Advised!\n\n"), 2);

    const std::vector<std::pair<std::uint32_t, SdkLogLine>> cases = {
        {1, {5, "t\xC3\xA9xt"}},
        {2, {4, "t\xC3\xA9xt"}},
        {4, {2, "t\xC3\xA9xt"}},
        {8, {1, "t\xC3\xA9xt"}},
        {16, {1, "INTERNAL ERROR: t\xC3\xA9xt"}},
        {32, {1, "ASSERT FAILED: t\xC3\xA9xt"}},
        {64, {2, "PG-13 rated log content received unsupported LogMsgType!"}},
    };
    for (const auto& [type, expected] : cases)
    {
        SCOPED_TRACE(type);
        capture.Clear();
        RouteUniversalLogMessage(static_cast<Q7::Universal::EnumLogMsgType>(type), L"t\u00E9xt");
        EXPECT_EQ(capture.Lines(), std::vector<SdkLogLine>{expected});
    }
}

// Run under tsan and asan: catches a handler destroyed while another thread is
// inside it, and unsynchronised exchanges of printer and handler.
TEST_F(SdkLogTest, HandlerSetAndClearedWhileEightThreadsLog)
{
    constexpr int kThreads = 8;
    std::atomic<bool> stop{false};
    std::latch started(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                started.arrive_and_wait();
                while (!stop.load())
                {
                    SdkLog(1 + t % 5, "thread %d\n", t);
                }
            });
    }
    started.arrive_and_wait();
    for (int round = 0; round < 10000; ++round)
    {
        // Each handler owns state that dies with it: a call on a destroyed
        // handler touches freed memory.
        auto state = std::make_shared<std::vector<int>>(4, round);
        SetSdkLoggingHandler(
            [state](const char* line, LogMessageLevel)
            {
                volatile int last = (*state)[3] + line[0];
                (void)last;
            });
        if (round % 2 == 0)
        {
            ClearSdkLoggingHandler();
        }
    }
    // Every thread still logs through the handler installed last.
    std::mutex mutex;
    std::condition_variable changed;
    unsigned seen = 0; // one bit per thread; guarded by mutex
    SetSdkLoggingHandler(
        [&](const char* line, LogMessageLevel)
        {
            const int t = std::atoi(line + std::strlen("thread "));
            {
                std::lock_guard<std::mutex> lock(mutex);
                seen |= 1u << t;
            }
            changed.notify_all();
        });
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen == (1u << kThreads) - 1; }))
            << "threads seen: " << seen;
    }
    stop = true;
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    ClearSdkLoggingHandler();
}

} // namespace
