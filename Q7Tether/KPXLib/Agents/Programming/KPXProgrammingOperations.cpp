// The programming agent's transfers: data, firmware and files to the camera,
// the camera's logs into memory or a file.
#include "Agents/Programming/KPXProgramming.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "Q7PlatformClock_Posix.h"
#include "Q7PlatformFileSystem_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX
{
namespace
{

using Universal::ModuleError;
using Universal::StandardError;
using Universal::StdExceptionError;
using Universal::UniversalError;

// The module code of the download's "not started" failures.
constexpr std::uint32_t kError_KpxNotStarted = 0x15E0019;
constexpr const wchar_t* kDownloadSite = L"Did not download log";

// The key a camera scrambles its logs with. A log is unscrambled by XOR-ing
// byte i with key[i mod 8].
constexpr std::array<std::uint8_t, 8> kLogKey{0x5A, 0xC3, 0x17, 0x9E, 0x64, 0x2B, 0xF0, 0x81};

void Unscramble(std::span<std::uint8_t> bytes) noexcept
{
    // A word at a time: every word starts at a multiple of the key's length,
    // so the key's bytes line up with the word's bytes in memory order.
    std::uint64_t keyWord = 0;
    std::memcpy(&keyWord, kLogKey.data(), sizeof(keyWord));
    std::size_t i = 0;
    for (; i + sizeof(keyWord) <= bytes.size(); i += sizeof(keyWord))
    {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + i, sizeof(word));
        word ^= keyWord;
        std::memcpy(bytes.data() + i, &word, sizeof(word));
    }
    for (; i < bytes.size(); ++i)
        bytes[i] ^= kLogKey[i % kLogKey.size()];
}

// The log id a kind of log asks for.
std::uint32_t LogIdOfKind(std::uint32_t kind) noexcept
{
    switch (kind)
    {
    case 1:
        return 1;
    case 2:
        return 104;
    default:
        return kind;
    }
}

const wchar_t* GetLogAckResultText(std::uint32_t result) noexcept
{
    switch (result)
    {
    case 0:
        return L"ok";
    case 1:
        return L"not exist";
    case 2:
        return L"not available";
    default:
        return L"unknown";
    }
}

struct FileCloser
{
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Raises the StandardError of a failed file step (logged, the path as context).
[[noreturn]] void ThrowFileError(int errorNumber, const wchar_t* path, const wchar_t* text)
{
    Universal::ThrowStandardError(StandardError(static_cast<std::uint32_t>(errorNumber), path), text);
}

// The whole contents of a file; see SendFile for the errors.
std::vector<std::uint8_t> ReadWholeFile(const wchar_t* path)
{
    const FileHandle file(Platform::OpenFile(path, L"rb"));
    if (::fseeko(file.get(), 0, SEEK_END) != 0)
        ThrowFileError(errno, path, L"Failed to seek to end of file.");
    const off_t end = ::ftello(file.get());
    if (end < 0)
        ThrowFileError(errno, path, L"Failed to read file size.");
    // Sizes are signed 32-bit positions on the camera's side of the protocol.
    if (end > ProgrammingAgent::kMaxFileSize)
        ThrowFileError(EOVERFLOW, path, L"Failed to read file size.");
    if (::fseeko(file.get(), 0, SEEK_SET) != 0)
        ThrowFileError(errno, path, L"Failed to seek to beginning of file.");
    if (end == 0)
        Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidSize, path), L"Invalid file size.");

    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(end));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        Universal::ThrowStandardError(StandardError(path), L"Failed to read file.");
    return bytes;
}

} // namespace

// ---------------------------------------------------------------------------
// Sending.

class ProgrammingAgent::RunningTaskScope
{
public:
    RunningTaskScope(ProgrammingAgent& agent, const Universal::ProgressTask& task) : m_agent(agent)
    {
        Platform::ScopedLock lock(m_agent.m_cancelLock);
        m_agent.m_cancelled.Reset();
        m_agent.m_runningTask = RunningTask{task.GetType(), task.GetId()};
    }
    ~RunningTaskScope()
    {
        Platform::ScopedLock lock(m_agent.m_cancelLock);
        m_agent.m_runningTask.reset();
        m_agent.m_cancelled.Reset();
    }

    RunningTaskScope(const RunningTaskScope&) = delete;
    RunningTaskScope& operator=(const RunningTaskScope&) = delete;

private:
    ProgrammingAgent& m_agent;
};

