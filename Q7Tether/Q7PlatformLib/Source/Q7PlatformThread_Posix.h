#pragma once
// Named platform threads with a start gate, cooperative stop and waitable end.

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalString.h"

#include <pthread.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace Q7::Platform
{

class Thread_Posix;

/// The body of a thread: called once per Start with the thread object and the
/// parameter given to Start.
using ThreadFunctor = Q7::Universal::FunctionPointer2<void, Thread_Posix&, void*>;

/// Thread priorities. They are stored and answered; the scheduler is not asked.
enum EnumThreadPriority : int
{
    kThreadPriority_Idle = -15,
    kThreadPriority_Lowest = -2,
    kThreadPriority_BelowNormal = -1,
    kThreadPriority_Normal = 0,
    kThreadPriority_AboveNormal = 1,
    kThreadPriority_Highest = 2,
    kThreadPriority_TimeCritical = 15,
};

/// The interface of a named thread that can be waited on (signalled when the
/// thread has ended).
class BaseThread : public BaseWaitObject
{
public:
    /// name: copied; null or empty gives an empty name.
    explicit BaseThread(const wchar_t* name);
    ~BaseThread() override;

    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    virtual void Start(const ThreadFunctor& functor, void* parameter, uint32_t readyWaitMs) = 0;
    virtual void Close() = 0;
    virtual bool WaitForStop(uint32_t timeoutMs) = 0;
    virtual bool Stop(uint32_t timeoutMs) = 0;
    virtual BaseEventCondition& GetReadyEvent() = 0;
    virtual BaseEventCondition& GetStopEvent() = 0;
    virtual bool IsCurrentThread() const = 0;
    virtual bool IsRunning() const = 0;
    virtual bool IsReady() const = 0;
    virtual bool IsStopRequested() const = 0;
    virtual void SetPriority(int priority) = 0;
    virtual int GetPriority() const = 0;

    /// The full name given at construction (never null). Thread-safe.
    virtual const wchar_t* GetName() const;

protected:
    Q7::Universal::UniversalString m_name; // set by the constructor, never changed
};

/// A pthread that starts behind a gate, runs one body per Start and is stopped
/// cooperatively through its stop event.
///
/// Life cycle: not started (no thread; ready and stop events set) -> Start
/// (thread created, waiting at its gate; both events cleared; gate opened) ->
/// running -> ready (the body set the ready event) -> stop requested (the stop
/// event set) -> ended (the object is signalled; IsRunning false) -> Close or the
/// destructor (back to not started; Start is allowed again).
///
/// Nothing kills a thread: Close or the destructor on a thread that still runs
/// logs the warning "Terminating thread %u (0x%x) [%ls]", sets the stop event
/// and waits until the thread has ended, logging the warning again after every
/// 10 s of waiting (the body may use its object until it returns).
///
/// The object may be closed or destroyed from its own thread (a body, or a
/// callback it runs, stopping its owner). That lets the thread go: it is
/// detached, both events are set, and the call returns normally, so the stack
/// unwinds through catch (...) and noexcept frames as after any call; the body
/// must then return without waiting again (IsStopRequested answers true on that
/// thread from then on, even after a new Start). Until it has returned, Close
/// and the destructor called on other threads wait for it as for an attached
/// thread, so an owner that closes this object before freeing its own members
/// never frees what the returning body still touches. The thread itself must not
/// touch an object that was destroyed on it.
///
/// Every member is thread-safe; GetReadyEvent, GetStopEvent, IsReady,
/// IsStopRequested and GetName touch nothing that changes. Stop and WaitForStop
/// wait without holding the object's mutex, so the body may call into its own
/// object meanwhile.
class Thread_Posix : public BaseThread, public BasePosixHandle
{
public:
    /// name: the full name (log lines, GetName); the OS name is its first 15
    /// UTF-8 bytes, cut at a character boundary.
    explicit Thread_Posix(const wchar_t* name);

    /// Ends the attachment of a thread (see the class comment): blocks until a
    /// running thread has ended, and until threads this object let go of have
    /// returned, unless called from that thread (which it lets go, logging
    /// "Thread deconstructor called inside own thread %u (0x%x) [%ls]").
    ~Thread_Posix() override;

    /// Starts a thread that runs functor (a clone of it) with parameter, and with
    /// readyWaitMs other than 0 waits until the body sets the ready event or the
    /// thread ends, at most readyWaitMs (kInfinite: no limit). Blocks.
    /// Raises: ModuleError 0x65006A (internal error) when a thread is still
    /// attached, even an ended one (Close first); SystemError_Posix "pthread_create"
    /// (logged) when no thread can be created, leaving the object detached;
    /// ModuleError 0x670065 (logged) when the body does not become ready in time
    /// (the thread keeps running and attached).
    void Start(const ThreadFunctor& functor, void* parameter, uint32_t readyWaitMs) override;

    /// Ends the attachment of the thread (see the class comment): blocks until a
    /// running thread has ended, and until threads this object let go of have
    /// returned; from the thread itself, lets that thread go and returns at once
    /// (its body must then return).
    void Close() override;

    /// True when no thread is attached, when called on the thread itself, or when
    /// the thread ended within timeoutMs. On time-out, unless timeoutMs is 0, posts
    /// "Timeout while waiting for thread %u (0x%x) to stop [%ls]". Blocks.
    bool WaitForStop(uint32_t timeoutMs) override;

    /// Sets the stop event and answers WaitForStop (timeoutMs); true at once when
    /// no thread is attached. Blocks.
    bool Stop(uint32_t timeoutMs) override;

    BaseEventCondition& GetReadyEvent() override { return m_readyEvent; }
    BaseEventCondition& GetStopEvent() override { return m_stopEvent; }

    /// A thread is attached and it is the caller.
    bool IsCurrentThread() const override;
    /// A thread is attached and has not ended.
    bool IsRunning() const override;
    bool IsReady() const override { return m_readyEvent.IsSet(); }
    /// The stop event is set, or the caller is a thread this object let go of
    /// (closed or destroyed from that thread), whose body must return.
    bool IsStopRequested() const override;

    /// Stores the priority (values outside EnumThreadPriority store Normal).
    void SetPriority(int priority) override;
    int GetPriority() const override;

    /// The thread's end signal, null when no thread is attached.
    WaitHandle GetHandle() const override;

    /// The id of the attached thread (CurrentThreadId of that thread), 0 when none.
    uint32_t GetThreadId() const;

    /// True when the caller runs on a thread that a Thread_Posix started (in
    /// its body, or in a callback the body runs). Owners use it to keep an
    /// object they take down there alive: the thread may be the object's own
    /// and return into it. Thread-safe; never blocks.
    static bool IsCallerInThreadBody() noexcept;

    struct Control; // state shared with the running thread

private:
    enum class DetachMode
    {
        kClose,
        kDestructor
    };
    void Detach(DetachMode mode);
    // Forgets the thread and sets both events; m_mutex held.
    void Release();
    // Waits, without m_mutex, until every thread this object let go of has
    // returned (except the caller), then forgets them.
    void WaitForLetGo();

    // The id the attached thread published, once it has (it does so first).
    static uint32_t PublishedId(Control& control);

    mutable Mutex_Posix m_mutex;        // guards m_control, m_letGo, m_priority
    std::shared_ptr<Control> m_control; // the attached thread; null when none
    // Threads that closed or destroyed this object from themselves and may still
    // be returning from their bodies.
    std::vector<std::shared_ptr<Control>> m_letGo;
    int m_priority = kThreadPriority_Normal;
    EventCondition_Posix m_readyEvent; // set by the body when ready; set while detached
    EventCondition_Posix m_stopEvent;  // set to ask the body to stop; set while detached
};

/// Waits until each of the threads (started with readyWaitMs 0) has set its
/// ready event or ended, without limit: threads that start one after another
/// come up at the same time instead of each waiting for the one before.
void WaitForThreadsReady(std::initializer_list<Thread_Posix*> threads);

/// The kernel id of the calling thread (the thread column of log lines).
/// Thread-safe; never blocks.
uint32_t CurrentThreadId();

/// Stores the calling thread's priority (values outside EnumThreadPriority store
/// Normal). Thread-safe.
void SetCurrentThreadPriority(int priority);

/// The calling thread's stored priority (Normal when none was set). Thread-safe.
int GetCurrentThreadPriority();

} // namespace Q7::Platform
