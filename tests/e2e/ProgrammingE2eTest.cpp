// The programming agent on channel 1.0 against the simulated camera over the
// transport of the channel fixture: uploads and downloads of every size byte
// for byte, and every refusal and fault of the camera ending the transfer with
// its documented result, the next transfer running after a stop and start.

#include "E2eChannelSupport.h"

#include "Agents/Programming/KPXProgramming.h"
#include "LogCapture.h"
#include "Q7PlatformSync_Posix.h"
#include "RaisedError.h"
#include "SimProgrammingHandler.h"
#include "TempFolder.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>

namespace
{

using namespace E2e;
using Q7::KPX::ProgrammingAgent;
using Q7::KPX::ProgrammingTimings;
using Q7::KPX::WaitObjectList;
using Q7::Sim::ProgrammingFault;
using Q7::Sim::ProgrammingFaultKind;
using TestSupport::RaisedBy;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr Q7::Sim::ChannelId k10{1, 0};
constexpr std::uint32_t kFileType = 5;
constexpr std::uint32_t kLogKind = 2; // log id 104
constexpr std::uint32_t kLogId = 104;
// The agent's own time limits, short so that silent cameras are quick.
constexpr ProgrammingTimings kTimings{400, 400, 2000};

std::wstring Wide(const std::string& utf8Path)
{
    return Q7::Universal::FromNarrow(utf8Path.c_str()).c_str();
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// `size` bytes that differ from block to block and from transfer to
// transfer (a splitmix64 sequence from `seed`), cheap to make also under the
// sanitizers.
Bytes TestData(std::size_t size, std::uint64_t seed)
{
    Bytes bytes(size);
    std::uint64_t state = seed;
    for (std::size_t offset = 0; offset < size; offset += sizeof(state))
    {
        std::uint64_t word = (state += 0x9E3779B97F4A7C15ull);
        word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ull;
        word = (word ^ (word >> 27)) * 0x94D049BB133111EBull;
        word ^= word >> 31;
        std::memcpy(bytes.data() + offset, &word, std::min(sizeof(word), size - offset));
    }
    return bytes;
}

// The programming agent on the fixture's transport, with the simulated
// camera's channel 1.0 behind a shared store.
class ProgrammingE2eTest : public ChannelE2eTest
{
protected:
    ProgrammingE2eTest() { camera->SetChannelHandler(k10, Q7::Sim::ProgrammingHandler::Factory(store)); }

    ~ProgrammingE2eTest() override { agent.reset(); }

    // Camera, device, transport and agent, as the camera object builds it.
    ProgrammingAgent& ConnectAgent(const ProgrammingTimings& timings = kTimings)
    {
        StartCamera();
        OpenDevice();
        agent = std::make_unique<ProgrammingAgent>(AddTransport(), Q7::KPX::ChannelTimings{}, timings);
        agent->SetClientMajorVersions({1, 2});
        agent->SetErrorCallback(std::function<void(const Q7::Universal::UniversalError&)>(
            [this](const Q7::Universal::UniversalError& error)
            {
                {
                    std::lock_guard lock(errorsMutex);
                    errors.push_back(error.GetCategory() << 16 | error.GetCode());
                }
                errorsChanged.notify_all();
            }));
        return *agent;
    }

    // Runs a transfer as the camera object does: start the agent, transfer,
    // stop the agent.
    template <typename Operation>
    auto Around(Operation&& operation)
    {
        agent->Start();
        EXPECT_TRUE(agent->IsStarted());
        struct StopAfter
        {
            ProgrammingAgent& agent;
            ~StopAfter() { agent.Stop(); }
        } stopAfter{*agent};
        return operation();
    }

    bool Upload(const Bytes& bytes)
    {
        return Around([&] { return agent->SendData(kFileType, {}, bytes.data(), bytes.size(), L"up.bin"); });
    }

    Bytes Download()
    {
        Bytes out;
        Around([&] { agent->DownloadLog(out, kLogKind, {}, false); });
        return out;
    }

    // The DataError ids the host sent on channel 1.0.
    std::vector<std::uint32_t> HostDataErrors() const
    {
        std::vector<std::uint32_t> ids;
        for (const Q7::Sim::MessageRecord& record : camera->Snapshot().messages)
        {
            if (record.channel == k10 && record.header.messageClass == Q7::Sim::kClassDataTransfer &&
                record.header.messageType == Q7::Sim::kDataError && record.bytes.size() >= 20)
                ids.push_back(record.bytes[16] | record.bytes[17] << 8 | record.bytes[18] << 16 |
                              static_cast<std::uint32_t>(record.bytes[19]) << 24);
        }
        return ids;
    }

    std::size_t HostMessages(std::uint8_t messageClass, std::uint8_t type) const
    {
        std::size_t count = 0;
        for (const Q7::Sim::MessageRecord& record : camera->Snapshot().messages)
            count += record.channel == k10 && record.header.messageClass == messageClass &&
                     record.header.messageType == type;
        return count;
    }

    std::shared_ptr<Q7::Sim::ProgrammingStore> store = std::make_shared<Q7::Sim::ProgrammingStore>();
    // Errors the agent and its channel dispatched (from their threads), as
    // module << 16 | number.
    std::vector<std::uint32_t> Errors() const
    {
        std::lock_guard lock(errorsMutex);
        return errors;
    }

    bool WaitForError(std::uint32_t code)
    {
        std::unique_lock lock(errorsMutex);
        return errorsChanged.wait_for(
            lock, 5s, [&] { return std::find(errors.begin(), errors.end(), code) != errors.end(); });
    }

    std::unique_ptr<ProgrammingAgent> agent;
    mutable std::mutex errorsMutex; // guards errors
    std::condition_variable errorsChanged;
    std::vector<std::uint32_t> errors;
    TestSupport::TempFolder folder;
};

// ---------------------------------------------------------------------------
// Sizes: 0 (memory only), 1, one block, one block and a byte, several MB.

class ProgrammingSizesE2eTest : public ProgrammingE2eTest,
                                public ::testing::WithParamInterface<std::tuple<E2eTransport, std::size_t>>
{
protected:
    E2eTransport Transport() const override { return std::get<0>(GetParam()); }
};

// Catches lost, repeated or misplaced bytes in either direction, a block cut
// wrongly at the 16 MiB boundary, a key that differs from the camera's, and
// progress that never reports completion.
TEST_P(ProgrammingSizesE2eTest, DataArrivesByteForByteBothWaysFromMemoryAndFiles)
{
    const std::size_t size = std::get<1>(GetParam());
    const Bytes data = TestData(size, size);
    ProgrammingAgent& programming = ConnectAgent();
    std::vector<Q7::Universal::ProgressInfo> progress;
    programming.SetFirmwareProgressCallback([&](const Q7::Universal::ProgressTask& task)
                                            { progress.push_back(task.GetInfo()); });

    // Firmware from memory, then a file.
    EXPECT_TRUE(Around([&] { return programming.SendFirmwareData({}, data.data(), data.size()); }));
    // The name goes out as UTF-8.
    const std::string file = folder.Write("upload-\xC3\xA4.bin", data.data(), data.size());
    if (size == 0)
    {
        TestSupport::LogCapture log;
        const auto raised = RaisedBy(
            [&] { Around([&] { return programming.SendFile(kFileType, Wide(file).c_str(), {}); }); });
        EXPECT_EQ(raised, (TestSupport::Raised{0x650005, Wide(file)}));
        EXPECT_EQ(log.Count(L"Invalid file size."), 1u);
    }
    else
    {
        EXPECT_TRUE(Around([&] { return programming.SendFile(kFileType, Wide(file).c_str(), {}); }));
    }

    const std::vector<Q7::Sim::Upload> uploads = store->Uploads();
    ASSERT_EQ(uploads.size(), size == 0 ? 1u : 2u);
    EXPECT_EQ(uploads[0].dataType, ProgrammingAgent::kFirmwareDataType);
    EXPECT_EQ(uploads[0].name, ".fwr");
    EXPECT_EQ(uploads[0].dataId, 1u);
    EXPECT_TRUE(uploads[0].bytes == data) << "firmware from memory differs";
    if (size != 0)
    {
        EXPECT_EQ(uploads[1].dataType, kFileType);
        EXPECT_EQ(uploads[1].name, file);
        EXPECT_EQ(uploads[1].dataId, 2u);
        EXPECT_TRUE(uploads[1].bytes == data) << "file differs";
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().position, 0u);
    EXPECT_EQ(progress.back().position, size);
    EXPECT_EQ(progress.back().total, size);
    EXPECT_TRUE(progress.back().completed);

    // The log scrambled and unscrambled here; another log plain, to a file.
    store->SetLog(kLogId, data, true);
    store->SetLog(7, data, false);
    Bytes downloaded{0xCC};
    Around([&] { programming.DownloadLog(downloaded, kLogKind, {}, true); });
    EXPECT_TRUE(downloaded == data) << "unscrambled log differs";
    const std::string target = folder.Path("log.bin");
    EXPECT_TRUE(Around([&] { return programming.DownloadLogToFile(7, Wide(target).c_str(), {}, false); }));
    EXPECT_TRUE(ReadFile(target) == data) << "log file differs";

    EXPECT_EQ(store->Counters().downloadsCompleted, 2u);
    EXPECT_TRUE(Errors().empty());
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProgrammingSizesE2eTest,
                         ::testing::Combine(AllTransports(), ::testing::Values(std::size_t{0}, std::size_t{1},
                                                                               std::size_t{0x01000000},
                                                                               std::size_t{0x01000001},
                                                                               std::size_t{5'000'000})),
                         [](const ::testing::TestParamInfo<std::tuple<E2eTransport, std::size_t>>& p) {
                             return TransportName({std::get<0>(p.param), p.index}) + "_Bytes" +
                                    std::to_string(std::get<1>(p.param));
                         });

// ---------------------------------------------------------------------------
// Refusals and faults of the camera.

enum class Direction
{
    Upload,
    Download
};

struct FaultCase
{
    const char* name;
    Direction direction;
    ProgrammingFault fault;
    // Expected outcome: an upload answers false; a download raises `code` with `context`.
    std::uint32_t code = 0;
    const wchar_t* context = nullptr;
    // A DataError the host must answer with, 0 for none.
    std::uint32_t hostDataError = 0;
    // The camera's DataBegin announces this time-out (downloads).
    std::uint32_t transferTimeoutMs = 0xFFFFFFFF;
    // The test fires an abort object once the camera has the upload's end.
    bool abortAfterEnd = false;
    // The fault is a connection the camera drops after this many host bytes.
    std::uint64_t dropAfterBytes = 0;
};

constexpr std::size_t kFaultUploadSize = 3 * 1024 * 1024;
constexpr std::size_t kFaultLogSize = 3 * 1024 * 1024;

class ProgrammingFaultE2eTest : public ProgrammingE2eTest, public ::testing::WithParamInterface<FaultCase>
{
};

// Each fault ends the transfer with its documented result within the time
// limits, answers the camera as documented, and leaves the agent ready for the
// next transfer once it was stopped and started again.
TEST_P(ProgrammingFaultE2eTest, EndsTheTransferWithItsResultAndTheNextOneRuns)
{
    const FaultCase& c = GetParam();
    const Bytes data = TestData(c.direction == Direction::Upload ? kFaultUploadSize : kFaultLogSize, 3);
    store->SetLog(kLogId, data, false);
    store->SetDownloadBlockSize(256 * 1024);
    store->SetDownloadTimeout(c.transferTimeoutMs);
    if (c.dropAfterBytes != 0)
        camera->Faults().AddDataFault({.channel = k10, .afterBytes = c.dropAfterBytes});
    else
        store->AddFault(c.fault);
    ProgrammingAgent& programming = ConnectAgent();
    TestSupport::LogCapture log;

    const Clock::time_point start = Clock::now();
    if (c.direction == Direction::Upload)
    {
        Q7::Platform::EventCondition_Posix abort;
        std::optional<std::future<void>> firing;
        if (c.abortAfterEnd)
            firing = std::async(std::launch::async,
                                [&]
                                {
                                    EXPECT_TRUE(store->WaitUntil(
                                        [](const auto& n) { return n.uploadEndsReceived > 0; }, 10s));
                                    abort.Set();
                                });
        const WaitObjectList abortObjects{&abort};
        agent->Start();
        EXPECT_FALSE(programming.SendData(kFileType, abortObjects, data.data(), data.size(), L"up.bin"));
        if (c.dropAfterBytes == 0)
        {
            // The direction stays sending until the channel closes.
            const auto second = RaisedBy([&] { programming.SendData(kFileType, {}, data.data(), 1, L"x"); });
            EXPECT_EQ(second, (TestSupport::Raised{0x650066, L"Another data transfer is active."}));
        }
        agent->Stop();
    }
    else
    {
        const auto raised = RaisedBy([&] { Download(); });
        EXPECT_EQ(raised, (TestSupport::Raised{c.code, c.context}))
            << "the download must fail with its documented error";
    }
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, 8s);
    // Silent cameras are given up on no sooner than their time limits.
    std::uint32_t minimumMs = c.transferTimeoutMs != 0xFFFFFFFF ? c.transferTimeoutMs : 0;
    if (c.dropAfterBytes == 0 && c.fault.kind == ProgrammingFaultKind::IgnoreGetLog)
    {
        minimumMs = kTimings.getLogReplyMs;
    }
    if (c.dropAfterBytes == 0 && c.fault.kind == ProgrammingFaultKind::NoDataBegin)
    {
        minimumMs = kTimings.beginTransferMs;
    }
    EXPECT_GE(elapsed, std::chrono::milliseconds(minimumMs));
    if (c.hostDataError != 0)
    {
        EXPECT_EQ(HostDataErrors(), std::vector<std::uint32_t>{c.hostDataError});
    }
    if (c.fault.kind == ProgrammingFaultKind::RefuseLog)
    {
        EXPECT_EQ(log.Count(L"KPX ch1 get log ack result = 'not exist'"), 1u);
    }
    if (c.dropAfterBytes != 0)
        return; // the connection is gone with the camera
    EXPECT_TRUE(Errors().empty());

    // The next transfer runs.
    store->SetDownloadTimeout(0xFFFFFFFF);
    if (c.direction == Direction::Upload)
    {
        EXPECT_TRUE(Upload(data));
        ASSERT_EQ(store->Uploads().size(), 1u);
        EXPECT_TRUE(store->Uploads().back().bytes == data);
    }
    else
    {
        EXPECT_TRUE(Download() == data);
    }
    ExpectNoViolations();
}

ProgrammingFault Fault(ProgrammingFaultKind kind, std::uint64_t afterBytes = 0,
                       std::uint32_t errorId = 0x02000001)
{
    ProgrammingFault fault;
    fault.kind = kind;
    fault.afterBytes = afterBytes;
    fault.errorId = errorId;
    return fault;
}

ProgrammingFault Announcing(std::uint64_t size)
{
    ProgrammingFault fault = Fault(ProgrammingFaultKind::AnnounceSize);
    fault.announcedSize = size;
    return fault;
}

using K = ProgrammingFaultKind;
constexpr std::uint32_t kCodeUnexpected = 0x6500CC;
constexpr std::uint32_t kCodeTimeout = 0x6500CF;

INSTANTIATE_TEST_SUITE_P(
    CameraFaults, ProgrammingFaultE2eTest,
    ::testing::Values(
        FaultCase{"RefusedUpload", Direction::Upload, Fault(K::RefuseUpload)},
        FaultCase{"UploadBeginAnsweredWithDataError", Direction::Upload,
                  Fault(K::ErrorOnUploadBegin, 0, 0x02000042)},
        FaultCase{"UploadAbortedMidway", Direction::Upload, Fault(K::AbortUpload, 1)},
        FaultCase{"DataErrorMidUpload", Direction::Upload, Fault(K::ErrorInUpload, 1, 0x02000043)},
        FaultCase{"UploadEndNeverAcknowledged", Direction::Upload, Fault(K::StallUpload), 0, nullptr, 0,
                  0xFFFFFFFF, true},
        FaultCase{"ConnectionDroppedMidUpload", Direction::Upload, Fault(K::RefuseUpload), 0, nullptr, 0,
                  0xFFFFFFFF, false, 1024 * 1024},
        FaultCase{"LogRefused", Direction::Download, Fault(K::RefuseLog), kCodeUnexpected,
                  L"getlogAck rewsut != ok."},
        FaultCase{"GetLogNeverAnswered", Direction::Download, Fault(K::IgnoreGetLog), kCodeTimeout,
                  L"Device did not respond to get log request."},
        FaultCase{"LogNeverBegun", Direction::Download, Fault(K::NoDataBegin), kCodeTimeout,
                  L"Device did not begin transfer of log."},
        FaultCase{"LogTooLarge", Direction::Download, Announcing(0x3E800001), 0x650067,
                  L"Device log file is too large."},
        FaultCase{"LogAbortedMidway", Direction::Download, Fault(K::AbortDownload, 1024 * 1024),
                  kCodeUnexpected, L"Data state != DATA_STATE_END."},
        FaultCase{"DataErrorMidLog", Direction::Download, Fault(K::ErrorInDownload, 1024 * 1024, 0x02000044),
                  kCodeUnexpected, L"Data state != DATA_STATE_END."},
        FaultCase{"LogBlockOutOfRange", Direction::Download, Fault(K::BlockOutOfRange, 1024 * 1024),
                  kCodeUnexpected, L"Data state != DATA_STATE_END.", 0x02000004},
        FaultCase{"LogEndOfAnotherSize", Direction::Download, Fault(K::EndSizeMismatch), kCodeUnexpected,
                  L"Data state != DATA_STATE_END.", 0x02000006},
        FaultCase{"LogStalledBeyondItsTimeout", Direction::Download, Fault(K::StallDownload, 1024 * 1024),
                  kCodeTimeout, L"Device did transfer log in specified time.", 0, 300},
        FaultCase{"ConnectionDroppedMidLog", Direction::Download, Fault(K::IgnoreGetLog), kCodeUnexpected,
                  L"eventDataStateChange not set", 0, 0xFFFFFFFF, false, 44}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

// A stalled log without a time-out of its own holds the download until an
// abort object fires; the camera learns of it through a DataAbort and stops.
TEST_F(ProgrammingE2eTest, AnAbortObjectEndsAStalledDownloadAndTheCameraStops)
{
    store->SetLog(kLogId, TestData(1 << 20, 0), false);
    store->SetDownloadBlockSize(64 * 1024);
    store->AddFault(Fault(K::StallDownload, 256 * 1024));
    ProgrammingAgent& programming = ConnectAgent();
    Q7::Platform::EventCondition_Posix abort;
    auto firing = std::async(std::launch::async,
                             [&]
                             {
                                 EXPECT_TRUE(store->WaitUntil(
                                     [](const auto& n) { return n.downloadBytesSent >= 256 * 1024; }, 10s));
                                 abort.Set();
                             });
    Bytes out = TestData(5000, 9); // a caller's earlier log
    const auto raised =
        RaisedBy([&] { Around([&] { programming.DownloadLog(out, kLogKind, {&abort}, false); }); });
    ASSERT_NE(raised.code, 0u);
    EXPECT_EQ(raised.context, L"eventDataStateChange not set");
    EXPECT_TRUE(out.empty()) << "a failed download leaves no bytes";
    EXPECT_TRUE(store->WaitUntil([](const auto& n) { return n.downloadsAbortedByHost == 1; }, 5s));
    // Blocks still in flight after the reset are each refused with a DataError
    // and a DataAbort of their id.
    EXPECT_GE(HostMessages(Q7::Sim::kClassDataTransfer, Q7::Sim::kDataAbort), 1u);
    ExpectNoViolations();
}

// ---------------------------------------------------------------------------
// Uploads and downloads through reused memory.

class ProgrammingOverTransportsE2eTest : public ProgrammingE2eTest,
                                         public ::testing::WithParamInterface<E2eTransport>
{
protected:
    E2eTransport Transport() const override { return GetParam(); }
};

// Catches an upload that queues every block at once: after the camera's
// DataAbort the rest of the data was still written, and progress had reported
// all of it before the first block left. With a window of two blocks only a
// few follow the abort, and progress reports what was written.
TEST_P(ProgrammingOverTransportsE2eTest, ACameraAbortEndsALongUploadWithinAFewBlocks)
{
    constexpr std::uint64_t kBlock = ProgrammingAgent::kMaxBlockSize;
    constexpr std::uint64_t kBlocks = 12;
    ProgrammingTimings timings = kTimings;
    timings.uploadWindowBlocks = 2;
    const Bytes data = TestData(kBlocks * kBlock, 21);
    store->SetUploadHandling(Q7::Sim::ProgrammingStore::UploadHandling::CountOnly);
    store->AddFault(Fault(K::AbortUpload, 1)); // once the first block arrived
    ProgrammingAgent& programming = ConnectAgent(timings);
    std::uint64_t reported = 0; // progress runs on this thread
    programming.SetFileProgressCallback([&](const Q7::Universal::ProgressTask& task)
                                        { reported = std::max(reported, task.GetPosition()); });

    EXPECT_FALSE(
        Around([&] { return programming.SendData(kFileType, {}, data.data(), data.size(), L"big.bin"); }));
    const Q7::Sim::ProgrammingCounters counters = store->Counters();
    EXPECT_EQ(counters.uploadBytesReceived, kBlock);
    EXPECT_LE(counters.uploadBytesAfterEnd, 6 * kBlock) << "the host went on writing after the abort";
    EXPECT_LE(reported, kBlock + counters.uploadBytesAfterEnd) << "progress reports more than was written";
    ExpectNoViolations();
}

// Catches a download that sizes (and zero-fills) its destination to what the
// camera announces: 1000 MiB announced for a log of 4 KiB touches no more
// memory than the log, and the log arrives.
TEST_P(ProgrammingOverTransportsE2eTest, AnAnnouncementAloneTakesNoMemory)
{
    const Bytes log = TestData(4096, 5);
    store->SetLog(kLogId, log, false);
    Q7::Sim::ProgrammingFault fault = Fault(K::AnnounceSize);
    fault.announcedSize = ProgrammingAgent::kMaxLogSize;
    store->AddFault(fault);
    ProgrammingAgent& programming = ConnectAgent();
    const auto peakMiB = []
    {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss / 1024; // KiB
    };
    const long before = peakMiB();
    Bytes out;
    Around([&] { programming.DownloadLog(out, kLogKind, {}, false); });
    EXPECT_TRUE(out == log);
    EXPECT_LT(peakMiB() - before, 256) << "MiB of memory touched for an announcement";
    EXPECT_LE(out.capacity(), 1u << 20) << "room beyond the log is given back";
    ExpectNoViolations();
}

// Catches a destination that is not reused: a caller that downloads into the
// same vector again gets the new log in the same storage, with nothing of the
// earlier, longer log left behind.
TEST_P(ProgrammingOverTransportsE2eTest, ADownloadReusesTheCallersVector)
{
    const Bytes first = TestData(3 << 20, 6);
    const Bytes second = TestData((3 << 20) - 1000, 7);
    store->SetDownloadBlockSize(256 * 1024);
    ProgrammingAgent& programming = ConnectAgent();
    Bytes out;
    store->SetLog(kLogId, first, false);
    Around([&] { programming.DownloadLog(out, kLogKind, {}, false); });
    ASSERT_TRUE(out == first);
    const std::uint8_t* storage = out.data();
    store->SetLog(kLogId, second, false);
    Around([&] { programming.DownloadLog(out, kLogKind, {}, false); });
    EXPECT_TRUE(out == second);
    EXPECT_EQ(out.data(), storage);
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Transports, ProgrammingOverTransportsE2eTest, AllTransports(), TransportName);

// ---------------------------------------------------------------------------
// Stop while a camera keeps a transfer waiting.

enum class Silence
{
    BeginNeverAcknowledged, // an upload waits for the DataBeginAck
    EndNeverAcknowledged,   // an upload waits for the DataEndAck
    LogStalled,             // a download without a time-out waits for the next block
};

class ProgrammingStopE2eTest : public ProgrammingE2eTest,
                               public ::testing::WithParamInterface<std::tuple<E2eTransport, Silence>>
{
protected:
    E2eTransport Transport() const override { return std::get<0>(GetParam()); }
};

// Catches a Stop (and so a destructor) that waits behind the agent lock for a
// transfer whose camera never answers: the transfer ends first, failed, and
// the agent stops.
TEST_P(ProgrammingStopE2eTest, StopEndsATransferTheCameraNeverAnswers)
{
    const Silence silence = std::get<1>(GetParam());
    const Bytes data = TestData(1 << 20, 11);
    store->SetLog(kLogId, data, false);
    store->SetDownloadBlockSize(64 * 1024);
    store->AddFault(silence == Silence::BeginNeverAcknowledged ? Fault(K::IgnoreUploadBegin)
                    : silence == Silence::EndNeverAcknowledged ? Fault(K::StallUpload)
                                                               : Fault(K::StallDownload, 256 * 1024));
    ProgrammingAgent& programming = ConnectAgent();
    programming.Start();
    ASSERT_TRUE(programming.IsStarted());

    std::future<bool> transfer = std::async(
        std::launch::async,
        [&]
        {
            if (silence == Silence::LogStalled)
            {
                Bytes out;
                return RaisedBy([&] { programming.DownloadLog(out, kLogKind, {}, false); }).code == 0;
            }
            return programming.SendData(kFileType, {}, data.data(), data.size(), L"up.bin");
        });
    ASSERT_TRUE(store->WaitUntil(
        [silence](const Q7::Sim::ProgrammingCounters& n)
        {
            return silence == Silence::BeginNeverAcknowledged ? n.uploadsBegun == 1
                   : silence == Silence::EndNeverAcknowledged ? n.uploadEndsReceived == 1
                                                              : n.downloadBytesSent >= 256 * 1024;
        },
        10s));

    std::future<void> stopping = std::async(std::launch::async, [&] { programming.Stop(); });
    ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready) << "Stop waits for the silent camera";
    ASSERT_EQ(transfer.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(transfer.get());
    EXPECT_FALSE(programming.IsStarted());
    ExpectNoViolations();
}

std::string SilenceName(const ::testing::TestParamInfo<std::tuple<E2eTransport, Silence>>& info)
{
    static const char* const names[] = {"BeginNeverAcknowledged", "EndNeverAcknowledged", "LogStalled"};
    return TransportName({std::get<0>(info.param), info.index}) + "_" +
           names[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Silences, ProgrammingStopE2eTest,
                         ::testing::Combine(AllTransports(),
                                            ::testing::Values(Silence::BeginNeverAcknowledged,
                                                              Silence::EndNeverAcknowledged,
                                                              Silence::LogStalled)),
                         SilenceName);

// DataBegin and DataEnd carry 64-bit sizes but a transfer's blocks 32-bit
// ones: 4 GiB or more is refused before anything goes to the camera, and the
// agent stays ready.
TEST_F(ProgrammingE2eTest, FourGibibytesOrMoreAreRefusedBeforeAnythingIsSent)
{
    const Bytes data = TestData(1000, 0);
    ProgrammingAgent& programming = ConnectAgent();
    programming.Start();
    {
        TestSupport::LogCapture log;
        // Only the size is looked at: the bytes behind it are never read.
        EXPECT_FALSE(programming.SendData(kFileType, {}, data.data(), 0x100000000ull, L"big.bin"));
        EXPECT_FALSE(programming.SendFirmware(kFileType, {}, data.data(), 0x1FFFFFFFFull));
        EXPECT_EQ(log.Count(L"4294967296"), 1u);
        EXPECT_EQ(log.Count(L"8589934591"), 1u);
    }
    EXPECT_EQ(store->Counters().uploadsBegun, 0u);
    EXPECT_TRUE(programming.SendData(kFileType, {}, data.data(), data.size(), L"small.bin"));
    programming.Stop();
    ASSERT_EQ(store->Uploads().size(), 1u);
    EXPECT_TRUE(store->Uploads().front().bytes == data);
}

// A malformed message from the camera is dispatched as an error and costs the
// channel (closed and opened again), not the agent: the next transfer runs
// without a stop and start.
TEST_F(ProgrammingE2eTest, AMalformedMessageCostsTheChannelNotTheAgent)
{
    const Bytes log = TestData(100000, 1);
    store->SetLog(kLogId, log, false);
    ProgrammingAgent& programming = ConnectAgent();
    programming.Start();
    ASSERT_TRUE(programming.IsStarted());
    // The probe's open, then the send thread's.
    ASSERT_TRUE(camera->WaitUntil([](const auto& o) { return o.opensAccepted == 2; }, 5s));

    const Bytes headerSize8{0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 8, 0, 16, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(camera->SendOnChannel(CameraConnection(), k10, headerSize8));
    EXPECT_TRUE(WaitForError(0x650003));
    ASSERT_TRUE(camera->WaitUntil([](const auto& o) { return o.opensAccepted == 3; }, 5s));

    Bytes out;
    programming.DownloadLog(out, kLogKind, {}, false);
    EXPECT_TRUE(out == log);
    EXPECT_TRUE(programming.IsStarted());
    programming.Stop();
    ExpectNoViolations();
}

} // namespace
