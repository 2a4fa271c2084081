#include "Agents/Programming/KPXProgrammingTransfer.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX
{
namespace
{

using Universal::LogErrorText;
using Universal::LogInfo;
using Universal::ModuleError;

constexpr std::uint64_t MiBRoundedUp(std::uint64_t bytes) noexcept
{
    return (bytes + 0xFFFFF) >> 20;
}

// Spare room at the end of a download that is kept rather than given back.
constexpr std::size_t kShrinkSlack = 1 << 20;

// Makes a download's destination cover [position, position + count): grows it
// (the new bytes value-initialised), and clears the bytes a reused buffer
// still holds between the highest position reached (`received`) and the
// block, which must read as zero. Room beyond what the announcement alone got
// is taken once blocks need it, then for the whole announced size at once: the
// camera has shown the log is large, and the log is copied only that once.
// Room is address space until bytes are written to it.
void PrepareBlockTarget(std::vector<std::uint8_t>& bytes, std::uint64_t position, std::uint32_t count,
                        std::uint64_t received, std::uint32_t maxSize)
{
    const std::size_t oldSize = bytes.size();
    const auto end = static_cast<std::size_t>(position + count);
    if (end > oldSize)
    {
        if (end > bytes.capacity())
            bytes.reserve(maxSize);
        bytes.resize(end);
    }
    const auto stale = static_cast<std::size_t>(std::min<std::uint64_t>(position, oldSize));
    if (stale > received)
        std::memset(bytes.data() + received, 0, stale - static_cast<std::size_t>(received));
}

// The camera's narrow text as wide text for the log (UTF-8, invalid bytes
// shown as U+FFFD).
Universal::UniversalString CameraText(const std::string& text)
{
    return Universal::FromNarrow(text.c_str());
}

} // namespace

const wchar_t* GetTransferStateName(std::uint32_t state) noexcept
{
    switch (state)
    {
    case kTransferState_Disabled:
        return L"disabled";
    case kTransferState_Receiving:
        return L"receiving";
    case kTransferState_Sending:
        return L"sending";
    default:
        return L"unknown";
    }
}

const wchar_t* GetDataStateName(std::uint32_t state) noexcept
{
    switch (state)
    {
    case kDataState_Idle:
        return L"idle";
    case kDataState_Begin:
        return L"begin";
    case kDataState_Transfer:
        return L"transfer";
    case kDataState_End:
        return L"end";
    case kDataState_Abort:
        return L"abort";
    default:
        return L"unknown";
    }
}

bool IsValidDataStateTransition(std::uint32_t from, std::uint32_t to) noexcept
{
    if (from > kDataState_Abort || to > kDataState_Abort || from == to)
        return false;
    switch (to)
    {
    case kDataState_Idle:
        return true;
    case kDataState_Begin:
        return from == kDataState_Idle;
    case kDataState_Transfer:
        return from == kDataState_Begin;
    case kDataState_End:
        return from == kDataState_Transfer;
    case kDataState_Abort:
        return from != kDataState_Abort;
    default:
        return false;
    }
}

ProgrammingReplies::~ProgrammingReplies() = default;

ProgrammingTransfer::ProgrammingTransfer(ProgrammingReplies& replies) : m_replies(replies)
{
    m_record.startTick = Platform::GetTickCountMs();
}

ProgrammingTransfer::~ProgrammingTransfer() = default;

// ---------------------------------------------------------------------------
// State.

std::uint32_t ProgrammingTransfer::GetDataState(bool resetEvent)
{
    if (resetEvent)
        m_dataStateChange.Reset();
    Platform::ScopedLock lock(m_dataLock);
    return m_dataState;
}

std::uint32_t ProgrammingTransfer::GetTransferState() const
{
    Platform::ScopedLock lock(m_dataLock);
    return m_transferState;
}

std::uint32_t ProgrammingTransfer::GetCurrentDataId() const
{
    Platform::ScopedLock lock(m_dataLock);
    return m_currentDataId;
}

bool ProgrammingTransfer::SetDataState(std::uint32_t state)
{
    Platform::ScopedLock lock(m_dataLock);
    if (state == m_dataState)
        return true;
    if (!IsValidDataStateTransition(m_dataState, state))
    {
        const Universal::UniversalString text(L"KPX ch1 refused data state change %ls -> %ls",
                                              GetDataStateName(m_dataState), GetDataStateName(state));
        Q7_REPORT_INTERNAL_ERROR_TEXT(text.c_str());
        return false;
    }
    LogInfo(L"KPX ch1 data state %ls -> %ls", GetDataStateName(m_dataState), GetDataStateName(state));
    m_dataState = state;
    m_dataStateChange.Set();
    return true;
}

void ProgrammingTransfer::SetTransferState(std::uint32_t state)
{
    Platform::ScopedLock lock(m_dataLock);
    if (state == m_transferState)
        return;
    LogInfo(L"KPX ch1 transfer state %ls -> %ls", GetTransferStateName(m_transferState),
            GetTransferStateName(state));
    m_transferState = state;
}

void ProgrammingTransfer::ResetReceiveRecord()
{
    Platform::ScopedLock lock(m_dataLock);
    m_currentDataId = kNoDataId;
    m_record = ReceiveRecord{};
    m_record.startTick = Platform::GetTickCountMs();
    m_sendAcknowledged = false;
}

void ProgrammingTransfer::Reset()
{
    Platform::ScopedLock lock(m_dataLock);
    SetTransferState(kTransferState_Disabled);
    SetDataState(kDataState_Idle);
    ResetReceiveRecord();
}

void ProgrammingTransfer::AbortTransfer()
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_dataState == kDataState_Idle || m_dataState == kDataState_Abort)
        return;
    SetDataState(kDataState_Abort);
    m_replies.SendDataAbort(m_currentDataId);
}

