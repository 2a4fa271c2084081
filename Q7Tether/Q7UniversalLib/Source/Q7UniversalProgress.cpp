#include "Q7UniversalProgress.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <exception>

namespace Q7::Universal
{
namespace
{

// The process-wide task id: the first task gets 1.
std::atomic<uint32_t> g_lastTaskId{0};

uint32_t CurrentTick()
{
    return static_cast<uint32_t>(Platform::GetTickCountMs());
}

} // namespace

// ---------------------------------------------------------------------------
// ProgressInfo

ProgressInfo::ProgressInfo(const ProgressInfo& other)
    : type(other.type), id(other.id), name(other.name), description(other.description),
      details(other.details), position(other.position), total(other.total), elapsedMs(other.elapsedMs),
      completed(other.completed), aborted(other.aborted.load(std::memory_order_acquire))
{
}

ProgressInfo& ProgressInfo::operator=(const ProgressInfo& other)
{
    if (this != &other)
    {
        type = other.type;
        id = other.id;
        name = other.name;
        description = other.description;
        details = other.details;
        position = other.position;
        total = other.total;
        elapsedMs = other.elapsedMs;
        completed = other.completed;
        aborted.store(other.aborted.load(std::memory_order_acquire), std::memory_order_release);
    }
    return *this;
}

// ---------------------------------------------------------------------------
// ProgressTask

ProgressTask::ProgressTask(uint32_t type, ProgressProvider* provider)
{
    m_info.type = type;
    m_info.id = g_lastTaskId.fetch_add(1, std::memory_order_relaxed) + 1;
    SetProvider(provider);
}

ProgressTask::~ProgressTask()
{
    try
    {
        Stop(false);
    }
    catch (...)
    {
        LogError(ModuleError(kError_UnexpectedException), L"Ignoring error from ProgressTask::Stop().");
    }
    SetProvider(nullptr);
}

void ProgressTask::Cancel()
{
    if (m_cancelable.load(std::memory_order_acquire))
        m_info.aborted.store(true, std::memory_order_release);
}

void ProgressTask::SetProvider(ProgressProvider* provider)
{
    if (m_provider != nullptr)
        m_provider->RemoveTask(this);
    if (provider != nullptr)
        provider->AddTask(this);
    m_provider = provider;
}

void ProgressTask::SetName(const wchar_t* name)
{
    m_info.name.Assign(name);
}

void ProgressTask::SetDescription(const wchar_t* description)
{
    m_info.description.Assign(description);
}

void ProgressTask::SetTotal(uint64_t total)
{
    m_info.total = total;
    if (m_info.position > total)
        m_info.position = total;
}

void ProgressTask::SetPosition(uint64_t position)
{
    m_info.position = std::min(position, m_info.total);
}

void ProgressTask::UpdatePosition(uint64_t position, uint64_t step)
{
    SetPosition(position);
    if (step == 0)
    {
        Notify();
        return;
    }
    const uint64_t current = m_info.position;
    const uint64_t distance = current >= m_lastNotified ? current - m_lastNotified : m_lastNotified - current;
    if (distance >= step)
        Notify();
}

void ProgressTask::Start()
{
    m_info.completed = false;
    m_info.aborted.store(false, std::memory_order_release);
    m_accumulatedMs = 0;
    m_running = true;
    m_startTick = CurrentTick();
    Notify();
}

void ProgressTask::Start(uint64_t total, uint64_t position)
{
    SetTotal(total);
    SetPosition(position);
    Start();
}

void ProgressTask::Stop(bool completed)
{
    if (!m_running)
        return;
    m_accumulatedMs += CurrentTick() - m_startTick;
    m_running = false;
    if (completed)
    {
        m_info.position = m_info.total;
        m_info.completed = true;
    }
    m_info.aborted.store(!completed, std::memory_order_release);
    Notify();
}

void ProgressTask::SetCancelable(bool cancelable)
{
    m_cancelable.store(cancelable, std::memory_order_release);
}

uint32_t ProgressTask::GetElapsedMs() const
{
    if (!m_running)
        return m_accumulatedMs;
    return CurrentTick() + m_accumulatedMs - m_startTick;
}

ProgressInfo ProgressTask::GetInfo() const
{
    ProgressInfo info(m_info);
    info.elapsedMs = GetElapsedMs();
    return info;
}

double ProgressTask::GetPercent() const
{
    if (m_info.total == 0)
        return 0.0;
    return static_cast<double>(m_info.position) / static_cast<double>(m_info.total) * 100.0;
}

void ProgressTask::Notify()
{
    m_lastNotified = m_info.position;
    if (m_provider != nullptr)
        m_provider->NotifyProgress(*this);
}

// ---------------------------------------------------------------------------
// ProgressProvider

ProgressProvider::ProgressProvider() = default;

ProgressProvider::~ProgressProvider() = default;

void ProgressProvider::SetProgressCallback(const ProgressCallback& callback)
{
    if (&callback == &m_callback)
        return;
    ProgressCallback copy(callback); // clones outside the lock
    ProgressCallback old;
    {
        Platform::ScopedLock lock(m_callbackMutex);
        old = std::move(m_callback);
        m_callback = std::move(copy);
    }
}

void ProgressProvider::SetProgressCallback(const std::function<void(const ProgressTask&)>& callback)
{
    std::function<void(const ProgressTask&)> copy(callback);
    {
        Platform::ScopedLock lock(m_callbackMutex);
        m_function.swap(copy);
    }
}

void ProgressProvider::AddTask(ProgressTask* task)
{
    if (task == nullptr)
        return;
    try
    {
        Platform::ScopedLock lock(m_listMutex);
        for (const ProgressTask* listed : m_tasks)
        {
            if (listed->GetType() == task->GetType() && listed->GetId() == task->GetId())
                return;
        }
        m_tasks.push_back(task);
    }
    catch (const std::exception& e)
    {
        Q7_REPORT_INTERNAL_ERROR(StdExceptionError(e), nullptr);
    }
}

void ProgressProvider::RemoveTask(ProgressTask* task)
{
    if (task == nullptr)
        return;
    Platform::ScopedLock lock(m_listMutex);
    const auto found =
        std::find_if(m_tasks.begin(), m_tasks.end(),
                     [task](const ProgressTask* listed)
                     { return listed->GetType() == task->GetType() && listed->GetId() == task->GetId(); });
    if (found != m_tasks.end())
        m_tasks.erase(found);
}

void ProgressProvider::CancelTask(uint32_t type, uint32_t id)
{
    Platform::ScopedLock lock(m_listMutex);
    for (ProgressTask* listed : m_tasks)
    {
        if (listed->GetType() == type && listed->GetId() == id)
        {
            listed->Cancel();
            return;
        }
    }
}

void ProgressProvider::NotifyProgress(const ProgressTask& task)
{
    OnProgress(task);
}

void ProgressProvider::OnProgress(const ProgressTask& task)
{
    bool failed = false;
    {
        Platform::ScopedLock lock(m_callbackMutex);
        try
        {
            if (!m_callback.IsNull())
                m_callback(task);
            if (m_function)
                m_function(task);
        }
        catch (...)
        {
            failed = true;
        }
    }
    if (failed)
        LogError(ModuleError(kError_UnexpectedException),
                 L"Ignoring exception thrown from progress callback.");
}

} // namespace Q7::Universal
