#include "LogCapture.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalLogMsg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <latch>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Q7::Universal;
using namespace std::chrono_literals;
using TestSupport::LogCapture;

namespace
{

// A handler object that counts its calls and can act from inside them.
class Recorder
{
public:
    void Handle(EnumLogMsgType, const wchar_t* text)
    {
        ++calls;
        last = text;
        if (onCall)
        {
            onCall(*this);
        }
    }
    LogMsgHandler Handler() { return LogMsgHandler(this, &Recorder::Handle); }

    std::atomic<int> calls{0};
    std::wstring last;
    std::function<void(Recorder&)> onCall;
};

std::string TempPath(const std::string& name)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "q7log_" + std::to_string(::getpid()) + "_" + info->name() + "_" + name;
}

std::wstring Wide(const std::string& s)
{
    return FromNarrow(s.c_str()).c_str();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void ThrowingHandler(EnumLogMsgType, const wchar_t*)
{
    throw std::runtime_error("handler failed");
}

void ThrowingIntHandler(EnumLogMsgType, const wchar_t*)
{
    throw 7;
}

} // namespace

// ---------------------------------------------------------------- line texts

TEST(LogMsgTest, LinePrefixHasDateTimeAndThreadId)
{
    const LogCapture capture;
    LogInfo(L"hello %d", 5);
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), 1u);
    const std::wregex pattern(
        L"^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\(([0-9]+) *\\) \\| hello 5\\n$");
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(lines[0].line, match, pattern)) << lines[0].line;
    EXPECT_EQ(std::stoul(match[1].str()), Q7::Platform::CurrentThreadId());
    // The id field is left-aligned in at least five characters.
    const auto open = lines[0].line.find(L'(');
    const auto close = lines[0].line.find(L')');
    EXPECT_GE(close - open - 1, 5u);
}

TEST(LogMsgTest, BodiesOfThePostingFunctions)
{
    const LogCapture capture;
    LogDebug(L"d%d", 1);
    LogInfo(L"i");
    LogWarning(L"w %ls", L"x");
    LogErrorText(L"e");
    LogError(ModuleError(0x650005), L"Reading %u", 4u);
    LogError(ModuleError(0x650005));
    errno = ENOENT;
    LogStandardError(L"open");
    LogSystemError(EACCES, nullptr);
    ReportInternalError(L"bad", SourceLocation(L"/a/b/c/d.cpp", 12));
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0].type, kLogMsgType_Debug);
    EXPECT_EQ(lines[0].body, L"d1\n");
    EXPECT_EQ(lines[1].type, kLogMsgType_Info);
    EXPECT_EQ(lines[1].body, L"i\n");
    EXPECT_EQ(lines[2].type, kLogMsgType_Warning);
    EXPECT_EQ(lines[2].body, L"Warning: w x\n");
    EXPECT_EQ(lines[3].type, kLogMsgType_Error);
    EXPECT_EQ(lines[3].body, L"Error: e\n");
    EXPECT_EQ(lines[4].body, L"Error: Reading 4 - (101#5) General error: The size or length is incorrect.\n");
    EXPECT_EQ(lines[5].body, L"Error: (101#5) General error: The size or length is incorrect.\n");
    EXPECT_EQ(lines[6].body, L"Error: open - (2#2) Standard error: No such file or directory\n");
    EXPECT_EQ(lines[7].body, L"Error: (1#13) System error: Permission denied\n");
    EXPECT_EQ(lines[8].type, kLogMsgType_InternalError);
    EXPECT_EQ(lines[8].body, L"Internal Error: bad [ File=\"...\\b/c/d.cpp\" Line=12 ]\n");
}

// A text that cannot be formatted is posted empty after its prefix.
TEST(LogMsgTest, UnformattableTextIsPostedEmpty)
{
    const LogCapture capture;
    LogWarning(L"%ls", std::wstring(140000, L'z').c_str());
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(bodies[0], L"Warning: \n");
}

// ---------------------------------------------------------------- registration

TEST(LogMsgManagerTest, PostingWithoutHandlersReachesNobody)
{
    Recorder r;
    LogInfo(L"before");
    LogMsgManager::AddHandler(r.Handler());
    LogInfo(L"during");
    LogMsgManager::RemoveHandler(r.Handler());
    LogInfo(L"after");
    EXPECT_EQ(r.calls, 1);
    LogMsgManager::RemoveHandler(r.Handler()); // not registered: nothing happens
}