// ---------------------------------------------------------------------------
// Steps of the operations.

std::uint32_t ProgrammingTransfer::BeginSending()
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_transferState != kTransferState_Disabled)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_InvalidState, L"Another data transfer is active."));
    Reset();
    m_currentDataId = ++m_dataIdCounter;
    SetTransferState(kTransferState_Sending);
    SetDataState(kDataState_Begin);
    return m_currentDataId;
}

bool ProgrammingTransfer::EndSending(std::uint64_t totalSize)
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_dataState != kDataState_Transfer)
        return false;
    SetDataState(kDataState_End);
    m_replies.SendDataEnd(m_currentDataId, totalSize);
    return true;
}

bool ProgrammingTransfer::IsSendAcknowledged() const
{
    Platform::ScopedLock lock(m_dataLock);
    return m_sendAcknowledged;
}

void ProgrammingTransfer::BeginReceiving()
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_transferState != kTransferState_Disabled)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_InvalidState, L"Another data transfer is active."));
    Reset();
    SetTransferState(kTransferState_Receiving);
}

std::uint32_t ProgrammingTransfer::CheckReceiveBegin(std::uint32_t expectedDataId, std::uint32_t largestSize)
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_dataState != kDataState_Begin)
        Q7_THROW_INTERNAL_ERROR(
            ModuleError(Universal::kError_UnexpectedResult, L"Data state != DataStateBegin."),
            L"Did not download log");
    if (m_currentDataId != expectedDataId)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_UnexpectedResult, L"Unexpected data id in data begin message."));
    if (m_record.maxSize > largestSize)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_NotSupported, L"Device log file is too large."));
    return m_record.maxSize;
}

void ProgrammingTransfer::AcceptReceiveBegin(std::uint32_t expectedDataId, const TransferBuffer& destination)
{
    Platform::ScopedLock lock(m_dataLock);
    // The camera may have aborted or begun anew while the destination was
    // prepared.
    if (m_dataState != kDataState_Begin || m_currentDataId != expectedDataId)
        Q7_THROW_INTERNAL_ERROR(
            ModuleError(Universal::kError_UnexpectedResult, L"Data state != DataStateBegin."),
            L"Did not download log");
    if (m_record.maxSize != 0)
        m_record.destination = destination;
    SetDataState(kDataState_Transfer);
    m_replies.SendDataBeginAck(m_currentDataId);
}

std::uint32_t ProgrammingTransfer::GetReceiveTimeLeft() const
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_record.timeoutMs == kNoTransferTimeout)
        return Platform::kInfinite;
    const std::uint64_t elapsed = Platform::GetTickCountMs() - m_record.startTick;
    return elapsed >= m_record.timeoutMs ? 0 : static_cast<std::uint32_t>(m_record.timeoutMs - elapsed);
}