bool ProgrammingAgent::SendData(std::uint32_t type, const WaitObjectList& abortObjects,
                                const std::uint8_t* data, std::uint64_t size, const wchar_t* name)
{
    const std::string narrowName = name != nullptr ? Universal::ToNarrow(name).c_str() : "";
    return RunSend(type, abortObjects, data, size, narrowName, m_fileProgress);
}

bool ProgrammingAgent::SendFirmwareData(const WaitObjectList& abortObjects, const std::uint8_t* data,
                                        std::uint64_t size)
{
    return SendFirmware(kFirmwareDataType, abortObjects, data, size);
}

bool ProgrammingAgent::SendFirmware(std::uint32_t type, const WaitObjectList& abortObjects,
                                    const std::uint8_t* data, std::uint64_t size)
{
    return RunSend(type, abortObjects, data, size, ".fwr", m_firmwareProgress);
}

bool ProgrammingAgent::RunSend(std::uint32_t type, const WaitObjectList& abortObjects,
                               const std::uint8_t* data, std::uint64_t size, const std::string& name,
                               Universal::ProgressProvider& provider)
{
    // DataBegin and DataEnd carry 64-bit sizes, but a transfer's blocks and its
    // camera's positions are 32-bit: refuse what would be cut short.
    if (size > 0xFFFFFFFFu)
    {
        Universal::LogErrorText(L"KPX ch1 cannot send %llu bytes in one transfer.",
                                static_cast<unsigned long long>(size));
        return false;
    }
    if (data == nullptr && size != 0)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_InvalidParameter, L"KPX ch1 no data to send."));

    Universal::ProgressTask task(type, &provider);
    task.SetTotal(size);
    task.SetPosition(0);

    Platform::ScopedLock lock(m_agentLock);
    // A cancel that came before the task was published has marked it aborted.
    const RunningTaskScope running(*this, task);
    if (task.IsAborted() || !WaitForOpenedChannel(abortObjects))
        return false;
    try
    {
        const std::uint32_t dataId = m_transfer.BeginSending();
        m_window->BeginTransfer();
        SendDataBegin(dataId, type, size, kMaxBlockSize, name);

        std::uint32_t state = kDataState_Begin;
        while ((state = m_transfer.GetDataState(true)) == kDataState_Begin)
        {
            if (WaitForSignal(abortObjects, m_transfer.GetDataStateChangeEvent(), Platform::kInfinite) !=
                true)
                return GiveUpSend(abortObjects);
        }
        // Anything but the DataBeginAck: the camera refused or aborted.
        if (state != kDataState_Transfer)
            return false;

        task.Start();
        if (!SendBlocks(dataId, abortObjects, data, size, task))
            return false;
        if (!m_transfer.EndSending(size))
            return false;

        // The DataEndAck; meanwhile the last blocks go out and are reported.
        const std::uint64_t step = size / 100;
        for (;;)
        {
            m_window->GetChangedEvent().Reset();
            state = m_transfer.GetDataState(true);
            task.UpdatePosition(m_window->GetWrittenBytes(), step);
            if (state != kDataState_End)
                break;
            if (!WaitForSendProgress(abortObjects))
                return GiveUpSend(abortObjects);
        }
        // Only the camera's DataEndAck of this transfer completes it; a
        // DataError, a DataAbort or a reset of the channel is a failed send.
        if (!m_transfer.IsSendAcknowledged())
            return false;
        task.Stop(true);
        CloseChannel(true);
        return true;
    }
    catch (const UniversalError&)
    {
        m_transfer.AbortTransfer();
        throw;
    }
    catch (const std::exception& exception)
    {
        m_transfer.AbortTransfer();
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

bool ProgrammingAgent::SendBlocks(std::uint32_t dataId, const WaitObjectList& abortObjects,
                                  const std::uint8_t* data, std::uint64_t size, Universal::ProgressTask& task)
{
    const ProtocolVersion version = GetMessageVersion();
    const std::size_t headerSize = GetDataBlockMessageSize(version);
    const std::uint64_t step = size / 100;
    std::uint64_t queued = 0;
    while (queued < size)
    {
        // The events first, then what they report: no change is lost.
        m_window->GetChangedEvent().Reset();
        const std::uint32_t state = m_transfer.GetDataState(true);
        task.UpdatePosition(m_window->GetWrittenBytes(), step);
        // The camera aborted (idle) or failed (abort) the transfer, or the
        // channel closed.
        if (state != kDataState_Transfer)
            return false;
        if (m_cancelled.IsSet())
            return GiveUpSend(abortObjects);

        const auto block = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - queued, kMaxBlockSize));
        std::optional<SendWindow::Buffer> buffer = m_window->TryTake(headerSize + block);
        if (!buffer)
        {
            // The whole window is out: wait until a block was written.
            if (!WaitForSendProgress(abortObjects))
                return GiveUpSend(abortObjects);
            continue;
        }
        const std::span<std::uint8_t> bytes = buffer->Bytes();
        const std::size_t fixed = BuildDataBlockHeader(bytes, version, dataId, block);
        std::memcpy(bytes.data() + fixed, data + queued, block);
        SendDataBlock(dataId, std::move(*buffer), block);
        queued += block;
    }
    if (m_cancelled.IsSet())
        return GiveUpSend(abortObjects);
    return true;
}

