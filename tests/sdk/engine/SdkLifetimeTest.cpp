// The SDK instance is opened once and closed for good, so every case runs in a
// process of its own (a death test that expects a clean exit).

#include "LastError.h"
#include "ProcessChecks.h"
#include "Sdk.h"
#include "SdkLog.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Q7::Tavrin;
using namespace Q7::TavrinC;
using TestSupport::ProcessCase;
using TestSupport::SdkLogCapture;
using TestSupport::SdkLogLine;

namespace
{

using Checks = TestSupport::ProcessChecks;

// Catches a first GetInstance that returns nothing without recording a failure
// (CloseSdk(true) would then report whatever the thread recorded last), a close
// without an instance that marks the SDK closed, and a second open that fails
// or creates a second instance.
void BeforeTheFirstOpen(Checks& check)
{
    SetLastErrorInfo(Success, "stale", "test");
    check.Equal(IsSdkOpen(), false, "IsSdkOpen before OpenSdk");
    check.LastError(SdkNotOpen, "Sdk not open", "IsSdkOpen records");
    SetLastErrorInfo(Success, "stale", "test");
    check.Equal(static_cast<int>(CloseSdk(true)), -3, "CloseSdk(true) before OpenSdk");
    check.LastError(SdkNotOpen, "Sdk not open", "CloseSdk(true) records");
    check.Equal(static_cast<int>(CloseSdk(false)), 0, "CloseSdk(false) before OpenSdk");
    check.Equal(static_cast<int>(OpenSdk()), 0, "OpenSdk after closes without an SDK");
    check.LastError(Success, "", "first OpenSdk records");
    check.Equal(IsSdkOpen(), true, "IsSdkOpen after OpenSdk");
    Sdk* first = Sdk::GetInstance(false);
    check.Equal(static_cast<int>(OpenSdk()), 0, "second OpenSdk");
    check.LastError(Success, "SDK is already open", "second OpenSdk records");
    check.True(first != nullptr && Sdk::GetInstance(false) == first, "one instance");
}

// Catches a close that skips or reorders a step, or logs it at another level.
void CloseLogsEveryStep(Checks& check)
{
    OpenSdk();
    SdkLogCapture capture;
    Q7::TavrinC::EnablePG13(true); // lets the level-6 tracing through as level 5
    capture.Clear();
    check.Equal(static_cast<int>(CloseSdk(true)), 0, "CloseSdk");
    check.LastError(Success, "", "CloseSdk records");
    const std::vector<SdkLogLine> expected = {
        {5, "SDK::CloseSdk(): Waking and removing all listeners...\n"},
        {5, "Sdk::RemoveAndWakeAllListeners()...\n"},
        {5, "Sdk::RemoveAndWakeAllListeners() done!\n"},
        {5, "SDK::CloseSdk(): Deinitializing transport layer...\n"},
        {5, "KpxLibTransport: Deinit'ing...\n"},
        {5, "KpxLibTransport: Stopping DevMgr-notify and removing callback\n"},
        {5, "KpxLibTransport: Done\n"},
        {5, "KpxLibTransport: Collecting camera-ids to close (outside lock)\n"},
        {5, "KpxLibTransport: Closing all cameras collected...\n"},
        {5, "KpxLibTransport: Joining helper thread...\n"},
        {5, "KpxLibTransport: Joined!\n"},
        {5, "SDK::CloseSdk(): Terminating object factory...\n"},
        {5, "SDK::CloseSdk(): Deleting SDK...\n"},
    };
    // The close's own lines, in order: the utility log's (threads ending, with
    // times) and the bridge's helper thread (waking when told to end) log
    // beside them at their own pace.
    std::vector<SdkLogLine> closeLines;
    for (const SdkLogLine& line : capture.Lines())
    {
        if (line.text.find(" | ") == std::string::npos &&
            line.text.rfind("KpxLibTransport: HelperThread", 0) != 0)
        {
            closeLines.push_back(line);
        }
    }
    check.True(closeLines == expected, "close log lines");
    Q7::TavrinC::EnablePG13(false);
}

// Catches an SDK that reopens after its close, and re-reports that do not say
// it is gone.
void ReopenAfterClose(Checks& check)
{
    OpenSdk();
    check.Equal(static_cast<int>(CloseSdk(false)), 0, "CloseSdk");
    SdkLogCapture capture;
    check.Equal(static_cast<int>(OpenSdk()), -3, "OpenSdk after CloseSdk");
    check.LastError(SdkNotOpen, "SDK not open (closed/deleted)", "OpenSdk records");
    check.Equal(capture.Count("SDK is marked close. We reject creating a new instance\n"), 1u,
                "refusal line");
    check.True(
        capture.Lines().back() ==
            SdkLogLine{2,
                       "Q7::TavrinC::OpenSdk            : ErrorCode=-3 \"SDK not open (closed/deleted)\"\n"},
        "OpenSdk echo");
    capture.Clear();
    check.Equal(static_cast<int>(CloseSdk(true)), -3, "CloseSdk(true) after CloseSdk");
    check.LastError(SdkNotOpen, "SDK not open (closed/deleted)", "CloseSdk(true) records");
    check.True(capture.Lines().size() == 3 &&
                   capture.Lines()[1] == SdkLogLine{1, "SDK cannot be used after destruction.\n"},
               "level-1 line after destruction");
    check.Equal(static_cast<int>(CloseSdk(false)), 0, "CloseSdk(false) after CloseSdk");
    check.LastError(Success, "", "CloseSdk(false) records");
    check.Equal(IsSdkOpen(), false, "IsSdkOpen after CloseSdk");
    try
    {
        EnsureOpen();
        check.True(false, "EnsureOpen after CloseSdk throws");
    }
    catch (const SdkNotOpenExc& e)
    {
        check.Equal(std::string(e.what()), std::string("SDK not open (closed/deleted)"), "EnsureOpen text");
    }
}

// Catches a closing SDK handed to ordinary callers, a closing mark that two
// threads can both win, and an instance made while closing.
void ClosingRefusesOthers(Checks& check)
{
    OpenSdk();
    Sdk* sdk = Sdk::GetInstance(false);
    check.True(sdk != nullptr && sdk->MarkClosing(), "first MarkClosing wins");
    check.True(!sdk->MarkClosing(), "second MarkClosing loses");
    SdkLogCapture capture;
    check.True(Sdk::GetInstance(false) == nullptr, "GetInstance(false) while closing");
    check.LastError(SdkNotOpen, "SDK not open (closing)", "GetInstance records");
    check.True(capture.Lines().size() == 2 &&
                   capture.Lines()[1] ==
                       SdkLogLine{2, "SDK is marked for closing. No SDK instance returned.\n"},
               "closing line");
    check.True(Sdk::GetInstance(true) == sdk, "GetInstance(true) while closing");
    check.Equal(IsSdkOpen(), false, "IsSdkOpen while closing");
    check.Equal(Sdk::CreateInstance(), false, "CreateInstance while closing");
    check.Equal(static_cast<int>(CloseSdk(true)), -3, "CloseSdk(true) while another closes");
    check.LastError(SdkNotOpen, "SDK not open (closing)", "CloseSdk(true) records");
    check.Equal(capture.Count("SDK::CloseSdk(): Deleting SDK...\n"), 0u, "loser does not close");
}

// Catches two threads that both pass the closing step and end the factory and
// the bridge twice.
void EightThreadsCloseOnce(Checks& check)
{
    OpenSdk();
    SdkLogCapture capture;
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<int> results(kThreads, 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                start.arrive_and_wait();
                results[t] = CloseSdk(true);
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    int closed = 0;
    int refused = 0;
    for (int result : results)
    {
        closed += result == 0 ? 1 : 0;
        refused += result == -3 ? 1 : 0;
    }
    check.Equal(closed, 1, "closes that succeeded");
    check.Equal(refused, kThreads - 1, "closes refused with -3");
    check.Equal(capture.Count("SDK::CloseSdk(): Deleting SDK...\n"), 1u, "Deleting SDK lines");
    check.Equal(capture.Count("SDK::CloseSdk(): Terminating object factory...\n"), 1u, "factory lines");
}

// Catches the spurious-failure fault: a first RegisterListener, which creates
// the SDK and succeeds, logged and echoed "Sdk not open" (level 2) on its way.
void FirstRegisterListenerCreatesTheSdkQuietly(Checks& check)
{
    SdkLogCapture capture;
    std::uint32_t id = 99;
    check.Equal(static_cast<int>(RegisterListener(id)), 0, "first RegisterListener");
    check.Equal(id, 0u, "first listener id");
    check.LastError(Success, "", "RegisterListener records");
    for (const SdkLogLine& line : capture.Lines())
    {
        check.True(line.level > 2, ("a failure was logged: " + line.text).c_str());
    }
    check.Equal(IsSdkOpen(), true, "IsSdkOpen after RegisterListener");
}

void PrintToStderr(int level, const char* format, va_list args)
{
    std::fprintf(stderr, "[%d] ", level);
    std::vfprintf(stderr, format, args);
}

// Run under asan: catches the at-exit close writing a thread's last-error
// record that was already destroyed, and records of ended threads that leak.
void EnsureOpenThenExit(Checks& check)
{
    SetMessagePrinter(&PrintToStderr);
    EnsureOpen();
    EnsureOpen();
    check.Equal(IsSdkOpen(), true, "IsSdkOpen after EnsureOpen");
    std::thread([] { SetLastErrorInfo(GeneralError, "a record of an ended thread", "test"); }).join();
    SetLastErrorInfo(GeneralError, "the main thread's record", "test");
    // exit() runs the thread-local destructors, then the SDK's at-exit close.
}

class SdkLifetimeTest : public ::testing::TestWithParam<TestSupport::ProcessCase>
{
};

TEST_P(SdkLifetimeTest, RunsInItsOwnProcess)
{
    TestSupport::RunInOwnProcess(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SdkLifetimeTest,
    ::testing::Values(
        ProcessCase{"BeforeTheFirstOpen", &BeforeTheFirstOpen, ""},
        ProcessCase{"CloseLogsEveryStep", &CloseLogsEveryStep, ""},
        ProcessCase{"ReopenAfterClose", &ReopenAfterClose, ""},
        ProcessCase{"ClosingRefusesOthers", &ClosingRefusesOthers, ""},
        ProcessCase{"EightThreadsCloseOnce", &EightThreadsCloseOnce, ""},
        ProcessCase{"FirstRegisterListenerCreatesTheSdkQuietly", &FirstRegisterListenerCreatesTheSdkQuietly,
                    ""},
        ProcessCase{"EnsureOpenThenExit", &EnsureOpenThenExit,
                    "\\[5\\] Sdk: Opening SDK & register default factory\n.*"
                    "\\[5\\] Sdk: Closing SDK\n.*\\[5\\] SDK::CloseSdk\\(\\): Deleting SDK\\.\\.\\.\n"}),
    TestSupport::ProcessCaseName);

} // namespace