std::vector<std::uint8_t> ProgrammingTransfer::FinishReceive(const TransferBuffer& buffer)
{
    Platform::ScopedLock lock(m_dataLock);
    if (m_dataState != kDataState_End)
        Q7_THROW_INTERNAL_ERROR(
            ModuleError(Universal::kError_UnexpectedResult, L"Data state != DATA_STATE_END."),
            L"Did not download log");
    // At end no block is being read: blocks are read on the receive thread,
    // which moved the state to end after the last one.
    m_record.destination.reset();
    std::vector<std::uint8_t> bytes = std::move(*buffer);
    bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(m_record.receivedSize, bytes.size())));
    // Room well beyond the log (an announcement larger than what came, or a
    // reused buffer of a larger log) is given back; a buffer about the log's
    // size is kept as it is, since shrinking copies the log.
    const std::size_t spare = bytes.capacity() - bytes.size();
    if (spare > bytes.size() && spare > kShrinkSlack)
        bytes.shrink_to_fit();
    m_replies.SendDataEndAck(m_currentDataId);
    Reset();
    return bytes;
}

ReceiveProgress ProgrammingTransfer::GetReceiveProgress() const
{
    Platform::ScopedLock lock(m_dataLock);
    ReceiveProgress progress;
    progress.maxSize = m_record.maxSize;
    progress.writePosition = m_record.writePosition;
    progress.receivedSize = m_record.receivedSize;
    progress.name = m_record.name;
    progress.hasDestination = m_record.destination != nullptr;
    progress.destinationSize = m_record.destination ? m_record.destination->size() : 0;
    progress.destinationCapacity = m_record.destination ? m_record.destination->capacity() : 0;
    return progress;
}

void ProgrammingTransfer::ClearLogAck()
{
    Platform::ScopedLock lock(m_logLock);
    m_logEvent.Reset();
    m_logAck.reset();
}

std::optional<GetLogAckMessage> ProgrammingTransfer::TakeLogAck()
{
    Platform::ScopedLock lock(m_logLock);
    return std::exchange(m_logAck, std::nullopt);
}

// ---------------------------------------------------------------------------
// Handlers.

bool ProgrammingTransfer::HandleMessage(const CommonMessageHeader& header, MessageSource& source)
{
    if (const std::optional<bool> routed = RouteDataTransferMessage<DataAcks::kTaken>(*this, header, source))
        return *routed;
    switch (header.messageClass)
    {
    case kMessageClass_DeviceProgramming:
        if (header.messageType == kDeviceProgrammingMessage_GetLogAck)
            return HandleGetLogAck(header, source);
        break;
    default:
        break;
    }
    return HandleUnknownMessage(header, source);
}

template <typename Message>
bool ProgrammingTransfer::ReadWhole(MessageSource& source, const CommonMessageHeader& header,
                                    Message& message)
{
    return ReadMessageFixedPart(source, header, message) == 0 &&
           source.Skip(std::uint64_t{header.messageSize} - header.messageHeaderSize) == 0;
}

void ProgrammingTransfer::RefuseDirection(const wchar_t* what, const wchar_t* direction, std::uint32_t dataId,
                                          const CommonMessageHeader& header)
{
    LogErrorText(L"KPX ch1 %ls msg when %ls is not enabled.", what, direction);
    m_replies.SendDataError(dataId, kDataError_WrongState, header);
    m_replies.SendDataAbort(dataId);
}

bool ProgrammingTransfer::RefuseUnknownId(const wchar_t* what, std::uint32_t dataId,
                                          const CommonMessageHeader& header)
{
    if (m_dataState == kDataState_Idle || dataId == m_currentDataId)
        return false;
    LogErrorText(L"KPX ch1 %ls msg received with unknown data id = %u.", what, dataId);
    m_replies.SendDataError(dataId, kDataError_UnknownDataId, header);
    m_replies.SendDataAbort(dataId);
    return true;
}

void ProgrammingTransfer::RefuseWrongState(const wchar_t* what, std::uint32_t dataId,
                                           const CommonMessageHeader& header)
{
    LogErrorText(L"KPX ch1 %ls msg received in the wrong state.", what);
    m_replies.SendDataError(dataId, kDataError_WrongState, header);
    AbortTransfer();
}