// Registering the same handler twice keeps one entry; one removal removes it.
TEST(LogMsgManagerTest, SameHandlerIsListedOnce)
{
    Recorder r;
    LogMsgManager::AddHandler(r.Handler());
    LogMsgManager::AddHandler(r.Handler());
    LogInfo(L"x");
    EXPECT_EQ(r.calls, 1);
    LogMsgManager::RemoveHandler(r.Handler());
    LogInfo(L"y");
    EXPECT_EQ(r.calls, 1);
}

TEST(LogMsgManagerTest, HandlersRunInRegistrationOrder)
{
    std::vector<int> order;
    Recorder a;
    Recorder b;
    a.onCall = [&](Recorder&) { order.push_back(1); };
    b.onCall = [&](Recorder&) { order.push_back(2); };
    LogMsgManager::AddHandler(a.Handler());
    LogMsgManager::AddHandler(b.Handler());
    LogInfo(L"x");
    LogMsgManager::RemoveHandler(a.Handler());
    LogMsgManager::RemoveHandler(b.Handler());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// A handler that removes itself while being called must neither deadlock nor be called again.
TEST(LogMsgManagerTest, HandlerRemovesItselfDuringDispatch)
{
    Recorder self;
    Recorder other;
    self.onCall = [](Recorder& me) { LogMsgManager::RemoveHandler(me.Handler()); };
    LogMsgManager::AddHandler(self.Handler());
    LogMsgManager::AddHandler(other.Handler());
    auto done = std::async(std::launch::async, [] { LogInfo(L"first"); });
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    LogInfo(L"second");
    EXPECT_EQ(self.calls, 1);
    EXPECT_EQ(other.calls, 2);
    LogMsgManager::RemoveHandler(other.Handler());
}

TEST(LogMsgManagerTest, HandlerRemovesALaterOneDuringDispatch)
{
    Recorder first;
    Recorder second;
    first.onCall = [&second](Recorder&) { LogMsgManager::RemoveHandler(second.Handler()); };
    LogMsgManager::AddHandler(first.Handler());
    LogMsgManager::AddHandler(second.Handler());
    LogInfo(L"x");
    EXPECT_EQ(second.calls, 0);
    LogMsgManager::RemoveHandler(first.Handler());
}

// A handler removed and added again during a dispatch is revived in its place, not listed twice.
TEST(LogMsgManagerTest, HandlerRevivedDuringDispatchIsListedOnce)
{
    Recorder first;
    Recorder second;
    first.onCall = [&second](Recorder&)
    {
        LogMsgManager::RemoveHandler(second.Handler());
        LogMsgManager::AddHandler(second.Handler());
    };
    LogMsgManager::AddHandler(first.Handler());
    LogMsgManager::AddHandler(second.Handler());
    LogInfo(L"x");
    LogMsgManager::RemoveHandler(first.Handler());
    LogInfo(L"y");
    EXPECT_EQ(second.calls, 2);
    LogMsgManager::RemoveHandler(second.Handler());
    LogInfo(L"z");
    EXPECT_EQ(second.calls, 2);
}

TEST(LogMsgManagerTest, HandlerAddedDuringDispatchIsReachedByIt)
{
    Recorder first;
    Recorder added;
    first.onCall = [&added](Recorder&) { LogMsgManager::AddHandler(added.Handler()); };
    LogMsgManager::AddHandler(first.Handler());
    LogInfo(L"x");
    EXPECT_EQ(added.calls, 1);
    LogMsgManager::RemoveHandler(first.Handler());
    LogMsgManager::RemoveHandler(added.Handler());
}

// A handler may post: the nested line reaches every handler, the handler itself included.
TEST(LogMsgManagerTest, HandlerMayPost)
{
    Recorder r;
    r.onCall = [](Recorder& me)
    {
        if (me.calls == 1)
        {
            LogInfo(L"nested");
        }
    };
    LogMsgManager::AddHandler(r.Handler());
    LogInfo(L"outer");
    LogMsgManager::RemoveHandler(r.Handler());
    EXPECT_EQ(r.calls, 2);
}

// Exceptions thrown by handlers never reach the posting thread, and later handlers still run.
TEST(LogMsgManagerTest, HandlerExceptionsStayInsideTheDispatch)
{
    Recorder after;
    LogMsgManager::AddHandler(LogMsgHandler(&ThrowingHandler));
    LogMsgManager::AddHandler(LogMsgHandler(&ThrowingIntHandler));
    LogMsgManager::AddHandler(after.Handler());
    EXPECT_NO_THROW(LogInfo(L"x"));
    EXPECT_EQ(after.calls, 1);
    LogMsgManager::RemoveHandler(LogMsgHandler(&ThrowingHandler));
    LogMsgManager::RemoveHandler(LogMsgHandler(&ThrowingIntHandler));
    LogMsgManager::RemoveHandler(after.Handler());
}

// RemoveHandler must not return while another thread is still inside the handler
// (otherwise the handler's object could be destroyed under that call).
TEST(LogMsgManagerTest, RemoveWaitsForCallsOnOtherThreads)
{
    auto recorder = std::make_unique<Recorder>();
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    recorder->onCall = [&entered, released](Recorder& me)
    {
        if (me.calls == 1)
        {
            entered.set_value();
            released.wait();
        }
    };
    LogMsgManager::AddHandler(recorder->Handler());
    auto poster = std::async(std::launch::async, [] { LogInfo(L"slow"); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    const LogMsgHandler handler = recorder->Handler();
    auto remover = std::async(std::launch::async, [&handler] { LogMsgManager::RemoveHandler(handler); });
    // While the call runs, the removal waits, and other threads can still post.
    EXPECT_EQ(remover.wait_for(50ms), std::future_status::timeout);
    auto other = std::async(std::launch::async, [] { LogInfo(L"meanwhile"); });
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
    release.set_value();
    ASSERT_EQ(remover.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(poster.wait_for(5s), std::future_status::ready);
    recorder.reset(); // safe now: no call is running or can start
    LogInfo(L"after");
}

// A removal waiting for another thread's call must end when the handler is
// added again meanwhile (a lost wake-up would leave the remover blocked).
TEST(LogMsgManagerTest, RemovalWaitEndsWhenTheHandlerIsAddedAgain)
{
    Recorder recorder;
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    recorder.onCall = [&entered, released](Recorder& me)
    {
        if (me.calls == 1)
        {
            entered.set_value();
            released.wait();
        }
    };
    const LogMsgHandler handler = recorder.Handler();
    LogMsgManager::AddHandler(handler);
    auto poster = std::async(std::launch::async, [] { LogInfo(L"slow"); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    auto remover = std::async(std::launch::async, [&handler] { LogMsgManager::RemoveHandler(handler); });
    EXPECT_EQ(remover.wait_for(50ms), std::future_status::timeout);
    LogMsgManager::AddHandler(handler);
    release.set_value();
    ASSERT_EQ(poster.wait_for(5s), std::future_status::ready);
    const bool ended = remover.wait_for(5s) == std::future_status::ready;
    if (!ended)
    {
        // Free the blocked remover so that the suite goes on: remove the handler
        // and end a call of a removed handler, which wakes removal waits.
        LogMsgManager::RemoveHandler(handler);
        Recorder waker;
        waker.onCall = [](Recorder& me) { LogMsgManager::RemoveHandler(me.Handler()); };
        LogMsgManager::AddHandler(waker.Handler());
        LogInfo(L"wake");
    }
    EXPECT_TRUE(ended) << "RemoveHandler stayed blocked after the handler was added again";
    remover.wait();
    LogMsgManager::RemoveHandler(handler);
}

// Threads post while a file receiver closes, reopens and changes its path; no
// call may reach a closed receiver or a destroyed one, and lines stay whole.
TEST(LogFileMsgReceiverTest, ConcurrentPostingWhileReceiverChanges)
{
    const std::string pathA = TempPath("a.log");
    const std::string pathB = TempPath("b.log");
    std::remove(pathA.c_str());
    std::remove(pathB.c_str());
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
    {
        posters.emplace_back(
            [&stop, t]
            {
                for (int i = 0; !stop; ++i)
                {
                    LogInfo(L"poster %d line %d", t, i);
                }
            });
    }
    for (int round = 0; round < 30; ++round)
    {
        auto receiver = std::make_unique<LogFileMsgReceiver>(Wide(pathA).c_str(), true);
        ASSERT_TRUE(receiver->IsOpen());
        LogInfo(L"poster 9 line %d", round);
        receiver->SetPath(Wide(pathB).c_str());
        LogInfo(L"poster 9 line %d", round);
        receiver->Close();
        receiver->Open();
        receiver->SetPath(Wide(pathA).c_str());
        receiver.reset(); // the destructor closes while posters run
    }
    stop = true;
    for (auto& poster : posters)
    {
        poster.join();
    }
    for (const auto& path : {pathA, pathB})
    {
        const std::string content = ReadFile(path);
        ASSERT_GE(content.size(), 3u);
        EXPECT_EQ(content.substr(0, 3), "\xEF\xBB\xBF");
        std::istringstream lines(content.substr(3));
        const std::regex whole("^\\d{4}-\\d{2}-\\d{2} [0-9:.]+ \\([0-9]+ *\\) \\| poster \\d line \\d+$");
        std::string line;
        int count = 0;
        while (std::getline(lines, line))
        {
            ASSERT_TRUE(std::regex_match(line, whole)) << line;
            ++count;
        }
        EXPECT_GT(count, 0);
        std::remove(path.c_str());
    }
}

// Open and Close racing on two threads must never leave the receiver registered
// without a file: its destructor then skipped unregistering, and the next line
// reached the destroyed receiver. The receiver lives in storage that is
// scribbled over after each round, so such a call fails in every build.
TEST(LogFileMsgReceiverTest, OpenAndCloseOnTwoThreadsLeaveNoHandlerBehind)
{
    const std::string path = TempPath("race.log");
    std::remove(path.c_str());
    alignas(LogFileMsgReceiver) static unsigned char storage[sizeof(LogFileMsgReceiver)];
    for (int round = 0; round < 500; ++round)
    {
        auto* receiver = new (storage) LogFileMsgReceiver(Wide(path).c_str(), true);
        std::latch start(2);
        auto opener = std::async(std::launch::async,
                                 [&]
                                 {
                                     start.arrive_and_wait();
                                     receiver->Open();
                                 });
        auto closer = std::async(std::launch::async,
                                 [&]
                                 {
                                     start.arrive_and_wait();
                                     receiver->Close();
                                 });
        ASSERT_EQ(opener.wait_for(5s), std::future_status::ready);
        ASSERT_EQ(closer.wait_for(5s), std::future_status::ready);
        opener.get();
        receiver->~LogFileMsgReceiver();
        std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0xA5));
        LogInfo(L"after round %d", round);
    }
    std::remove(path.c_str());
}

// ---------------------------------------------------------------- file receiver

TEST(LogFileMsgReceiverTest, NewFileStartsWithByteOrderMarkAndTakesUtf8Lines)
{
    const std::string path = TempPath("bom.log");
    std::remove(path.c_str());
    {
        LogFileMsgReceiver receiver(Wide(path).c_str(), true);
        ASSERT_TRUE(receiver.IsOpen());
        LogInfo(L"caf\xE9 %ls", L"\x20AC");
    }
    const std::string content = ReadFile(path);
    ASSERT_GE(content.size(), 3u);
    EXPECT_EQ(content.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(content.find(") | caf\xC3\xA9 \xE2\x82\xAC\n"), std::string::npos) << content;
    EXPECT_EQ(content.back(), '\n');

    // Reopened on a non-empty file: no second mark.
    {
        LogFileMsgReceiver receiver(Wide(path).c_str(), true);
        LogInfo(L"second");
    }
    const std::string again = ReadFile(path);
    EXPECT_EQ(again.find("\xEF\xBB\xBF", 3), std::string::npos);
    EXPECT_NE(again.find("| second\n"), std::string::npos);
    std::remove(path.c_str());
}

TEST(LogFileMsgReceiverTest, EmptyExistingFileGetsTheMark)
{
    const std::string path = TempPath("empty.log");
    std::fclose(std::fopen(path.c_str(), "w"));
    {
        LogFileMsgReceiver receiver(Wide(path).c_str(), true);
    }
    EXPECT_EQ(ReadFile(path), "\xEF\xBB\xBF");
    std::remove(path.c_str());
}

TEST(LogFileMsgReceiverTest, DebugLinesOnlyInVerboseMode)
{
    const std::string path = TempPath("verbose.log");
    std::remove(path.c_str());
    {
        LogFileMsgReceiver receiver(Wide(path).c_str(), true);
        EXPECT_FALSE(receiver.GetVerbose());
        LogDebug(L"quiet debug");
        LogWarning(L"always");
        receiver.SetVerbose(true);
        EXPECT_TRUE(receiver.GetVerbose());
        LogDebug(L"loud debug");
    }
    const std::string content = ReadFile(path);
    EXPECT_EQ(content.find("quiet debug"), std::string::npos);
    EXPECT_NE(content.find("| Warning: always\n"), std::string::npos);
    EXPECT_NE(content.find("| loud debug\n"), std::string::npos);
    std::remove(path.c_str());
}

TEST(LogFileMsgReceiverTest, ClosedReceiverWritesNothing)
{
    const std::string path = TempPath("closed.log");
    std::remove(path.c_str());
    LogFileMsgReceiver receiver(Wide(path).c_str(), false);
    EXPECT_FALSE(receiver.IsOpen());
    EXPECT_EQ(std::wstring(receiver.GetPath().c_str()), Wide(path));
    receiver.Open();
    LogInfo(L"one");
    receiver.Close();
    EXPECT_FALSE(receiver.IsOpen());
    LogInfo(L"two");
    receiver.Close(); // closing twice is harmless
    const std::string content = ReadFile(path);
    EXPECT_NE(content.find("| one\n"), std::string::npos);
    EXPECT_EQ(content.find("two"), std::string::npos);
    std::remove(path.c_str());
}

TEST(LogFileMsgReceiverTest, SetPathMovesAnOpenReceiver)
{
    const std::string first = TempPath("first.log");
    const std::string second = TempPath("second.log");
    std::remove(first.c_str());
    std::remove(second.c_str());
    LogFileMsgReceiver receiver(Wide(first).c_str(), true);
    LogInfo(L"to first");
    receiver.SetPath(Wide(second).c_str());
    EXPECT_TRUE(receiver.IsOpen());
    LogInfo(L"to second");
    receiver.SetPath(nullptr); // closes and stays closed
    EXPECT_FALSE(receiver.IsOpen());
    EXPECT_TRUE(receiver.GetPath().IsEmpty());
    LogInfo(L"to nobody");
    EXPECT_NE(ReadFile(first).find("| to first\n"), std::string::npos);
    EXPECT_EQ(ReadFile(first).find("to second"), std::string::npos);
    EXPECT_NE(ReadFile(second).find("| to second\n"), std::string::npos);
    EXPECT_EQ(ReadFile(second).find("to nobody"), std::string::npos);
    // A closed receiver only stores the path.
    receiver.SetPath(Wide(first).c_str());
    EXPECT_FALSE(receiver.IsOpen());
    std::remove(first.c_str());
    std::remove(second.c_str());
}

// An empty path given to an open receiver reopens it there, which fails loudly;
// catches a receiver that closed silently and left the application without its log.
TEST(LogFileMsgReceiverTest, SetPathToAnEmptyPathReopensAndFails)
{
    const std::string path = TempPath("moved.log");
    LogFileMsgReceiver receiver(Wide(path).c_str(), true);
    ASSERT_TRUE(receiver.IsOpen());
    const LogCapture capture;
    EXPECT_THROW(receiver.SetPath(L""), StandardError);
    EXPECT_FALSE(receiver.IsOpen());
    EXPECT_TRUE(receiver.GetPath().IsEmpty());
    EXPECT_EQ(capture.Count(L"Error: Failed to open file. - (2#2) Standard error: ", kLogMsgType_Error), 1u);
    std::remove(path.c_str());
}

TEST(LogFileMsgReceiverTest, OpenFailureIsLoggedAndThrown)
{
    const LogCapture capture;
    const std::string path = ::testing::TempDir() + "no/such/folder/x.log";
    LogFileMsgReceiver receiver(Wide(path).c_str(), false);
    try
    {
        receiver.Open();
        FAIL() << "no throw";
    }
    catch (const StandardError& e)
    {
        EXPECT_EQ(e.GetCode(), static_cast<std::uint32_t>(ENOENT));
        EXPECT_EQ(std::wstring(e.GetContext().c_str()), Wide(path));
    }
    EXPECT_FALSE(receiver.IsOpen());
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(bodies[0], L"Error: Failed to open file. - (2#2) Standard error: No such file or directory - " +
                             Wide(path) + L"\n");
}

TEST(LogFileMsgReceiverTest, ConstructorSwallowsOpenFailure)
{
    const LogCapture capture;
    const std::string path = ::testing::TempDir() + "no/such/folder/y.log";
    LogFileMsgReceiver receiver(Wide(path).c_str(), true);
    EXPECT_FALSE(receiver.IsOpen());
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[1], L"Error: Ignoring unexpected exception from LogFileMsgReceiver::Open().\n");
}

// ---------------------------------------------------------------- assertions

namespace
{
void EchoToStderr(EnumLogMsgType, const wchar_t* text)
{
    std::fputs(ToNarrow(text).c_str(), stderr);
}
} // namespace

// An assertion posts its line to every handler first, then shows the text and aborts.
TEST(LogMsgDeathTest, AssertionLogsShowsAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            LogMsgManager::AddHandler(LogMsgHandler(&EchoToStderr));
            Q7_ASSERT(1 + 1 == 3);
        },
        "\\| Assertion failed: 1 \\+ 1 == 3 \\[ File=\"[^\"]*UniversalLogMsgTest.cpp\" Line=[0-9]+ \\]\n"
        "Assertion failed!\n\nExpression: \\( 1 \\+ 1 == 3 \\)\n\nFile: \"[^\"]*UniversalLogMsgTest.cpp\"\n"
        "Line: [0-9]+\n\nPress OK to abort the application.\n.*\\| Aborting the application\n");
}
