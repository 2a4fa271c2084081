#include "Agents/ImageTransfer/KPXImageTransferMachine.h"

#include <algorithm>
#include <span>
#include <utility>

#include "Agents/ImageTransfer/KPXImageTransferMessages.h"
#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXDataTransfer.h"

namespace Q7::KPX
{
namespace
{

using Universal::LogErrorText;
using Universal::LogInfo;
using Universal::LogWarning;
using Universal::ProgressTask;

// A block at least this long starts (and continues) the raw timing of a transfer.
constexpr std::uint32_t kRawTimingBlockSize = 0x20000;
// A block longer than this makes the task's total an estimate of the remainder.
constexpr std::uint32_t kLongBlockSize = 0x1100000;

constexpr unsigned long long MiBRoundedUp(std::uint64_t bytes) noexcept
{
    return static_cast<unsigned long long>((bytes + 0xFFFFF) >> 20);
}

Universal::UniversalString CameraText(const std::string& text)
{
    return Universal::FromNarrow(text.c_str());
}

double Seconds(std::uint64_t fromMs, std::uint64_t toMs)
{
    return static_cast<double>(toMs - fromMs) / 1000.0;
}

} // namespace

ImageTransferReplies::~ImageTransferReplies() = default;

ImageTransferMachine::TransferRecord::TransferRecord(BufferPool& pool) : dataId(kNoDataId), buffer(pool) {}

ImageTransferMachine::ImageTransferMachine(ImageTransferReplies& replies, BufferPool& pool,
                                           ImageDeliveryQueue& queue, Universal::ProgressProvider& taskOwner,
                                           ImageTransferVariant variant,
                                           const ImageTransferMachineTimings& timings)
    : m_variant(variant), m_prefix(variant == ImageTransferVariant::kLiveView ? L"KPX ch5" : L"KPX ch4"),
      m_timings(timings), m_bufferLimit(0), m_replies(replies), m_pool(pool), m_queue(queue),
      m_taskOwner(taskOwner), m_state(kDataState_Idle), m_record(pool)
{
    SetBufferLimit(IsLiveView() ? kDefaultLiveViewBufferLimit : kDefaultImageBufferLimit);
}

ImageTransferMachine::~ImageTransferMachine()
{
    RetireTask(m_record.task);
    for (auto& task : m_finishedTasks)
        RetireTask(task);
    DropRetiredTasks();
}

Universal::UniversalString ImageTransferMachine::Text(const wchar_t* suffix) const
{
    return Universal::UniversalString(L"%ls%ls", m_prefix, suffix);
}

void ImageTransferMachine::Tell(const Report& report)
{
    if (report.error)
        m_replies.ReportTransferError(*report.error);
    if (report.abortId != kNoAbort)
        m_replies.SendDataAbort(report.abortId);
}

void ImageTransferMachine::SetBufferLimit(std::uint64_t bytes)
{
    const std::uint64_t step = m_pool.GetAllocMultiple();
    const std::uint64_t largest = 0xFFFFFFFFu / step * step;
    m_bufferLimit.store(std::max(std::min(bytes, largest) / step * step, step));
}

// ---------------------------------------------------------------------------
// State.

std::uint32_t ImageTransferMachine::GetDataState(bool clearEvent)
{
    if (clearEvent)
        m_stateChanged.Reset();
    Platform::ScopedLock lock(m_dataLock);
    return m_state;
}

void ImageTransferMachine::SetDataState(std::uint32_t state)
{
    if (state == m_state)
        return;
    if (!IsValidDataStateTransition(m_state, state))
    {
        const Universal::UniversalString text(L"%ls refused data state change %ls -> %ls", m_prefix,
                                              GetDataStateName(m_state), GetDataStateName(state));
        Q7_REPORT_INTERNAL_ERROR_TEXT(text.c_str());
        return;
    }
    LogInfo(L"%ls data state %ls -> %ls", m_prefix, GetDataStateName(m_state), GetDataStateName(state));
    m_state = state;
    if (state == kDataState_Abort)
    {
        // An aborted transfer's blocks are only read away: it needs neither
        // its buffer (a block still being read keeps its own handle) nor its
        // task.
        m_record.buffer.Release();
        RetireTask(m_record.task);
        m_record.endPending = false;
    }
    m_stateChanged.Set();
}

void ImageTransferMachine::AbortTransfer()
{
    if (m_state == kDataState_Idle || m_state == kDataState_Abort)
        return;
    SetDataState(kDataState_Abort);
    m_replies.SendDataAbort(m_record.dataId);
}

void ImageTransferMachine::JudgeEnd(bool expired)
{
    if (!m_record.endPending || m_state != kDataState_Transfer || m_record.blocksInFlight != 0)
        return;
    if (m_record.receivedSize == m_record.endSize)
    {
        m_record.endPending = false;
        m_record.endTime = Platform::GetTickCountMs();
        SetDataState(kDataState_End);
    }
    else if (m_record.receivedSize > m_record.endSize || expired)
    {
        m_record.endPending = false;
        m_replies.SendDataError(m_record.dataId, kDataError_EndSizeMismatch, m_record.endHeader);
        AbortTransfer();
    }
}

void ImageTransferMachine::ResetRecord()
{
    ++m_transferSerial;
    m_record.blocksInFlight = 0;
    m_record.lastActivity = 0;
    m_record.endPending = false;
    m_record.endSize = 0;
    m_record.dataId = kNoDataId;
    m_record.maxSize = 0;
    m_record.position = 0;
    m_record.receivedSize = 0;
    m_record.buffer.Release();
    m_record.fileName.clear();
    RetireTask(m_record.task);
    m_record.progressTotal = 0;
    m_record.startTime = 0;
    m_record.rawStartTime = 0;
    m_record.rawEndTime = 0;
    m_record.endTime = 0;
    m_record.rawTiming = false;
}

void ImageTransferMachine::RetireTask(std::shared_ptr<ProgressTask>& task)
{
    if (!task)
        return;
    m_retired.push_back(std::move(task));
    task.reset();
    m_doneEvent.Set();
}

void ImageTransferMachine::ResetTransferStatus()
{
    {
        Platform::ScopedLock lock(m_statusLock);
        const bool changed = m_cameraTransferEnabled || m_cameraStorageSize != 0 || m_cameraPendingCount != 0;
        m_cameraTransferEnabled = false;
        m_cameraStorageSize = 0;
        m_cameraPendingCount = 0;
        if (changed)
            m_statusChanged.Set();
    }
    Platform::ScopedLock lock(m_dataLock);
    SetDataState(kDataState_Idle);
    ResetRecord();
    m_completionsHeld = false;
}

void ImageTransferMachine::HoldCompletions()
{
    Platform::ScopedLock lock(m_dataLock);
    m_completionsHeld = true;
}

ImageTransferRecordView ImageTransferMachine::GetRecordView() const
{
    Platform::ScopedLock lock(m_dataLock);
    ImageTransferRecordView view;
    view.state = m_state;
    view.dataId = m_record.dataId;
    view.maxSize = m_record.maxSize;
    view.position = m_record.position;
    view.receivedSize = m_record.receivedSize;
    view.bufferSize = m_record.buffer.GetSize();
    view.fileName = m_record.fileName;
    view.hasTask = m_record.task != nullptr;
    view.blocksInFlight = m_record.blocksInFlight;
    view.endPending = m_record.endPending;
    return view;
}

std::uint64_t ImageTransferMachine::BufferRequest(std::uint64_t maxSize) const
{
    const std::uint64_t step = m_pool.GetAllocMultiple();
    const std::uint64_t limit = m_bufferLimit.load();
    const auto roundUp = [step](std::uint64_t bytes) { return (bytes + step - 1) / step * step; };
    // What the announced size needs must fit under the limit; the headroom
    // asked beyond it is cut at the limit. (maxSize is at most 32 bits here.)
    if (roundUp(std::max<std::uint64_t>(maxSize, 1)) > limit)
        return 0;
    // A live-view frame gets a buffer of its own size: the pool's steps keep
    // a stream of equal frames from reallocating.
    const std::uint64_t wanted = IsLiveView() ? std::max<std::uint64_t>(maxSize, 1)
                                              : std::max(maxSize + maxSize / 2, kMinBufferRequest);
    return std::min(roundUp(wanted), limit);
}

// ---------------------------------------------------------------------------
// Status block and image-request replies.

bool ImageTransferMachine::IsTransferEnabledWish() const
{
    Platform::ScopedLock lock(m_statusLock);
    return m_transferEnabled;
}

TransferStatus ImageTransferMachine::GetTransferStatus() const
{
    Platform::ScopedLock lock(m_statusLock);
    TransferStatus status;
    status.enabled = m_cameraTransferEnabled ? 1 : 0;
    status.storageSize = m_cameraStorageSize;
    status.pendingCount = m_cameraPendingCount + m_localPendingCount;
    return status;
}

std::uint32_t ImageTransferMachine::GetCameraStorageSize() const
{
    Platform::ScopedLock lock(m_statusLock);
    return m_cameraStorageSize;
}

void ImageTransferMachine::CountDelivered()
{
    Platform::ScopedLock lock(m_statusLock);
    if (m_localPendingCount > 0)
        --m_localPendingCount;
    m_statusChanged.Set();
}

void ImageTransferMachine::ClearImageRequestReplies()
{
    Platform::ScopedLock lock(m_replyLock);
    m_imageRequestReplies.clear();
    m_replyEvent.Reset();
}

bool ImageTransferMachine::TakeImageRequestReply(std::uint32_t waitMs)
{
    if (!Platform::WaitForObject(&m_replyEvent, waitMs))
        return false;
    Platform::ScopedLock lock(m_replyLock);
    if (m_imageRequestReplies.empty())
    {
        m_replyEvent.Reset();
        return false;
    }
    // The oldest reply answers, whichever image it names.
    const std::uint32_t status = m_imageRequestReplies.front().second;
    m_imageRequestReplies.pop_front();
    if (m_imageRequestReplies.empty())
        m_replyEvent.Reset();
    return status == ImageTransfer::kImageRequestAccepted;
}

// ---------------------------------------------------------------------------
// The control thread.

void ImageTransferMachine::ServeTransfers(const WaitObjectList& stopObjects)
{
    WaitObjectList waits(stopObjects);
    waits.push_back(&m_stateChanged);
    const auto stopped = [&]
    {
        return !stopObjects.empty() &&
               Platform::WaitForObjects(nullptr, static_cast<std::uint32_t>(stopObjects.size()),
                                        stopObjects.data(), false, 0);
    };
    const auto wait = [&](std::uint32_t timeoutMs)
    {
        Platform::WaitForObjects(nullptr, static_cast<std::uint32_t>(waits.size()), waits.data(), false,
                                 timeoutMs);
    };
    for (;;)
    {
        // Until a transfer begins.
        for (;;)
        {
            if (stopped())
                return;
            if (GetDataState(true) == kDataState_Begin)
                break;
            wait(Platform::kInfinite);
        }
        if (!AttachBuffer(waits))
            continue;
        // While its blocks arrive, and no longer than the camera keeps
        // sending them.
        for (;;)
        {
            if (stopped())
                return;
            if (GetDataState(true) != kDataState_Transfer)
                break;
            wait(CheckDeadlines());
        }
        CompleteTransfer();
    }
}

bool ImageTransferMachine::AttachBuffer(const WaitObjectList& abortObjects)
{
    std::uint32_t dataId = kNoDataId;
    std::uint64_t request = 0;
    {
        Platform::ScopedLock lock(m_dataLock);
        if (m_state != kDataState_Begin)
            return false;
        dataId = m_record.dataId;
        request = BufferRequest(m_record.maxSize);
    }
    if (request == 0)
        return false; // refused at DataBegin (the limit may have changed since)
    bool allocationFailed = false;
    BufferPtr buffer =
        m_pool.GetBuffer(static_cast<std::uint32_t>(request), &abortObjects, &allocationFailed);
    if (buffer.IsEmpty())
    {
        if (!allocationFailed)
            return false;
        Report report;
        {
            Platform::ScopedLock lock(m_dataLock);
            if (m_state == kDataState_Begin && m_record.dataId == dataId)
            {
                const Universal::UniversalString text(
                    L"%ls no memory for a buffer of %llu MB (data id %u). Aborting transfer.", m_prefix,
                    MiBRoundedUp(request), dataId);
                LogErrorText(L"%ls", text.c_str());
                report.error = Universal::ModuleError(Universal::kError_OutOfMemory, text);
                report.abortId = dataId;
                SetDataState(kDataState_Abort);
            }
        }
        Tell(report);
        return false;
    }

    Platform::ScopedLock lock(m_dataLock);
    // A DataAbort and a new DataBegin may have come while the pool was asked:
    // the buffer serves only the transfer it was sized for.
    if (m_state != kDataState_Begin || m_record.dataId != dataId || buffer.GetSize() < m_record.maxSize)
        return false;
    m_record.buffer = std::move(buffer);
    SetDataState(kDataState_Transfer);
    m_record.startTime = Platform::GetTickCountMs();
    m_record.lastActivity = m_record.startTime;
    m_replies.SendDataBeginAck(m_record.dataId);
    return true;
}

std::uint32_t ImageTransferMachine::CheckDeadlines()
{
    Report report;
    std::uint32_t due = Platform::kInfinite;
    {
        Platform::ScopedLock lock(m_dataLock);
        if (m_state != kDataState_Transfer)
            return Platform::kInfinite;
        const std::uint64_t quiet = Platform::GetTickCountMs() - m_record.lastActivity;
        if (quiet >= m_timings.inactivityMs)
        {
            const Universal::UniversalString text(
                L"%ls data transfer (id=%u) got no message for %u ms. Aborting transfer.", m_prefix,
                m_record.dataId, m_timings.inactivityMs);
            LogErrorText(L"%ls", text.c_str());
            report.error = Universal::ModuleError(Universal::kError_Timeout, text);
            report.abortId = m_record.dataId;
            SetDataState(kDataState_Abort);
        }
        else if (m_record.endPending && m_record.blocksInFlight == 0 && quiet >= m_timings.endWaitMs)
        {
            LogErrorText(L"%ls data end msg: only %u of its %llu bytes came.", m_prefix,
                         m_record.receivedSize, static_cast<unsigned long long>(m_record.endSize));
            JudgeEnd(true);
        }
        else
        {
            due = static_cast<std::uint32_t>(m_timings.inactivityMs - quiet);
            if (m_record.endPending && m_record.blocksInFlight == 0)
                due = std::min(due, static_cast<std::uint32_t>(m_timings.endWaitMs - quiet));
        }
    }
    Tell(report);
    return due;
}

bool ImageTransferMachine::CompleteTransfer()
{
    Platform::ScopedLock lock(m_dataLock);
    // No block is in flight in state end (it is entered only when none is):
    // nothing writes into the buffer once it is handed over.
    if (m_state != kDataState_End || m_record.blocksInFlight != 0 || m_completionsHeld)
        return false;

    ImageReceivePackage package(m_pool);
    package.imageId = m_record.dataId;
    package.size = m_record.receivedSize;
    package.buffer = m_record.buffer;
    package.fileName = m_record.fileName;
    {
        Platform::ScopedLock status(m_statusLock);
        ++m_localPendingCount;
        if (m_cameraPendingCount > 0)
            --m_cameraPendingCount;
        m_statusChanged.Set();
    }
    m_transferTimeMs.store(static_cast<std::uint32_t>(m_record.endTime - m_record.startTime));
    // The DataEndAck is queued before the image can reach the receiver, so
    // that whatever the application sends in answer to the image goes out
    // behind it (a transfer stopped right after its image was delivered is
    // not sent again).
    const std::uint32_t dataId = m_record.dataId;
    m_replies.SendDataEndAck(dataId);
    m_queue.Push(package);
    LogInfo(L"\n\n%ls transfer time: total = %0.3f raw = %0.3f image = %0.3f seconds\n", m_prefix,
            Seconds(m_record.startTime, m_record.endTime),
            Seconds(m_record.rawStartTime, m_record.rawEndTime),
            Seconds(m_record.rawStartTime, m_record.endTime));

    // The task goes to the delivery thread as finished, behind any it has not
    // served yet (its thread may be in the application's receiver meanwhile).
    if (m_record.task)
        m_finishedTasks.push_back(std::move(m_record.task));
    m_doneEvent.Set();

    SetDataState(kDataState_Idle);
    ResetRecord();
    return true;
}

// ---------------------------------------------------------------------------
// Progress: the delivery thread.

void ImageTransferMachine::ServeBegin()
{
    m_beginEvent.Reset();
    std::vector<std::shared_ptr<ProgressTask>> tasks;
    {
        Platform::ScopedLock lock(m_dataLock);
        // A transfer that ended while this thread was busy (in the receiver)
        // starts here too, before its image is delivered.
        tasks = m_finishedTasks;
        if (m_record.task)
            tasks.push_back(m_record.task);
    }
    for (const auto& task : tasks)
    {
        if (!task->IsRunning() && !task->IsCompleted())
            task->Start();
    }
}

void ImageTransferMachine::ServeBlockRead()
{
    m_blockReadEvent.Reset();
    std::shared_ptr<ProgressTask> task;
    std::uint64_t total = 0;
    std::uint32_t piece = 0;
    {
        Platform::ScopedLock lock(m_dataLock);
        task = m_record.task;
        total = m_record.progressTotal;
        piece = m_lastPieceLength;
    }
    if (!task)
        return;
    if (task->GetTotal() != total)
        task->SetTotal(total);
    task->UpdatePosition(task->GetPosition() + piece, task->GetTotal() / 100);
}

void ImageTransferMachine::ServeDone()
{
    m_doneEvent.Reset();
    std::vector<std::shared_ptr<ProgressTask>> finished;
    {
        Platform::ScopedLock lock(m_dataLock);
        finished.swap(m_finishedTasks);
    }
    for (auto& task : finished)
    {
        // A transfer that ended before its begin was served still reports
        // its start and its completion.
        if (!task->IsRunning())
            task->Start();
        task->Stop(true);
        task->SetProvider(nullptr);
    }
    DropRetiredTasks();
}

void ImageTransferMachine::DropRetiredTasks()
{
    std::vector<std::shared_ptr<ProgressTask>> retired;
    {
        Platform::ScopedLock lock(m_dataLock);
        retired.swap(m_retired);
    }
    // Detached first: a task that ends otherwise than completed goes quietly.
    for (auto& task : retired)
        task->SetProvider(nullptr);
}

// ---------------------------------------------------------------------------
// Handlers.

bool ImageTransferMachine::HandleMessage(const CommonMessageHeader& header, MessageSource& source)
{
    if (const std::optional<bool> routed =
            RouteDataTransferMessage<DataAcks::kRefused>(*this, header, source))
        return *routed;
    switch (header.messageClass)
    {
    case kMessageClass_ImageTransfer:
        if (IsLiveView())
            break;
        if (header.messageType == ImageTransfer::kImageTransferMessage_ImageRequestReply)
            return HandleImageRequestReply(header, source);
        if (header.messageType == ImageTransfer::kImageTransferMessage_Status)
            return HandleStatus(header, source);
        break;
    default:
        break;
    }
    return HandleUnknownMessage(header, source);
}

template <typename Message>
bool ImageTransferMachine::ReadWhole(MessageSource& source, const CommonMessageHeader& header,
                                     Message& message)
{
    return ReadMessageFixedPart(source, header, message) == 0 &&
           source.Skip(std::uint64_t{header.messageSize} - header.messageHeaderSize) == 0;
}

bool ImageTransferMachine::RefuseUnknownId(const wchar_t* what, std::uint32_t dataId,
                                           const CommonMessageHeader& header)
{
    if (m_state == kDataState_Idle || dataId == m_record.dataId)
        return false;
    LogErrorText(L"%ls %ls msg received with unknown data id = %u.", m_prefix, what, dataId);
    m_replies.SendDataError(dataId, kDataError_UnknownDataId, header);
    m_replies.SendDataAbort(dataId);
    if (IsLiveView())
        AbortTransfer();
    return true;
}

void ImageTransferMachine::RefuseWrongState(const wchar_t* what, std::uint32_t dataId,
                                            const CommonMessageHeader& header)
{
    LogErrorText(L"%ls %ls msg received in the wrong state.", m_prefix, what);
    m_replies.SendDataError(dataId, kDataError_WrongState, header);
    AbortTransfer();
}

bool ImageTransferMachine::HandleDataBegin(const CommonMessageHeader& header, MessageSource& source)
{
    DataBeginMessage message = MakeDefaultDataBegin(m_replies.GetSecondVersion());
    if (ReadMessageFixedPart(source, header, message) != 0)
        return false;
    std::uint64_t left = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    CheckVariableLength(message.nameLength, left, Text(L" data begin message.").c_str(),
                        L"detailStringSize (%u) is too large.");
    std::string name;
    if (ReadMessageText(source, message.nameLength, name) != 0)
        return false;
    left -= message.nameLength;
    if (source.Skip(left) != 0)
        return false;

    LogInfo(L"%ls data begin msg (id=%u, maxSize=%llu (%llu MB))", m_prefix, message.dataId,
            static_cast<unsigned long long>(message.maxDataSize), MiBRoundedUp(message.maxDataSize));

    Report report;
    {
        Platform::ScopedLock lock(m_dataLock);
        report = BeginTransfer(header, message, std::move(name));
    }
    Tell(report);
    return true;
}

ImageTransferMachine::Report ImageTransferMachine::BeginTransfer(const CommonMessageHeader& header,
                                                                 const DataBeginMessage& message,
                                                                 std::string name)
{
    if (m_state == kDataState_Begin || m_state == kDataState_Transfer || m_state == kDataState_End)
    {
        LogErrorText(L"%ls data begin msg received in the wrong state.", m_prefix);
        m_replies.SendDataError(message.dataId, kDataError_WrongState, header);
        if (IsLiveView())
        {
            if (message.dataId != m_record.dataId)
                m_replies.SendDataAbort(message.dataId);
            AbortTransfer();
        }
        else if (message.dataId != m_record.dataId)
        {
            m_replies.SendDataAbort(message.dataId);
        }
        else
        {
            LogErrorText(L"%ls data begin msg with same data id as ongoing transfer.", m_prefix);
            AbortTransfer();
        }
        return {};
    }
    if (m_state == kDataState_Abort)
    {
        LogWarning(L"%ls data begin msg received in abort state. Canceling abort state.", m_prefix);
        SetDataState(kDataState_Idle);
        ResetRecord();
    }
    m_record.dataId = message.dataId;
    m_record.maxSize = static_cast<std::uint32_t>(message.maxDataSize);
    m_record.fileName = std::move(name);

    // A size no pool buffer may hold is refused here, once, rather than asked
    // of the pool again and again; so is one above the buffer limit, which
    // the application is told of.
    if (message.maxDataSize > 0xFFFFFFFFu || BufferRequest(message.maxDataSize) == 0)
    {
        LogErrorText(L"%ls data begin msg maximum image size is too large.", m_prefix);
        SetDataState(kDataState_Abort);
        Report report;
        report.error = Universal::ModuleError(
            Universal::kError_LimitExceeded,
            Universal::UniversalString(
                L"%ls data begin msg (id=%u) announced %llu bytes, above the buffer limit of %llu bytes.",
                m_prefix, message.dataId, static_cast<unsigned long long>(message.maxDataSize),
                static_cast<unsigned long long>(m_bufferLimit.load())));
        report.abortId = message.dataId;
        return report;
    }
    if (!IsTransferEnabledWish())
    {
        LogWarning(L"%ls data begin msg received when transfer disabled. Aborting transfer.", m_prefix);
        SetDataState(kDataState_Abort);
        m_replies.SendDataAbort(message.dataId);
        return {};
    }

    if (IsLiveView())
    {
        SetDataState(kDataState_Begin);
        return {};
    }
    auto task = std::make_shared<ProgressTask>(kTaskType, &m_taskOwner);
    task->SetProvider(&m_transferProvider);
    task->SetName(L"Image transfer");
    task->SetDescription(CameraText(m_record.fileName).c_str());
    task->SetTotal(m_record.maxSize);
    task->SetPosition(0);
    RetireTask(m_record.task);
    m_record.task = std::move(task);
    m_record.progressTotal = m_record.maxSize;
    m_beginEvent.Set();
    SetDataState(kDataState_Begin);
    return {};
}

bool ImageTransferMachine::HandleDataBlock(const CommonMessageHeader& header, MessageSource& source)
{
    DataBlockMessage message = MakeDefaultDataBlock(m_replies.GetSecondVersion());
    if (ReadMessageFixedPart(source, header, message) != 0)
        return false;
    std::uint64_t left = std::uint64_t{header.messageSize} - header.messageHeaderSize;

    BufferPtr buffer(m_pool); // the handler's own handle while it reads
    std::uint32_t writeOffset = 0;
    std::uint64_t serial = 0;
    {
        Platform::ScopedLock lock(m_dataLock);
        if (RefuseUnknownId(L"data block", message.dataId, header))
        {
        }
        else if (m_state != kDataState_Transfer && m_state != kDataState_Abort)
        {
            RefuseWrongState(L"data block", message.dataId, header);
        }
        else if (message.blockSize != 0)
        {
            // An aborted transfer has no buffer: its blocks are only read away.
            const std::uint64_t limit =
                m_state == kDataState_Abort
                    ? m_record.maxSize
                    : std::min<std::uint64_t>(m_record.maxSize, m_record.buffer.GetSize());
            if (!CheckDataBlockFits(message, left, m_record.position, limit, m_prefix,
                                    Text(L" data block message.").c_str()))
            {
                m_replies.SendDataError(message.dataId, kDataError_BlockBeyondSize, header);
                AbortTransfer();
            }
            else if (m_state == kDataState_Transfer)
            {
                if (message.blockSize >= kRawTimingBlockSize && m_record.rawStartTime == 0)
                {
                    m_record.rawStartTime = Platform::GetTickCountMs();
                    m_record.rawTiming = true;
                }
                if (message.blockSize > kLongBlockSize && m_record.task)
                    m_record.progressTotal =
                        static_cast<std::uint32_t>(m_remainderEstimate + message.blockSize);
                buffer = m_record.buffer;
                // The block takes its place now: one behind it (on either
                // sub-channel) goes after it, and until its bytes are in,
                // neither a DataEnd nor the hand-over of the image may judge
                // the transfer.
                writeOffset = m_record.position;
                m_record.position = writeOffset + message.blockSize;
                ++m_record.blocksInFlight;
                m_record.lastActivity = Platform::GetTickCountMs();
                serial = m_transferSerial;
            }
        }
    }

    if (!buffer.IsEmpty())
    {
        bool read = false;
        // However the read ends, the block leaves the count of its transfer.
        const auto land = [&]
        {
            const std::uint64_t readTime = Platform::GetTickCountMs();
            Platform::ScopedLock lock(m_dataLock);
            if (serial != m_transferSerial)
                return; // the transfer is gone
            --m_record.blocksInFlight;
            if (read && m_state == kDataState_Transfer)
            {
                m_record.receivedSize = std::max(m_record.receivedSize, writeOffset + message.blockSize);
                m_record.lastActivity = readTime;
                if (m_record.rawTiming)
                {
                    if (message.blockSize < kRawTimingBlockSize)
                        m_record.rawTiming = false;
                    else
                        m_record.rawEndTime = readTime;
                }
            }
            JudgeEnd(false);
        };
        struct Landing
        {
            const decltype(land)& run;
            ~Landing() { run(); }
        } landing{land};

        std::uint32_t done = 0;
        while (done < message.blockSize)
        {
            const std::uint32_t piece = std::min(message.blockSize - done, kPieceSize);
            if (source.Read(std::span<std::uint8_t>(buffer.GetData() + writeOffset + done, piece)) != 0)
                return false;
            done += piece;
            {
                Platform::ScopedLock lock(m_dataLock);
                m_lastPieceLength = piece;
                if (serial == m_transferSerial)
                    m_record.lastActivity = Platform::GetTickCountMs();
            }
            m_blockReadEvent.Set();
        }
        read = true;
        left -= message.blockSize;
    }
    return source.Skip(left) == 0;
}

bool ImageTransferMachine::HandleDataEnd(const CommonMessageHeader& header, MessageSource& source)
{
    DataEndMessage message = MakeDefaultDataEnd(m_replies.GetSecondVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"%ls data end msg (id=%u, endSize=%llu (%llu MB))", m_prefix, message.dataId,
            static_cast<unsigned long long>(message.totalSize), MiBRoundedUp(message.totalSize));

    Platform::ScopedLock lock(m_dataLock);
    if (m_record.task)
        m_remainderEstimate += static_cast<std::uint32_t>(message.totalSize) -
                               static_cast<std::uint32_t>(m_record.progressTotal);
    if (RefuseUnknownId(L"data end", message.dataId, header))
        return true;
    if (m_state == kDataState_Transfer && message.totalSize >= m_record.receivedSize &&
        message.totalSize <= m_record.maxSize)
    {
        // Judged once no block is in flight; one announcing more than has
        // arrived waits for the rest (it may come on the other sub-channel).
        m_record.lastActivity = Platform::GetTickCountMs();
        m_record.endPending = true;
        m_record.endSize = message.totalSize;
        m_record.endHeader = header;
        JudgeEnd(false);
        // A wait still pending has a deadline: the control thread takes it up.
        if (m_record.endPending)
            m_stateChanged.Set();
    }
    else if (m_state == kDataState_Abort)
    {
        m_replies.SendDataAbort(m_record.dataId);
    }
    else
    {
        std::uint32_t code = kDataError_EndSizeMismatch;
        if (m_state != kDataState_Transfer)
        {
            LogErrorText(L"%ls data end msg received in the wrong state.", m_prefix);
            code = kDataError_WrongState;
        }
        m_replies.SendDataError(message.dataId, code, header);
        AbortTransfer();
    }
    return true;
}

bool ImageTransferMachine::HandleDataAbort(const CommonMessageHeader& header, MessageSource& source)
{
    DataIdMessage message =
        MakeDefaultDataIdMessage(m_replies.GetSecondVersion(), kDataTransferMessage_DataAbort);
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"%ls data abort msg (id=%u)", m_prefix, message.dataId);