bool ProgrammingTransfer::HandleDataBegin(const CommonMessageHeader& header, MessageSource& source)
{
    DataBeginMessage message = MakeDefaultDataBegin(m_replies.GetMessageVersion());
    if (ReadMessageFixedPart(source, header, message) != 0)
        return false;
    std::uint64_t left = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    CheckVariableLength(message.nameLength, left, L"KPX ch1 data begin message.",
                        L"detailStringSize (%u) is too large.");
    std::string name;
    if (ReadMessageText(source, message.nameLength, name) != 0)
        return false;
    left -= message.nameLength;
    if (source.Skip(left) != 0)
        return false;

    LogInfo(L"KPX ch1 data begin msg (id=%u, maxSize=%llu (%llu MB))", message.dataId,
            static_cast<unsigned long long>(message.maxDataSize),
            static_cast<unsigned long long>(MiBRoundedUp(message.maxDataSize)));

    Platform::ScopedLock lock(m_dataLock);
    if (m_transferState != kTransferState_Receiving)
    {
        RefuseDirection(L"data begin", L"receiving", message.dataId, header);
        return true;
    }
    if (m_dataState != kDataState_Idle)
    {
        LogErrorText(L"KPX ch1 data begin msg received in the wrong state.");
        m_replies.SendDataError(message.dataId, kDataError_WrongState, header);
        if (message.dataId == m_currentDataId)
        {
            LogErrorText(L"KPX ch1 data begin msg with same data id as ongoing transfer.");
            AbortTransfer();
        }
        else
        {
            m_replies.SendDataAbort(message.dataId);
        }
        return true;
    }
    ResetReceiveRecord();
    m_currentDataId = message.dataId;
    m_record.maxSize = static_cast<std::uint32_t>(message.maxDataSize);
    m_record.name = std::move(name);
    m_record.timeoutMs = message.timeout;
    m_record.startTick = Platform::GetTickCountMs();
    if (message.maxDataSize > 0xFFFFFFFFu)
    {
        LogErrorText(L"KPX ch1 data begin msg maximum data size is too large.");
        SetDataState(kDataState_Abort);
        m_replies.SendDataAbort(message.dataId);
    }
    else
    {
        SetDataState(kDataState_Begin);
    }
    return true;
}

bool ProgrammingTransfer::HandleDataBeginAck(const CommonMessageHeader& header, MessageSource& source)
{
    DataIdMessage message =
        MakeDefaultDataIdMessage(m_replies.GetMessageVersion(), kDataTransferMessage_DataBeginAck);
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"KPX ch1 data begin ack msg (id=%u)", message.dataId);

    Platform::ScopedLock lock(m_dataLock);
    if (m_transferState != kTransferState_Sending)
        RefuseDirection(L"data begin ack", L"sending", message.dataId, header);
    else if (RefuseUnknownId(L"data begin ack", message.dataId, header))
        ;
    else if (m_dataState == kDataState_Begin)
        SetDataState(kDataState_Transfer);
    else if (m_dataState == kDataState_Abort)
        m_replies.SendDataAbort(m_currentDataId);
    else
        RefuseWrongState(L"data begin ack", message.dataId, header);
    return true;
}

