#pragma once
// Progress of long operations (transfers, uploads, firmware updates): tasks that
// decide when a notification is due, and providers that list their live tasks,
// pass notifications to their owner's callbacks and cancel tasks on request.

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalString.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace Q7::Universal
{

class ProgressProvider;
class ProgressTask;

/// Snapshot of a task.
struct ProgressInfo
{
    uint32_t type = 0;           // the operation's kind, chosen by the provider
    uint32_t id = 0;             // process-wide unique, from 1 upwards
    UniversalString name;        // e.g. "Image transfer"
    UniversalString description; // e.g. a file name
    UniversalString details;     // a third text; no operation sets it
    uint64_t position = 0;       // never above total
    uint64_t total = 0;
    uint32_t elapsedMs = 0;
    bool completed = false;
    std::atomic<bool> aborted{false}; // written by Cancel on any thread, read by the operation

    ProgressInfo() = default;
    ProgressInfo(const ProgressInfo& other);
    ProgressInfo& operator=(const ProgressInfo& other);
};

/// The progress-callback holder of a provider.
using ProgressCallback = FunctionPointer1<void, const ProgressTask&>;

/// One long operation's progress. Driven by the one thread that runs the
/// operation (thread-bound); Cancel, IsAborted and IsCancelable may be called from
/// any thread. Notifications run on the task's thread.
class ProgressTask
{
public:
    /// Takes the next process-wide id and attaches to provider (may be null).
    ProgressTask(uint32_t type, ProgressProvider* provider);

    /// Asks the operation to end: sets the aborted flag when cancelable; nothing
    /// else (the operation reads the flag). Thread-safe.
    virtual void Cancel();

    /// Stops the task (not completed; an exception there is logged, "Ignoring
    /// error from ProgressTask::Stop()."), then detaches from the provider.
    virtual ~ProgressTask();

    ProgressTask(const ProgressTask&) = delete;
    ProgressTask& operator=(const ProgressTask&) = delete;

    /// Detaches from the old provider and attaches to the new one (may be null).
    void SetProvider(ProgressProvider* provider);
    ProgressProvider* GetProvider() const { return m_provider; }

    void SetName(const wchar_t* name);
    void SetDescription(const wchar_t* description);

    /// Sets the total; a position above it is clamped to it.
    void SetTotal(uint64_t total);
    /// Sets the position, clamped to the total.
    void SetPosition(uint64_t position);

    /// Sets the position and notifies when step is 0, or when the position moved at
    /// least step (either way) from the last notified position.
    void UpdatePosition(uint64_t position, uint64_t step);

    /// Clears completed and aborted, restarts the elapsed time and notifies.
    void Start();
    /// SetTotal (total), SetPosition (position), Start ().
    void Start(uint64_t total, uint64_t position);

    /// When running: adds the run's time, sets completed (position = total) or
    /// aborted, and notifies. A task that is not running is left alone.
    void Stop(bool completed);

    /// Whether Cancel has an effect. Thread-safe.
    void SetCancelable(bool cancelable);
    bool IsCancelable() const { return m_cancelable.load(std::memory_order_acquire); }

    /// Milliseconds of the finished runs, plus the current run while running.
    uint32_t GetElapsedMs() const;

    /// A snapshot of the task, its elapsed field filled by GetElapsedMs.
    ProgressInfo GetInfo() const;

    /// position / total x 100, 0.0 when the total is 0.
    double GetPercent() const;

    uint32_t GetType() const { return m_info.type; }
    uint32_t GetId() const { return m_info.id; }
    uint64_t GetPosition() const { return m_info.position; }
    uint64_t GetTotal() const { return m_info.total; }
    bool IsRunning() const { return m_running; }
    bool IsCompleted() const { return m_info.completed; }
    /// Whether the task was cancelled or stopped without completing. Thread-safe.
    bool IsAborted() const { return m_info.aborted.load(std::memory_order_acquire); }

private:
    void Notify();

    ProgressInfo m_info;
    ProgressProvider* m_provider = nullptr; // not owned; null when detached
    uint32_t m_accumulatedMs = 0;           // finished runs
    uint32_t m_startTick = 0;               // monotonic ms (32 bits) at the start of this run
    bool m_running = false;
    std::atomic<bool> m_cancelable{true}; // set on the task's thread, read by Cancel
    uint64_t m_lastNotified = 0;          // position at the last notification
};

/// Base of the objects that run long operations. Notifications of one provider
/// never run at the same time (they run under the callback mutex); the list mutex
/// and the callback mutex are never held together.
class ProgressProvider
{
public:
    ProgressProvider();
    /// Tasks still attached are not told: owners destroy their tasks first.
    virtual ~ProgressProvider();

    ProgressProvider(const ProgressProvider&) = delete;
    ProgressProvider& operator=(const ProgressProvider&) = delete;

    /// Stores a clone of the callback (an empty holder clears it). Blocks while a
    /// notification runs. Thread-safe.
    virtual void SetProgressCallback(const ProgressCallback& callback);

    /// Stores a copy of the function (an empty function clears it). Blocks while a
    /// notification runs. Thread-safe.
    virtual void SetProgressCallback(const std::function<void(const ProgressTask&)>& callback);

    /// Cancels the listed task with this type and id; nothing when none matches.
    /// Thread-safe.
    virtual void CancelTask(uint32_t type, uint32_t id);

    /// Calls OnProgress through its virtual slot. Never raises.
    virtual void NotifyProgress(const ProgressTask& task);

    /// Calls the holder callback, then the function, under the callback mutex. An
    /// exception from either is logged ("Ignoring exception thrown from progress
    /// callback.", ModuleError 0x6500CB); nothing is raised.
    virtual void OnProgress(const ProgressTask& task);

    /// Lists the task unless a task with its type and id is listed. Thread-safe.
    void AddTask(ProgressTask* task);

    /// Erases the listed task with the task's type and id. Thread-safe.
    void RemoveTask(ProgressTask* task);

private:
    Platform::Mutex_Posix m_callbackMutex;               // guards m_callback and m_function
    Platform::Mutex_Posix m_listMutex;                   // guards m_tasks
    ProgressCallback m_callback;                         // empty when none
    std::function<void(const ProgressTask&)> m_function; // empty when none
    std::vector<ProgressTask*> m_tasks;                  // live tasks, not owned, in attach order
};

} // namespace Q7::Universal
