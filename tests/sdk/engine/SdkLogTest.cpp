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
        SetMessagePrinter(nullptr);
    }
};

struct HandledLine
{
    std::string text;
    LogMessageLevel level;

    bool operator==(const HandledLine&) const = default;
};

// A logging handler that keeps what it receives.
class HandlerRecord
{
public:
    SdkLoggingHandler Handler()
    {
        return [this](const char* line, LogMessageLevel level)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back({line, level});
        };
    }
    std::vector<HandledLine> Lines()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    std::mutex m_mutex; // guards m_lines
    std::vector<HandledLine> m_lines;
};

struct EchoCase
{
    ErrorCode code;
    const char* message;
    const char* source;
    const char* storedMessage;
    std::vector<SdkLogLine> echo;
};

// Catches an echo that is not byte for byte the documented line, a success
// that is echoed, and a null text that crashes or is stored as "null".
TEST_F(SdkLogTest, RecordsAndEchoesFailuresOnly)
{
    const std::vector<EchoCase> cases = {
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
    for (const EchoCase& c : cases)
    {
        SCOPED_TRACE(c.source != nullptr ? c.source : "null source");
        SdkLogCapture capture;
        EXPECT_EQ(SetLastErrorInfo(c.code, c.message, c.source), c.code);
        EXPECT_EQ(capture.Lines(), c.echo);
        EXPECT_EQ(GetErrorCode(), c.code);
        EXPECT_STREQ(GetErrorMessage(), c.storedMessage);
    }
}

// Catches a re-report that changes code or message, or is not echoed under
// its new source.
TEST_F(SdkLogTest, ReportCurrentErrorRepeatsTheRecordUnderANewSource)
{
    SetLastErrorInfo(SdkNotOpen, "SDK not open (closing)", "Sdk::GetInstance");
    SdkLogCapture capture;
    EXPECT_EQ(ReportCurrentError("Q7::TavrinC::CloseSdk"), SdkNotOpen);
    EXPECT_STREQ(GetErrorMessage(), "SDK not open (closing)");
    EXPECT_EQ(capture.Lines(),
              (std::vector<SdkLogLine>{
                  {2, "Q7::TavrinC::CloseSdk           : ErrorCode=-3 \"SDK not open (closing)\"\n"}}));
}

// Catches a record shared between threads: another thread starts at 0 with an
// empty message and does not disturb this one.
TEST_F(SdkLogTest, LastErrorIsPerThread)
{
    SetLastErrorInfo(PropertyDisabled, "Property is disabled", "SdkLogTest");
    ErrorCode otherCode = GeneralError;
    std::string otherMessage = "unset";
    std::thread other(
        [&]
        {
            otherCode = GetErrorCode();
            otherMessage = GetErrorMessage();
            SetLastErrorInfo(CameraNotFound, "No such camera", "SdkLogTest");
        });
    other.join();
    EXPECT_EQ(otherCode, Success);
    EXPECT_EQ(otherMessage, "");
    EXPECT_EQ(GetErrorCode(), PropertyDisabled);
    EXPECT_STREQ(GetErrorMessage(), "Property is disabled");
}

// Catches a copy beyond the buffer (a negative size taken as a huge bound), a
// missing terminator, and a code not handed out.
TEST_F(SdkLogTest, GetLastErrorCopiesWithinTheBuffer)
{
    SetLastErrorInfo(PropertyDisabled, "Property is disabled", "SdkLogTest");
    const std::vector<std::pair<int, std::string>> cases = {
        {8, "Propert"},  {1, ""},          {21, "Property is disabled"}, {100, "Property is disabled"},
        {0, "########"}, {-1, "########"}, {-100, "########"},
    };
    for (const auto& [size, expected] : cases)
    {
        SCOPED_TRACE(size);
        char buffer[128];
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

struct LevelCase
{
    int level;
    bool verbose;
    bool delivered;
    LogMessageLevel expected;
};

// Catches a wrong level map, tracing that leaks out of verbose mode, and a
// dropped level that still reaches the handler.
TEST_F(SdkLogTest, HandlerReceivesMappedLevels)
{
    const std::vector<LevelCase> cases = {
        {1, false, true, LogMessageLevel::Error},  {2, false, true, LogMessageLevel::Warning},
        {3, false, true, LogMessageLevel::Info},   {4, false, true, LogMessageLevel::Info},
        {5, false, true, LogMessageLevel::Debug},  {6, false, false, LogMessageLevel::Debug},
        {6, true, true, LogMessageLevel::Debug},   {7, true, true, LogMessageLevel::Debug},
        {0, false, false, LogMessageLevel::Error}, {-1, true, false, LogMessageLevel::Error},
    };
    HandlerRecord record;
    SetSdkLoggingHandler(record.Handler());
    for (const LevelCase& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << "level " << c.level << (c.verbose ? " verbose" : ""));
        Q7::TavrinC::EnablePG13(c.verbose);
        record.Clear();
        SdkLog(c.level, "line %d of %s\n", c.level, "the test");
        const std::vector<HandledLine> expected =
            c.delivered
                ? std::vector<HandledLine>{{"line " + std::to_string(c.level) + " of the test\n", c.expected}}
                : std::vector<HandledLine>{};
        std::vector<HandledLine> lines = record.Lines();
        std::erase_if(lines,
                      [](const HandledLine& line) { return line.text.find("PG-13") != std::string::npos; });
        EXPECT_EQ(lines, expected);
    }
}

// Catches a buffer overflow or a lost terminator for a line above the limit.
TEST_F(SdkLogTest, HandlerLinesAreCutAt4095)
{
    HandlerRecord record;
    SetSdkLoggingHandler(record.Handler());
    const std::string longText(5000, 'x');
    SdkLog(1, "%s", longText.c_str());
    const std::vector<HandledLine> lines = record.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(4095, 'x'));
}

// Catches a clear that leaves a printer installed earlier, and a printer set
// later that does not replace the handler's dispatch.
TEST_F(SdkLogTest, PrinterAndHandlerReplaceEachOther)
{
    HandlerRecord record;
    SdkLogCapture capture;
    SetSdkLoggingHandler(record.Handler());
    SdkLog(2, "to the handler\n");
    ClearSdkLoggingHandler();
    SdkLog(1, "to nobody\n");
    SetMessagePrinter(&SdkLogCapture::Print);
    SdkLog(1, "to the printer\n");
    EXPECT_EQ(record.Lines(), (std::vector<HandledLine>{{"to the handler\n", LogMessageLevel::Warning}}));
    EXPECT_EQ(capture.Lines(), (std::vector<SdkLogLine>{{1, "to the printer\n"}}));
}

void ThrowingPrinter(int, const char*, va_list)
{
    throw std::runtime_error("printer failed");
}

// Catches an application's exception escaping into a library thread or a
// destructor through the log.
TEST_F(SdkLogTest, ExceptionsOfPrinterAndHandlerAreDropped)
{
    SetMessagePrinter(&ThrowingPrinter);
    EXPECT_NO_THROW(SdkLog(1, "lost\n"));
    EXPECT_NO_THROW(SetLastErrorInfo(GeneralError, "lost", "SdkLogTest"));
    SetSdkLoggingHandler([](const char*, LogMessageLevel) { throw 7; });
    EXPECT_NO_THROW(SdkLog(1, "lost\n"));
    EXPECT_EQ(GetErrorCode(), GeneralError);
}

// Catches the utility log reaching the SDK log outside verbose mode, a route
// registered twice, and a route left behind after verbose mode ends.
TEST_F(SdkLogTest, UtilityLogReachesThePrinterOnlyWhileVerbose)
{
    SdkLogCapture capture;
    Q7::Universal::LogWarning(L"routed %d", 1);
    Q7::TavrinC::EnablePG13(true);
    Q7::Tavrin::EnablePG13(true);
    Q7::Universal::LogWarning(L"routed %d", 2);
    Q7::TavrinC::EnablePG13(false);
    Q7::Universal::LogWarning(L"routed %d", 3);

    EXPECT_EQ(capture.CountContaining("routed 1"), 0u);
    EXPECT_EQ(capture.CountContaining("routed 3"), 0u);
    std::vector<SdkLogLine> routed;
    for (const SdkLogLine& line : capture.Lines())
    {
        if (line.text.find("routed 2") != std::string::npos)
        {
            routed.push_back(line);
        }
    }
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ(routed[0].level, 2);
    EXPECT_NE(routed[0].text.find("| Warning: routed 2\n"), std::string::npos) << routed[0].text;
    EXPECT_EQ(capture.Count("\n\tEnabling Rated PG-13 log content - Parental Discretion Iz Advised!\n\n"),
              2u);
}

// Catches a utility-log type routed at the wrong level or without its prefix,
// and text that is not converted to UTF-8.
TEST_F(SdkLogTest, UtilityLogTypesMapToLevels)
{
    using Q7::Universal::EnumLogMsgType;
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
        SdkLogCapture capture;
        RouteUniversalLogMessage(static_cast<EnumLogMsgType>(type), L"t\u00E9xt");
        EXPECT_EQ(capture.Lines(), std::vector<SdkLogLine>{expected});
    }
    SdkLogCapture capture;
    RouteUniversalLogMessage(Q7::Universal::kLogMsgType_Info, nullptr);
    EXPECT_EQ(capture.Lines(), (std::vector<SdkLogLine>{{4, ""}}));
}

// Run under tsan and asan: catches a handler destroyed while another thread is
// inside it, and unsynchronised exchanges of printer and handler.
TEST_F(SdkLogTest, HandlerSetAndClearedWhileEightThreadsLog)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 10000;
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
    for (int round = 0; round < kRounds; ++round)
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