bool ProgrammingTransfer::HandleDataBlock(const CommonMessageHeader& header, MessageSource& source)
{
    DataBlockMessage message = MakeDefaultDataBlock(m_replies.GetMessageVersion());
    if (ReadMessageFixedPart(source, header, message) != 0)
        return false;
    std::uint64_t left = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    LogInfo(L"KPX ch1 data block msg (id=%u, size=%u)", message.dataId, message.blockSize);

    TransferBuffer destination; // the handler's own reference while it reads
    std::uint64_t position = 0;
    std::uint64_t received = 0;
    std::uint32_t maxSize = 0;
    {
        Platform::ScopedLock lock(m_dataLock);
        if (m_transferState != kTransferState_Receiving)
            RefuseDirection(L"data block", L"receiving", message.dataId, header);
        else if (RefuseUnknownId(L"data block", message.dataId, header))
            ;
        else if (m_dataState != kDataState_Transfer && m_dataState != kDataState_Abort)
            RefuseWrongState(L"data block", message.dataId, header);
        else if (message.blockSize != 0)
        {
            if (!CheckDataBlockFits(message, left, m_record.writePosition, m_record.maxSize, L"KPX ch1",
                                    L"KPX ch1 data block message."))
            {
                m_replies.SendDataError(message.dataId, kDataError_BlockBeyondSize, header);
                AbortTransfer();
            }
            else if (m_dataState == kDataState_Transfer && m_record.destination != nullptr)
            {
                destination = m_record.destination;
                position = m_record.writePosition;
                received = m_record.receivedSize;
                maxSize = m_record.maxSize;
            }
        }
    }

    if (destination != nullptr)
    {
        // Only this thread touches the destination's bytes until the data
        // state is end; growing it (which may take a while) happens outside
        // the data lock.
        PrepareBlockTarget(*destination, position, message.blockSize, received, maxSize);
        const std::span<std::uint8_t> target(destination->data() + position, message.blockSize);
        if (source.Read(target) != 0)
            return false;
        left -= message.blockSize;

        Platform::ScopedLock lock(m_dataLock);
        if (m_transferState == kTransferState_Receiving && m_dataState == kDataState_Transfer &&
            m_currentDataId == message.dataId && m_record.destination == destination)
        {
            m_record.writePosition = position + message.blockSize;
            m_record.receivedSize = std::max(m_record.receivedSize, m_record.writePosition);
        }
    }
    return source.Skip(left) == 0;
}

bool ProgrammingTransfer::HandleDataSeek(const CommonMessageHeader& header, MessageSource& source)
{
    DataSeekMessage message = MakeDefaultDataSeek(m_replies.GetMessageVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"KPX ch1 data seek msg (id=%u, offset=%u)", message.dataId, message.offset);

    Platform::ScopedLock lock(m_dataLock);
    if (RefuseUnknownId(L"data seek", message.dataId, header))
        return true;
    if (m_dataState == kDataState_Transfer || m_dataState == kDataState_Abort)
    {
        if (message.offset <= m_record.maxSize)
        {
            m_record.writePosition = message.offset;
        }
        else
        {
            LogErrorText(L"KPX ch1 data seek msg offset is out of range.");
            m_replies.SendDataError(message.dataId, kDataError_SeekBeyondSize, header);
            AbortTransfer();
        }
    }
    else
    {
        RefuseWrongState(L"data seek", message.dataId, header);
    }
    return true;
}

bool ProgrammingTransfer::HandleDataEnd(const CommonMessageHeader& header, MessageSource& source)
{
    DataEndMessage message = MakeDefaultDataEnd(m_replies.GetMessageVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"KPX ch1 data end msg (id=%u, endSize=%llu (%llu MB))", message.dataId,
            static_cast<unsigned long long>(message.totalSize),
            static_cast<unsigned long long>(MiBRoundedUp(message.totalSize)));

    Platform::ScopedLock lock(m_dataLock);
    if (m_transferState != kTransferState_Receiving)
        RefuseDirection(L"data end", L"receiving", message.dataId, header);
    else if (RefuseUnknownId(L"data end", message.dataId, header))
        ;
    else if (m_dataState == kDataState_Transfer)
    {
        if (message.totalSize == m_record.receivedSize)
        {
            SetDataState(kDataState_End);
        }
        else
        {
            m_replies.SendDataError(message.dataId, kDataError_EndSizeMismatch, header);
            AbortTransfer();
        }
    }
    else if (m_dataState == kDataState_Abort)
        m_replies.SendDataAbort(m_currentDataId);
    else
        RefuseWrongState(L"data end", message.dataId, header);
    return true;
}

bool ProgrammingTransfer::HandleDataEndAck(const CommonMessageHeader& header, MessageSource& source)
{
    DataIdMessage message =
        MakeDefaultDataIdMessage(m_replies.GetMessageVersion(), kDataTransferMessage_DataEndAck);
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"KPX ch1 data end ack msg (id=%u)", message.dataId);

    Platform::ScopedLock lock(m_dataLock);
    if (m_transferState != kTransferState_Sending)
        RefuseDirection(L"data end ack", L"sending", message.dataId, header);
    else if (RefuseUnknownId(L"data end ack", message.dataId, header))
        ;
    else if (m_dataState == kDataState_End || m_dataState == kDataState_Abort)
    {
        // Only the end acknowledged completes a send; an acknowledged abort
        // ends it as a failure.
        const bool completed = m_dataState == kDataState_End;
        SetDataState(kDataState_Idle);
        m_sendAcknowledged = completed;
    }
    else
        RefuseWrongState(L"data end ack", message.dataId, header);
    return true;
}