    Platform::ScopedLock lock(m_dataLock);
    if (m_state == kDataState_Idle)
        return true;
    if (IsLiveView() && m_state == kDataState_Abort)
        return true;
    if (message.dataId != m_record.dataId)
    {
        LogErrorText(L"%ls data abort msg received with unknown data id = %u.", m_prefix, message.dataId);
        if (!IsLiveView())
            m_replies.SendDataError(message.dataId, kDataError_UnknownDataId, header);
        return true;
    }
    if (IsLiveView())
    {
        // The frame stays aborted until the camera begins the next one.
        SetDataState(kDataState_Abort);
        return true;
    }
    SetDataState(kDataState_Idle);
    ResetRecord();
    return true;
}

bool ImageTransferMachine::HandleDataSeek(const CommonMessageHeader& header, MessageSource& source)
{
    DataSeekMessage message = MakeDefaultDataSeek(m_replies.GetSecondVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"%ls data seek msg (id=%u, offset=%u)", m_prefix, message.dataId,
            static_cast<unsigned>(message.offset));

    Platform::ScopedLock lock(m_dataLock);
    if (RefuseUnknownId(L"data seek", message.dataId, header))
        return true;
    if (m_state == kDataState_Transfer || m_state == kDataState_Abort)
    {
        if (message.offset <= m_record.maxSize)
        {
            // Blocks in flight keep the places they took.
            m_record.position = static_cast<std::uint32_t>(message.offset);
            m_record.lastActivity = Platform::GetTickCountMs();
        }
        else
        {
            LogErrorText(L"%ls data seek msg offset is out of range.", m_prefix);
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

bool ImageTransferMachine::HandleDataError(const CommonMessageHeader& header, MessageSource& source)
{
    DataErrorMessage message = MakeDefaultDataError(m_replies.GetFirstVersion());
    if (ReadMessageFixedPart(source, header, message) != 0)
        return false;
    const std::uint64_t left = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    CheckVariableLength(message.errorStringSize, left, Text(L" data error message.").c_str(),
                        L"errorStringSize (%u) is too large.");
    std::string text;
    if (ReadMessageText(source, message.errorStringSize, text) != 0 ||
        source.Skip(left - message.errorStringSize) != 0)
        return false;

    LogErrorText(L"%ls data error: errorId = 0x%08x dataId = %u", m_prefix, message.errorId, message.dataId);
    LogErrorText(L"%ls data error: source class = %u type = 0x%02X", m_prefix, unsigned{message.sourceClass},
                 unsigned{message.sourceType});
    if (!text.empty())
        LogErrorText(L"%ls data error: string = \"%ls\"", m_prefix, CameraText(text).c_str());

    Platform::ScopedLock lock(m_dataLock);
    if (m_state == kDataState_Idle)
        return true;
    if (message.dataId != m_record.dataId)
        LogErrorText(L"%ls data error msg received with unknown data id = %u.", m_prefix, message.dataId);
    else
        AbortTransfer();
    return true;
}

bool ImageTransferMachine::HandleCommonError(const CommonMessageHeader& header, MessageSource& source)
{
    ReceivedCommonError error;
    if (ReadCommonErrorMessage(header, source, m_replies.GetFirstVersion(),
                               Text(L" common error message.").c_str(), error) != 0)
        return false;
    LogErrorText(L"%ls error: errorId = 0x%08x", m_prefix, error.message.errorId);
    LogErrorText(L"%ls error: source class = %u type = 0x%02X", m_prefix, unsigned{error.message.sourceClass},
                 unsigned{error.message.sourceType});
    if (!error.text.empty())
        LogErrorText(L"%ls error: string = \"%ls\"", m_prefix, CameraText(error.text).c_str());
    return true;
}

bool ImageTransferMachine::HandleImageRequestReply(const CommonMessageHeader& header, MessageSource& source)
{
    ImageTransfer::ImageRequestReplyMessage message =
        ImageTransfer::MakeDefaultImageRequestReply(m_replies.GetFirstVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"%ls image request reply msg (imageId=%u, requestStatus=%u)", m_prefix, message.imageId,
            message.requestStatus);
    Platform::ScopedLock lock(m_replyLock);
    m_imageRequestReplies.emplace_back(message.imageId, message.requestStatus);
    m_replyEvent.Set();
    return true;
}

bool ImageTransferMachine::HandleStatus(const CommonMessageHeader& header, MessageSource& source)
{
    ImageTransfer::StatusMessage message = ImageTransfer::MakeDefaultStatus(m_replies.GetFirstVersion());
    if (!ReadWhole(source, header, message))
        return false;
    LogInfo(L"%ls status msg (pending=%u, enabled=%u, storage=%u MB)", m_prefix, message.pendingCount,
            unsigned{message.enabled}, message.storageSize);
    Platform::ScopedLock lock(m_statusLock);
    const bool enabled = message.enabled != 0;
    const bool changed = enabled != m_cameraTransferEnabled || message.storageSize != m_cameraStorageSize ||
                         message.pendingCount != m_cameraPendingCount;
    m_cameraTransferEnabled = enabled;
    m_cameraStorageSize = message.storageSize;
    m_cameraPendingCount = message.pendingCount;
    if (changed)
        m_statusChanged.Set();
    return true;
}

bool ImageTransferMachine::HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source)
{
    LogErrorText(L"%ls Received unknown message: class = %u type = 0x%02X", m_prefix,
                 unsigned{header.messageClass}, unsigned{header.messageType});
    if (!IsLiveView())
        m_replies.SendCommonError(kCommonError_UnknownMessage, header);
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

} // namespace Q7::KPX
