#include "Q7PlatformThread_Posix.h"

#include "Q7PlatformGeneral_Cmn.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <unistd.h>

#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace Q7::Platform
{

using Q7::Universal::ModuleError;
using Q7::Universal::UniversalError;
using Q7::Universal::UniversalString;

// State shared by the object and its running thread. The thread holds its own
// reference, so the block outlives a detached object until the thread ends.
struct Thread_Posix::Control
{
    Thread_Posix* owner = nullptr; // handed to the body; set before the thread is created
    ThreadFunctor functor;         // written before the thread is created, then taken by it
    void* parameter = nullptr;
    UniversalString name; // copy for the thread's own log lines
    std::string osName;
    pthread_t handle{};
    uint32_t id = 0;              // written by the thread before it sets started
    EventCondition_Posix started; // the thread published its id
    EventCondition_Posix ended;   // set when the thread procedure finishes
    // The object let the thread go from the thread itself (Close or destructor
    // there): its body must return. Written and read only by that thread.
    bool letGo = false;
};

namespace
{

constexpr uint32_t kExitCodeFailure = 0xFFFFFFFFu;
constexpr uint32_t kTerminateWarningMs = 10000; // the warning again after each such wait
constexpr size_t kOsNameBytes = 15;             // the kernel's limit without the terminating zero

// The OS-level name: the UTF-8 name cut to 15 bytes at a character boundary.
std::string MakeOsThreadName(const wchar_t* name)
{
    const Q7::Universal::UniversalStringA utf8 = WideToMultiByte(name, 0x1002);
    std::string result(utf8.c_str());
    if (result.size() > kOsNameBytes)
    {
        size_t cut = kOsNameBytes;
        // Back off over continuation bytes (10xxxxxx) to the start of the character.
        while (cut > 0 && (static_cast<unsigned char>(result[cut]) & 0xC0u) == 0x80u)
            --cut;
        result.resize(cut);
    }
    return result;
}

int MapPriority(int priority)
{
    switch (priority)
    {
    case kThreadPriority_Idle:
    case kThreadPriority_Lowest:
    case kThreadPriority_BelowNormal:
    case kThreadPriority_Normal:
    case kThreadPriority_AboveNormal:
    case kThreadPriority_Highest:
    case kThreadPriority_TimeCritical:
        return priority;
    default:
        return kThreadPriority_Normal;
    }
}

thread_local int t_currentPriority = kThreadPriority_Normal;
// The state of the Thread_Posix thread that runs here; null on other threads.
// The thread procedure holds a reference for as long as the thread runs.
thread_local Thread_Posix::Control* t_currentControl = nullptr;

// Sets the end signal when the thread procedure is left.
class EndGuard
{
public:
    explicit EndGuard(EventCondition_Posix& ended) : m_ended(ended) {}
    ~EndGuard() { m_ended.Set(); }
    EndGuard(const EndGuard&) = delete;
    EndGuard& operator=(const EndGuard&) = delete;

private:
    EventCondition_Posix& m_ended;
};

void* ThreadEntry(void* argument)
{
    if (argument == nullptr)
    {
        Q7::Universal::ReportInternalError(L"Thread not started (object is NULL)", Q7_SOURCE_LOCATION);
        return reinterpret_cast<void*>(static_cast<uintptr_t>(kExitCodeFailure));
    }
    std::shared_ptr<Thread_Posix::Control> control;
    {
        auto* handed = static_cast<std::shared_ptr<Thread_Posix::Control>*>(argument);
        control = std::move(*handed);
        delete handed;
    }
    const uint32_t id = CurrentThreadId();
    t_currentControl = control.get();
    control->id = id;
    control->started.Set();

    EndGuard endGuard(control->ended);
    const wchar_t* const name = control->name.c_str();
    Q7::Universal::LogInfo(L"Thread %u (0x%x) started [%ls]", id, id, name);
    if (!control->osName.empty())
        pthread_setname_np(pthread_self(), control->osName.c_str());

    uint32_t exitCode = 0;
    try
    {
        // The body runs once per Start: take it out of the shared block.
        ThreadFunctor body(std::move(control->functor));
        control->functor.Reset();
        void* const parameter = control->parameter;
        control->parameter = nullptr;
        if (!body.IsNull())
            body(*control->owner, parameter);
    }
    catch (const UniversalError&)
    {
        Q7_REPORT_INTERNAL_ERROR(
            ModuleError(Q7::Universal::kError_UnexpectedException),
            UniversalString(L"Unhandled exception returned by thread %u (0x%x) [%ls]", id, id, name).c_str());
        exitCode = kExitCodeFailure;
    }
    catch (const std::exception&)
    {
        Q7_REPORT_INTERNAL_ERROR(
            ModuleError(Q7::Universal::kError_UnexpectedException),
            UniversalString(L"Unhandled exception returned by thread %u (0x%x) [%ls]", id, id, name).c_str());
        exitCode = kExitCodeFailure;
    }
    Q7::Universal::LogInfo(L"Thread %u (0x%x) exited [%ls]", id, id, name);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(exitCode));
}

} // namespace