bool ProgrammingTransfer::HandleDataAbort(const CommonMessageHeader& header, MessageSource& source)
{
    DataIdMessage message =
        MakeDefaultDataIdMessage(m_replies.GetMessageVersion(), kDataTransferMessage_DataAbort);
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"KPX ch1 data abort msg (id=%u)", message.dataId);

    Platform::ScopedLock lock(m_dataLock);
    if (m_dataState == kDataState_Idle)
        return true;
    if (message.dataId != m_currentDataId)
    {
        LogErrorText(L"KPX ch1 data abort msg received with unknown data id = %u.", message.dataId);
        m_replies.SendDataError(message.dataId, kDataError_UnknownDataId, header);
        return true;
    }
    SetDataState(kDataState_Idle);
    ResetReceiveRecord();
    return true;
}

bool ProgrammingTransfer::HandleDataError(const CommonMessageHeader& header, MessageSource& source)
{
    DataErrorMessage message = MakeDefaultDataError(m_replies.GetMessageVersion());
    if (ReadMessageFixedPart(source, header, message) != 0)
        return false;
    const std::uint64_t left = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    CheckVariableLength(message.errorStringSize, left, L"KPX ch1 data error message.",
                        L"errorStringSize (%u) is too large.");
    std::string text;
    if (ReadMessageText(source, message.errorStringSize, text) != 0 ||
        source.Skip(left - message.errorStringSize) != 0)
        return false;

    LogErrorText(L"KPX ch1 data error: errorId = 0x%08x dataId = %u", message.errorId, message.dataId);
    LogErrorText(L"KPX ch1 data error: source class = %u type = 0x%02X", unsigned{message.sourceClass},
                 unsigned{message.sourceType});
    if (!text.empty())
        LogErrorText(L"KPX ch1 data error: string = \"%ls\"", CameraText(text).c_str());

    Platform::ScopedLock lock(m_dataLock);
    if (m_dataState == kDataState_Idle)
        return true;
    if (message.dataId != m_currentDataId)
        LogErrorText(L"KPX ch1 data error msg received with unknown data id = %u.", message.dataId);
    else
        AbortTransfer();
    return true;
}

bool ProgrammingTransfer::HandleCommonError(const CommonMessageHeader& header, MessageSource& source)
{
    ReceivedCommonError error;
    if (ReadCommonErrorMessage(header, source, m_replies.GetMessageVersion(),
                               L"KPX ch1 common error message.", error) != 0)
        return false;

    LogErrorText(L"KPX ch1 error: errorId = 0x%08x", error.message.errorId);
    LogErrorText(L"KPX ch1 error: source class = %u type = 0x%02X", unsigned{error.message.sourceClass},
                 unsigned{error.message.sourceType});
    if (!error.text.empty())
        LogErrorText(L"KPX ch1 error: string = \"%ls\"", CameraText(error.text).c_str());
    // The camera could not handle something this side sent: the channel is
    // closed and opened again, which abandons any transfer.
    return false;
}

bool ProgrammingTransfer::HandleGetLogAck(const CommonMessageHeader& header, MessageSource& source)
{
    GetLogAckMessage message = MakeDefaultGetLogAck(m_replies.GetMessageVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"KPX ch1 get log ack msg (id=%u, result=%u, dataId=%u)", message.id, message.result,
            message.dataId);

    Platform::ScopedLock lock(m_logLock);
    m_logAck = message;
    m_logEvent.Set();
    return true;
}

bool ProgrammingTransfer::HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source)
{
    LogErrorText(L"KPX ch1 Received unknown message: class = %u type = 0x%02X", unsigned{header.messageClass},
                 unsigned{header.messageType});
    m_replies.SendCommonError(kCommonError_UnknownMessage, header);
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

} // namespace Q7::KPX