bool ProgrammingAgent::GiveUpSend(const WaitObjectList& abortObjects)
{
    m_transfer.AbortTransfer();
    // A cancelled send lets its DataAbort reach the camera before it returns:
    // the agent may be stopped next, which drops what is still queued.
    if (m_cancelled.IsSet())
        WaitForSendQueueDrain(abortObjects, m_timings.queueDrainMs);
    return false;
}

bool ProgrammingAgent::SendFile(std::uint32_t type, const wchar_t* path, const WaitObjectList& abortObjects)
{
    return SendFileContents(type, path, abortObjects, false);
}

bool ProgrammingAgent::SendFirmwareFile(std::uint32_t type, const wchar_t* path,
                                        const WaitObjectList& abortObjects)
{
    return SendFileContents(type, path, abortObjects, true);
}

bool ProgrammingAgent::SendFileContents(std::uint32_t type, const wchar_t* path,
                                        const WaitObjectList& abortObjects, bool firmware)
{
    if (path == nullptr)
        return false;
    try
    {
        const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
        return firmware ? SendFirmware(type, abortObjects, bytes.data(), bytes.size())
                        : SendData(type, abortObjects, bytes.data(), bytes.size(), path);
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

// ---------------------------------------------------------------------------
// Downloading.

void ProgrammingAgent::DownloadLog(std::vector<std::uint8_t>& out, std::uint32_t kind,
                                   const WaitObjectList& abortObjects, bool descramble)
{
    try
    {
        Platform::ScopedLock lock(m_agentLock);
        if (!IsStarted())
            Q7_THROW_INTERNAL_ERROR(ModuleError(kError_KpxNotStarted, L"Programming agent not started."),
                                    L"Did not download log.");
        const std::uint32_t logId = LogIdOfKind(kind);
        Universal::LogInfo(L"Download log: id=%u", logId);
        if (!WaitForOpenedChannel(abortObjects))
            Q7_THROW_INTERNAL_ERROR(ModuleError(kError_KpxNotStarted, L"No channel open event."),
                                    L"Did not download log.");
        m_transfer.BeginReceiving();

        std::vector<std::uint8_t> bytes;
        try
        {
            bytes = ReceiveLog(logId, abortObjects, out);
        }
        catch (...)
        {
            // A failed download leaves the agent ready for the next transfer,
            // after its DataAbort went out, and no bytes in `out`.
            out.clear();
            try
            {
                m_transfer.AbortTransfer();
                m_transfer.Reset();
            }
            catch (...)
            {
            }
            WaitForSendQueueDrain({}, m_timings.queueDrainMs);
            throw;
        }
        // The DataEndAck goes out before the call returns.
        WaitForSendQueueDrain({}, m_timings.queueDrainMs);
        if (descramble)
            Unscramble(bytes);
        out = std::move(bytes);
    }
    catch (const UniversalError&)
    {
        throw;
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

TransferBuffer ProgrammingAgent::AcceptLogBegin(std::uint32_t dataId, std::vector<std::uint8_t>& out)
{
    const std::uint32_t announced = m_transfer.CheckReceiveBegin(dataId, kMaxLogSize);
    // Outside the data lock, so that the receive thread goes on handling the
    // camera's messages meanwhile. The blocks land in `out`'s storage; room
    // is only reserved (address space the kernel hands out zeroed when first
    // touched), at most kMaxAnnouncedReserve bytes for what the announcement
    // alone says; a larger log grows as its blocks arrive.
    auto destination = std::make_shared<std::vector<std::uint8_t>>(std::move(out));
    out.clear();
    const std::size_t reserve = std::min(announced, kMaxAnnouncedReserve);
    if (destination->capacity() < reserve)
    {
        destination->clear(); // what it held is not copied into the new room
        destination->reserve(reserve);
    }
    m_transfer.AcceptReceiveBegin(dataId, destination);
    return destination;
}

std::vector<std::uint8_t> ProgrammingAgent::ReceiveLog(std::uint32_t logId,
                                                       const WaitObjectList& abortObjects,
                                                       std::vector<std::uint8_t>& out)
{
    // The request.
    m_transfer.ClearLogAck();
    SendGetLog(logId);
    const std::optional<bool> answered =
        WaitForSignal(abortObjects, m_transfer.GetLogEvent(), m_timings.getLogReplyMs);
    if (!answered)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_Timeout, L"Device did not respond to get log request."));
    if (!*answered)
        Q7_THROW_INTERNAL_ERROR(
            ModuleError(Universal::kError_UnexpectedResult, L"Device did not receive getlogAck."),
            kDownloadSite);

    const std::optional<GetLogAckMessage> ack = m_transfer.TakeLogAck();
    if (!ack)
        Q7_THROW_INTERNAL_ERROR(ModuleError(Universal::kError_InvalidState, L"Invalid buffer."),
                                L"get log ack msg");
    if (ack->id != logId)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_UnexpectedResult, L"Unexpected log id in get log acknowledge."));
    if (ack->result != 0)
    {
        Universal::LogWarning(L"KPX ch1 get log ack result = '%ls'", GetLogAckResultText(ack->result));
        Q7_THROW_INTERNAL_ERROR(ModuleError(Universal::kError_UnexpectedResult, L"getlogAck rewsut != ok."),
                                kDownloadSite);
    }

    // The camera's DataBegin.
    const std::uint64_t deadline = Platform::GetTickCountMs() + m_timings.beginTransferMs;
    TransferBuffer buffer;
    while (!buffer)
    {
        if (m_transfer.GetDataState(true) != kDataState_Idle)
        {
            buffer = AcceptLogBegin(ack->dataId, out);
            break;
        }
        const std::uint64_t now = Platform::GetTickCountMs();
        const auto left = static_cast<std::uint32_t>(deadline > now ? deadline - now : 0);
        const std::optional<bool> changed =
            WaitForSignal(abortObjects, m_transfer.GetDataStateChangeEvent(), left);
        if (!changed)
            Universal::ThrowModuleError(
                ModuleError(Universal::kError_Timeout, L"Device did not begin transfer of log."));
        if (!*changed)
            Q7_THROW_INTERNAL_ERROR(
                ModuleError(Universal::kError_UnexpectedResult, L"eventDataStateChange not set."),
                kDownloadSite);
    }

    // The blocks, until the camera's DataEnd.
    while (m_transfer.GetDataState(true) == kDataState_Transfer)
    {
        const std::optional<bool> changed = WaitForSignal(abortObjects, m_transfer.GetDataStateChangeEvent(),
                                                          m_transfer.GetReceiveTimeLeft());
        if (!changed)
            Universal::ThrowModuleError(
                ModuleError(Universal::kError_Timeout, L"Device did transfer log in specified time."));
        if (!*changed)
            Q7_THROW_INTERNAL_ERROR(
                ModuleError(Universal::kError_UnexpectedResult, L"eventDataStateChange not set"),
                kDownloadSite);
    }
    return m_transfer.FinishReceive(buffer);
}

bool ProgrammingAgent::DownloadLogToFile(std::uint32_t kind, const wchar_t* path,
                                         const WaitObjectList& abortObjects, bool descramble)
{
    std::vector<std::uint8_t> bytes;
    DownloadLog(bytes, kind, abortObjects, descramble);
    Universal::LogInfo(L"Downloading file (%u bytes) to \"%ls\"", static_cast<unsigned>(bytes.size()),
                       path != nullptr ? path : L"");
    std::FILE* file = Platform::OpenFile(path, L"wb");
    const std::size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
    const int writeError = errno;
    // A close that fails to flush loses bytes as a short write does.
    const bool closed = std::fclose(file) == 0;
    const int closeError = errno;
    if (written != bytes.size())
        ThrowFileError(writeError, path, nullptr);
    if (!closed)
        ThrowFileError(closeError, path, nullptr);
    return true;
}

} // namespace Q7::KPX