// ---------------------------------------------------------------------------
// BaseThread

BaseThread::BaseThread(const wchar_t* name) : m_name()
{
    m_name.Assign(name);
}

BaseThread::~BaseThread() = default;

const wchar_t* BaseThread::GetName() const
{
    return m_name.c_str();
}

// ---------------------------------------------------------------------------
// Thread_Posix

Thread_Posix::Thread_Posix(const wchar_t* name) : BaseThread(name)
{
    m_readyEvent.Set();
    m_stopEvent.Set();
}

Thread_Posix::~Thread_Posix()
{
    Detach(DetachMode::kDestructor);
}

void Thread_Posix::Start(const ThreadFunctor& functor, void* parameter, uint32_t readyWaitMs)
{
    {
        ScopedLock lock(m_mutex);
        if (m_control)
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_AlreadyInitialized), nullptr);
        // Threads let go earlier are not waited for here (one may be the caller).
        std::erase_if(m_letGo,
                      [](const std::shared_ptr<Control>& control) { return control->ended.IsSet(); });
        // The events are cleared before the thread exists: its body never sees
        // them set from before, and Start need not wait for the thread to
        // come up before it lets it run.
        m_readyEvent.Reset();
        m_stopEvent.Reset();
        try
        {
            auto control = std::make_shared<Control>();
            control->owner = this;
            control->functor = functor;
            control->parameter = parameter;
            control->name.Assign(m_name.c_str());
            control->osName = MakeOsThreadName(m_name.c_str());

            auto* handed = new std::shared_ptr<Control>(control);
            pthread_t handle{};
            const int result = pthread_create(&handle, nullptr, ThreadEntry, handed);
            if (result != 0)
            {
                delete handed;
                m_readyEvent.Set();
                m_stopEvent.Set();
                ThrowSystemError(SystemError_Posix(static_cast<uint32_t>(result), nullptr),
                                 L"pthread_create");
            }
            control->handle = handle;
            m_control = control;
        }
        catch (const UniversalError&)
        {
            Close();
            throw;
        }
        catch (const std::exception& e)
        {
            Close();
            Q7_THROW_INTERNAL_ERROR(Q7::Universal::StdExceptionError(e), L"Thread_Posix::Start");
        }
    }
    if (readyWaitMs == 0)
        return;
    BaseWaitObject* const objects[] = {this, &m_readyEvent};
    if (!WaitForObjects(nullptr, 2, objects, false, readyWaitMs))
        Q7::Universal::ThrowModuleError(ModuleError(Q7::Universal::kError_ThreadStartTimeout));
}

void Thread_Posix::Close()
{
    Detach(DetachMode::kClose);
}

void Thread_Posix::Detach(DetachMode mode)
{
    std::shared_ptr<Control> control;
    uint32_t id = 0;
    {
        ScopedLock lock(m_mutex);
        if (m_control)
        {
            control = m_control;
            id = PublishedId(*control);
            if (control.get() == t_currentControl)
            {
                // The thread lets itself go: nobody may wait for it to end, and
                // it returns from here as from any call (no forced unwinding,
                // which would abort inside catch (...) and terminate inside
                // noexcept frames on its way up). Its body returns next.
                if (mode == DetachMode::kDestructor)
                    Q7::Universal::LogInfo(L"Thread deconstructor called inside own thread %u (0x%x) [%ls]",
                                           id, id, m_name.c_str());
                pthread_detach(control->handle);
                control->letGo = true;
                m_letGo.push_back(control);
                Release();
                return;
            }
            if (!control->ended.IsSet())
            {
                // No forced end: the body may still use this object, so it is
                // asked to stop and waited for, below, without the mutex (the
                // body may call into its object meanwhile).
                Q7::Universal::LogWarning(L"Terminating thread %u (0x%x) [%ls]", id, id, m_name.c_str());
                m_stopEvent.Set();
            }
        }
    }
    if (control)
    {
        while (!WaitForObject(&control->ended, kTerminateWarningMs))
            Q7::Universal::LogWarning(L"Terminating thread %u (0x%x) [%ls]", id, id, m_name.c_str());
        ScopedLock lock(m_mutex);
        if (m_control == control) // not detached by another caller meanwhile
        {
            // The thread has left its body and is about to return: reap it.
            pthread_join(control->handle, nullptr);
            Release();
        }
    }
    WaitForLetGo();
}

void Thread_Posix::WaitForLetGo()
{
    std::vector<std::shared_ptr<Control>> letGo;
    {
        ScopedLock lock(m_mutex);
        letGo = m_letGo;
    }
    for (const std::shared_ptr<Control>& control : letGo)
    {
        // A thread that let itself go and now closes the object again does not
        // wait for itself.
        if (control.get() == t_currentControl || control->ended.IsSet())
            continue;
        do
            Q7::Universal::LogWarning(L"Terminating thread %u (0x%x) [%ls]", control->id, control->id,
                                      m_name.c_str());
        while (!WaitForObject(&control->ended, kTerminateWarningMs));
    }
    ScopedLock lock(m_mutex);
    std::erase_if(m_letGo, [](const std::shared_ptr<Control>& control) { return control->ended.IsSet(); });
}

void Thread_Posix::Release()
{
    m_control.reset();
    m_readyEvent.Set();
    m_stopEvent.Set();
}

bool Thread_Posix::WaitForStop(uint32_t timeoutMs)
{
    std::shared_ptr<Control> control;
    {
        ScopedLock lock(m_mutex);
        if (!m_control || pthread_equal(m_control->handle, pthread_self()))
            return true;
        control = m_control;
    }
    if (WaitForObject(&control->ended, timeoutMs))
        return true;
    if (timeoutMs != 0)
    {
        const uint32_t id = PublishedId(*control);
        Q7::Universal::LogInfo(L"Timeout while waiting for thread %u (0x%x) to stop [%ls]", id, id,
                               m_name.c_str());
    }
    return false;
}

bool Thread_Posix::Stop(uint32_t timeoutMs)
{
    {
        ScopedLock lock(m_mutex);
        if (!m_control)
            return true;
        m_stopEvent.Set();
    }
    return WaitForStop(timeoutMs);
}

bool Thread_Posix::IsStopRequested() const
{
    const Control* const current = t_currentControl;
    return m_stopEvent.IsSet() || (current != nullptr && current->letGo && current->owner == this);
}

bool Thread_Posix::IsCurrentThread() const
{
    ScopedLock lock(m_mutex);
    return m_control && m_control.get() == t_currentControl;
}

bool Thread_Posix::IsRunning() const
{
    ScopedLock lock(m_mutex);
    return m_control && !m_control->ended.IsSet();
}

void Thread_Posix::SetPriority(int priority)
{
    ScopedLock lock(m_mutex);
    m_priority = MapPriority(priority);
}

int Thread_Posix::GetPriority() const
{
    ScopedLock lock(m_mutex);
    return m_priority;
}

WaitHandle Thread_Posix::GetHandle() const
{
    ScopedLock lock(m_mutex);
    return m_control ? m_control->ended.GetHandle() : WaitHandle();
}

bool Thread_Posix::IsCallerInThreadBody() noexcept
{
    return t_currentControl != nullptr;
}

uint32_t Thread_Posix::GetThreadId() const
{
    ScopedLock lock(m_mutex);
    return m_control ? PublishedId(*m_control) : 0;
}

uint32_t Thread_Posix::PublishedId(Control& control)
{
    // The thread publishes its id first thing; a caller right after Start may
    // be ahead of it by that much.
    WaitForObject(&control.started, kInfinite);
    return control.id;
}

// ---------------------------------------------------------------------------
// Free functions

void WaitForThreadsReady(std::initializer_list<Thread_Posix*> threads)
{
    for (Thread_Posix* const thread : threads)
    {
        BaseWaitObject* const objects[] = {thread, &thread->GetReadyEvent()};
        WaitForObjects(nullptr, 2, objects, false, kInfinite);
    }
}

uint32_t CurrentThreadId()
{
    // gettid is a system call; the id of a thread never changes, so keep it.
    thread_local const uint32_t id = static_cast<uint32_t>(gettid());
    return id;
}

void SetCurrentThreadPriority(int priority)
{
    t_currentPriority = MapPriority(priority);
}

int GetCurrentThreadPriority()
{
    return t_currentPriority;
}

} // namespace Q7::Platform
